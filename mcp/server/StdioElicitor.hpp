#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "mcp/secrets/Elicitor.hpp"
#include "mcp/server/ElicitationCoordinator.hpp"

namespace varn::mcp {

// Asks the MCP client for a human's approval with an "elicitation/create" request written at once
// to the client (outside the server's ordered replies), and waits on the coordinator for the
// answer that the server hands over. Thread-safe: each request has its own fresh id.
class StdioElicitor final : public Elicitor {
 public:
  // Writes one text as one line to the client (the server's LineWriter in the running server);
  // returns whether the whole line was written.
  using Writer = std::function<bool(const std::string&)>;

  // `writer` and `coordinator` are kept for the life of the elicitor; `timeout` is how long one
  // request waits for its answer (300 seconds in the running server).
  StdioElicitor(Writer writer, std::shared_ptr<ElicitationCoordinator> coordinator,
                std::chrono::steady_clock::duration timeout);

  // Sends the request and blocks until its answer or the timeout. Returns true only for the
  // action "accept" (case-sensitive); every other answer refuses, and so does a request that could
  // not be written (at once: no answer can come) or one made after end of input. Throws
  // ResolveError::approvalTimeout(ref) when no answer came in time, or when the client's action is
  // the text "timeout".
  bool requestApproval(const std::string& ref, const std::string& operation) override;

  // The prompt shown to the human. In it (only), control characters of the reference (C0, DEL, C1),
  // the line and paragraph separators U+2028 and U+2029, the bidirectional controls (U+061C,
  // U+200E, U+200F, U+202A-U+202E, U+2066-U+2069) and the invisible U+00AD, U+200B-U+200D, U+2060
  // and U+FEFF are percent-encoded, so a crafted reference can neither forge lines of the prompt
  // nor display as another reference.
  [[nodiscard]] static std::string approvalMessage(std::string_view ref,
                                                   std::string_view operation);

  // The JSON text of the "elicitation/create" request with the given id.
  [[nodiscard]] static std::string requestLine(const std::string& id, std::string_view ref,
                                               std::string_view operation);

 private:
  Writer writer_;
  std::shared_ptr<ElicitationCoordinator> coordinator_;
  std::chrono::steady_clock::duration timeout_;
};

}  // namespace varn::mcp
