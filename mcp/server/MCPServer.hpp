#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "mcp/server/ElicitationCoordinator.hpp"
#include "mcp/server/LineWriter.hpp"
#include "mcp/server/MCPTools.hpp"
#include "mcp/server/ReplyQueue.hpp"
#include "support/Json.hpp"

namespace varn::mcp {

class VaultClient;

// The Model Context Protocol server: JSON-RPC 2.0, one JSON object per line, on a pair of file
// descriptors. Answers "initialize", "tools/list", "tools/call" and "ping", ignores
// "notifications/initialized", answers other methods with -32601, and hands the client's answers to
// approval requests to the coordinator. Only messages that carry an "id" get a reply.
//
// Immutable after construction and thread-safe: every line is handled on a thread of its own.
class MCPServer final {
 public:
  // Lines longer than this (in bytes, before the line feed) are dropped unread.
  static constexpr std::size_t kMaxLineBytes = std::size_t{16} << 20;
  // The longest text (or object key) a tool argument may hold, the value of secret_create and
  // secret_update and the body of http_call excepted: the most a program can be given as one
  // argument (Linux's MAX_ARG_STRLEN), and far beyond any reference, name, URL or selector. A
  // call with a longer one is refused with ToolError::invalidArguments before any tool runs.
  static constexpr std::size_t kMaxArgumentBytes = std::size_t{128} << 10;
  // The longest reply line written, its line feed included: a tool result that would make it
  // longer is replaced by a ToolError::upstream. Twice the vault's reply cap, for the escapes.
  static constexpr std::size_t kMaxReplyBytes = std::size_t{128} << 20;
  // How many times over a running tool call is counted as holding its parsed message: the
  // parsed form, the decoded input, and the copies a tool makes (a vault request, its JSON and
  // its text) are never all alive at once, and never more than this many together.
  static constexpr std::size_t kHeldCopies = 5;

  // `vault` is held for the life of the server; `coordinator` must not be null.
  MCPServer(MCPTools tools, std::shared_ptr<VaultClient> vault,
            std::shared_ptr<ElicitationCoordinator> coordinator);

  // Reads lines from `inputFd` until end of input (or a read error), handles each at once, and
  // writes the replies through `writer` strictly in the order of the lines that caused them: a
  // reply that waits (for an approval, say) holds back later replies but not later reading or
  // handling, up to `limits`. A tool call runs on a thread of its own (an idle one reused, else a
  // new one, up to the pool's cap); lines that cannot block, approval answers among them, are
  // handled on the reading thread itself. A line that is not UTF-8 JSON, or is longer than
  // kMaxLineBytes, is dropped; a partial last line without a line feed is never handled.
  //
  // A tool call is counted as holding what its parsed line holds, kHeldCopies times over; one
  // that alone would hold more than `limits.bytes` is refused with ToolError::invalidArguments
  // before any tool runs, and its arguments are never built. Of any other line that heavy, only
  // what is handled is built (its method and id, an answer's action).
  //
  // Reading pauses, after the line that went over, while the lines read and not yet answered,
  // with their replies, hold more than `limits.bytes` less `limits.ahead` bytes or more than
  // `limits.replies` replies wait to be written. A pause reads ahead up to `limits.ahead` bytes
  // (so that what is held stays within `limits.bytes`) and hands the approval answers among them
  // to the coordinator at once, so that the call they release is not held up by the lines after
  // it. At end of input every pending approval ends as "cancel" (no answer can
  // come), then every line read is handled, every reply is written and serve() returns.
  //
  // A reply echoes the request's "id" as the client wrote it (a number keeps its digits).
  void serve(int inputFd, LineWriter& writer, ServeLimits limits = {}) const;
  // The same over a LineWriter of its own on `outputFd`.
  void serve(int inputFd, int outputFd, ServeLimits limits = {}) const;

  // Handles one input line (without its line feed) and returns the reply text, if any. Blocks for
  // as long as a tool call lasts.
  [[nodiscard]] std::optional<std::string> handleLine(std::string_view line) const;

  // Handles one message object and returns its reply as compact JSON text, if any.
  [[nodiscard]] std::optional<std::string> handle(const support::Json& message) const;

  // The text form of a JSON-RPC id: a string unchanged, anything else its compact JSON text (the
  // number 1 gives "1").
  [[nodiscard]] static std::string stringId(const support::Json& id);

  // The action of an answer to an approval request: "result"."action" when that is a string,
  // "cancel" otherwise (no result, a malformed one, or a JSON-RPC error).
  [[nodiscard]] static ElicitationResult elicitationResult(const support::Json& answer);

 private:
  // A line read: its message and what the server needs to know of it.
  struct Incoming {
    support::Json message;      // the parsed object; only its outline when `heavy`
    std::string id;             // the "id" as written (white space dropped); "null" when absent
    std::size_t weight = 0;     // what the parsed line holds, estimated from its text
    std::size_t maxWeight = 0;  // the most a tool call's message may hold
    bool heavy = false;         // weight > maxWeight: only the outline was built
  };

  // Parses `line` for handling: nullopt when it is not a UTF-8 JSON object. A line heavier than
  // `budget` / kHeldCopies is parsed in outline only.
  [[nodiscard]] static std::optional<Incoming> read(std::string_view line, std::size_t budget);

  // handle(), in the form serve() writes. Takes the message so that a tool call can free it
  // before the tool runs.
  [[nodiscard]] std::optional<Reply> respond(Incoming incoming) const;
  // respond(), with any escaping failure turned into no reply.
  [[nodiscard]] std::optional<Reply> respondGuarded(Incoming incoming) const noexcept;

  // An object with "id" and no "method": the client's answer to an approval request.
  [[nodiscard]] static bool isApprovalAnswer(const support::Json& message);
  // When handling the message runs a tool of the table (which may block for as long as the vault
  // or a human takes): the bytes the call is counted as holding while it runs. Nothing for every
  // other message, which is answered without waiting for anything (a call whose arguments are
  // refused included).
  [[nodiscard]] static std::optional<std::size_t> heldByToolCall(const Incoming& incoming);
  // Hands an approval answer to the coordinator.
  void deliverApprovalAnswer(const support::Json& answer) const;

  // Appends the result object of "tools/call": the tool's output text, or "error: " and the
  // error's text. Frees the message before the tool runs.
  void appendToolCallResult(std::string& out, Incoming incoming) const;
  // Runs the named tool on `args` and returns its output as JSON text. The arguments are freed
  // once decoded. Throws what the argument decoding or the tool throws, and ToolError for names it
  // does not run and for over-long arguments.
  [[nodiscard]] std::string callTool(const std::string& name, support::Json args) const;

  MCPTools tools_;
  std::shared_ptr<VaultClient> vault_;
  std::shared_ptr<ElicitationCoordinator> coordinator_;
  // The serialised result of "tools/list" and the envelope's closing brace, built once: the
  // definitions never change.
  std::string toolsListTail_;
};

}  // namespace varn::mcp
