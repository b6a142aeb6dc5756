#include "mcp/server/MCPServer.hpp"

#include <exception>
#include <thread>
#include <utility>

#include "mcp/secrets/ToolError.hpp"
#include "mcp/server/ElasticThreadPool.hpp"
#include "mcp/server/LineReader.hpp"
#include "mcp/server/ToolDefinitions.hpp"
#include "support/JsonWriter.hpp"

namespace varn::mcp {
namespace {

using support::Json;

constexpr std::string_view kInitializeResult =
    R"({"protocolVersion":"2025-06-18","capabilities":{"tools":{},"elicitation":{}},)"
    R"("serverInfo":{"name":"varn-mcp","version":"0.1.0"}})";

// {"jsonrpc":"2.0","id":<id>,"result": -- the envelope up to its result; `extra` bytes are
// reserved for what follows.
std::string resultHead(std::string_view id, std::size_t extra = 0) {
  std::string head;
  head.reserve(32 + id.size() + extra);
  head.append(R"({"jsonrpc":"2.0","id":)");
  head.append(id);
  head.append(R"(,"result":)");
  return head;
}

// {"jsonrpc":"2.0","id":<id>,"result":<result>} with `result` already serialised.
std::string resultEnvelope(std::string_view id, std::string_view result) {
  std::string reply = resultHead(id, result.size() + 1);
  reply.append(result);
  reply.push_back('}');
  return reply;
}

// {"jsonrpc":"2.0","id":<id>,"error":{"code":<code>,"message":<message>}}.
std::string errorEnvelope(std::string_view id, int code, std::string_view message) {
  std::string reply(R"({"jsonrpc":"2.0","id":)");
  reply.append(id);
  reply.append(R"(,"error":{"code":)");
  reply.append(std::to_string(code));
  reply.append(R"(,"message":)");
  support::appendJsonString(reply, message);
  reply.append("}}");
  return reply;
}

// Appends {"content":[{"type":"text","text":<text>}],"isError":<isError>}.
void appendToolResult(std::string& out, std::string_view text, bool isError) {
  out.append(R"({"content":[{"type":"text","text":)");
  support::appendJsonString(out, text);
  out.append(isError ? R"(}],"isError":true})" : R"(}],"isError":false})");
}

ToolError unknownTool(const std::string& name) {
  return ToolError::invalidArguments("unknown tool: " + name);
}

// Whether `value` holds, at any depth, a text or an object key longer than kMaxArgumentBytes.
bool holdsOverlongText(const Json& value) {
  constexpr std::size_t kMax = MCPServer::kMaxArgumentBytes;
  if (value.is_string()) return value.get_ref<const std::string&>().size() > kMax;
  if (value.is_array()) {
    for (const Json& element : value) {
      if (holdsOverlongText(element)) return true;
    }
  } else if (value.is_object()) {
    for (const auto& [key, element] : value.items()) {
      if (key.size() > kMax || holdsOverlongText(element)) return true;
    }
  }
  return false;
}

// The refusal of arguments that no tool can use: a text longer than any reference, name, URL or
// command argument, outside the arguments that carry a secret value or an HTTP body. The message
// names the argument (never an over-long name) and quotes nothing of its value.
std::optional<ToolError> overlongArgument(const ToolRow& tool, const Json& args) {
  constexpr std::size_t kMax = MCPServer::kMaxArgumentBytes;
  const std::string limit = " longer than " + std::to_string(kMax) + " bytes";
  for (const auto& [key, value] : args.items()) {
    if (key.size() > kMax) return ToolError::invalidArguments("an argument name is" + limit);
    const bool mayItBeLong = !tool.longText.empty() && key == tool.longText;
    if (mayItBeLong && value.is_string()) continue;
    if (!holdsOverlongText(value)) continue;
    if (mayItBeLong) {
      // Only a text may be that long here; what is wrong is the value's type.
      return ToolError::invalidArguments("argument " + key + " must be a text, not " +
                                         (value.is_array() ? "an array" : "an object"));
    }
    return ToolError::invalidArguments("argument " + key + " holds a text" + limit +
                                       " — only a secret value or an http_call body may be longer");
  }
  return std::nullopt;
}

}  // namespace

MCPServer::MCPServer(MCPTools tools, std::shared_ptr<VaultClient> vault,
                     std::shared_ptr<ElicitationCoordinator> coordinator)
    : tools_(std::move(tools)),
      vault_(std::move(vault)),
      coordinator_(std::move(coordinator)),
      toolsListTail_(R"({"tools":)" + support::dumpCompact(toolDefinitions()) + "}}") {}

void MCPServer::serve(int inputFd, int outputFd, ServeLimits limits) const {
  LineWriter writer(outputFd);
  serve(inputFd, writer, limits);
}

std::optional<MCPServer::Incoming> MCPServer::read(std::string_view line, std::size_t budget) {
  // What an outline keeps: what is handled of a message that is not a tool call to run.
  static constexpr std::string_view kOutline[] = {"id", "method", "params.name", "result.action"};
  Incoming incoming;
  incoming.weight = support::parsedBytes(line);
  incoming.maxWeight = budget / kHeldCopies;
  incoming.heavy = incoming.weight > incoming.maxWeight;
  const auto parse = [&](std::string_view text) {
    return incoming.heavy ? support::parseJsonOutline(text, kOutline) : support::parseJson(text);
  };
  std::optional<Json> message = parse(line);
  if (!message) {
    // A number beyond a double (an id of 1e400, say) makes the reader refuse the whole line; in
    // its place the largest double does, and the id is echoed from the line as written.
    if (std::optional<std::string> clamped = support::clampHugeNumbers(line)) {
      message = parse(*clamped);
    }
  }
  if (!message || !message->is_object()) return std::nullopt;
  incoming.message = std::move(*message);
  if (const auto id = incoming.message.find("id"); id != incoming.message.end()) {
    // Should the text as written ever escape the scan, the parsed id still finds the request.
    std::optional<std::string> written = support::memberText(line, "id");
    incoming.id = written ? std::move(*written) : support::dumpCompact(*id);
  } else {
    incoming.id = "null";
  }
  return incoming;
}

std::optional<Reply> MCPServer::respondGuarded(Incoming incoming) const noexcept {
  try {
    return respond(std::move(incoming));
  } catch (...) {
    // Only a failure outside the tool call (memory, say) gets here: that line stays unanswered
    // rather than taking the server down.
    return std::nullopt;
  }
}

void MCPServer::serve(int inputFd, LineWriter& writer, ServeLimits limits) const {
  ReplyQueue replies(limits);
  std::thread writing([&] {
    std::optional<Reply> reply;
    while (replies.take(reply)) {
      if (reply) writer.write(reply->text, reply->sharedTail);
    }
  });

  {
    ElasticThreadPool pool;
    // Hands each line to its handler.
    class Dispatch final : public LineReader::Consumer {
     public:
      Dispatch(const MCPServer& server, ReplyQueue& replies, ElasticThreadPool& pool,
               std::size_t budget)
          : server_(server), replies_(replies), pool_(pool), budget_(budget) {}

      bool line(std::string_view line) override {
        std::optional<Incoming> incoming = read(line, budget_);
        if (!incoming) return false;
        if (isApprovalAnswer(incoming->message)) {
          server_.deliverApprovalAnswer(incoming->message);
          return false;
        }
        const std::optional<std::size_t> held = heldByToolCall(*incoming);
        if (!held) {
          // Nothing on this road can block (no tool runs), so it is answered here at once: a
          // hand-over to another thread would cost more than the answer.
          std::optional<Reply> reply = server_.respondGuarded(std::move(*incoming));
          return reply && replies_.addReady(std::move(*reply), line.size());
        }
        bool full = false;
        ReplyQueue::Slot& slot = replies_.add(*held, full);
        pool_.submit([&server = server_, &replies = replies_, &slot,
                      incoming = std::move(*incoming)]() mutable {
          replies.fill(slot, server.respondGuarded(std::move(incoming)));
        });
        return full;
      }

      void blockEnd() override { replies_.wakeWriter(); }

      bool takeAhead(std::string_view line) override {
        // A request is no answer: its members are not read, however long its id.
        if (support::hasMember(line, "method")) return false;
        // Only what an answer is read by: a line of any length stays small once read.
        static constexpr std::string_view kAnswer[] = {"id", "method", "result.action"};
        std::optional<Json> message = support::parseJsonOutline(line, kAnswer);
        if (!message || !message->is_object() || !isApprovalAnswer(*message)) return false;
        server_.deliverApprovalAnswer(*message);
        return true;
      }

      // No answer to an approval can come any more, so every pending approval ends now as a
      // refusal.
      void ended() override { server_.coordinator_->close(); }

     private:
      const MCPServer& server_;
      ReplyQueue& replies_;
      ElasticThreadPool& pool_;
      const std::size_t budget_;
    };

    Dispatch dispatch(*this, replies, pool, limits.bytes);
    LineReader(inputFd, kMaxLineBytes, limits.ahead).run(dispatch, replies);
    // End of input: a partial last line is dropped; the writer drains every queued reply.
    replies.finish();
    writing.join();
  }
}

std::optional<std::string> MCPServer::handleLine(std::string_view line) const {
  std::optional<Incoming> incoming = read(line, ServeLimits{}.bytes);
  if (!incoming) return std::nullopt;
  if (isApprovalAnswer(incoming->message)) {
    deliverApprovalAnswer(incoming->message);
    return std::nullopt;
  }
  std::optional<Reply> reply = respond(std::move(*incoming));
  if (!reply) return std::nullopt;
  reply->text.append(reply->sharedTail);
  return std::move(reply->text);
}

std::optional<std::string> MCPServer::handle(const Json& message) const {
  Incoming incoming;
  incoming.message = message;
  const auto id = message.find("id");
  incoming.id = id == message.end() ? "null" : support::dumpCompact(*id);
  incoming.maxWeight = ServeLimits{}.bytes / kHeldCopies;
  std::optional<Reply> reply = respond(std::move(incoming));
  if (!reply) return std::nullopt;
  reply->text.append(reply->sharedTail);
  return std::move(reply->text);
}

bool MCPServer::isApprovalAnswer(const Json& message) {
  return !message.contains("method") && message.contains("id");
}

void MCPServer::deliverApprovalAnswer(const Json& answer) const {
  coordinator_->fulfill(stringId(answer["id"]), elicitationResult(answer));
}

std::optional<Reply> MCPServer::respond(Incoming incoming) const {
  const Json& message = incoming.message;
  const auto method = message.find("method");
  if (method == message.end() || !method->is_string()) return std::nullopt;
  const std::string name = method->get<std::string>();
  // Notifications (no "id") are never answered, whatever their method.
  const bool answered = message.contains("id");
  const std::string id = std::move(incoming.id);

  if (name == "tools/call") {
    // A call without an id still runs; only its answer is dropped.
    std::string reply = answered ? resultHead(id, 128) : std::string();
    appendToolCallResult(reply, std::move(incoming));
    if (!answered) return std::nullopt;
    reply.push_back('}');
    return Reply{std::move(reply), {}};
  }
  if (!answered || name == "notifications/initialized") return std::nullopt;
  if (name == "initialize") return Reply{resultEnvelope(id, kInitializeResult), {}};
  if (name == "tools/list") return Reply{resultHead(id), toolsListTail_};
  if (name == "ping") return Reply{resultEnvelope(id, "{}"), {}};
  return Reply{errorEnvelope(id, -32601, "method not found: " + name), {}};
}

void MCPServer::appendToolCallResult(std::string& out, Incoming incoming) const {
  std::string name;
  Json args = Json::object();
  Json& message = incoming.message;
  if (auto params = message.find("params"); params != message.end() && params->is_object()) {
    if (auto found = params->find("name"); found != params->end() && found->is_string()) {
      name = found->get<std::string>();
    }
    if (auto found = params->find("arguments"); found != params->end() && found->is_object()) {
      args = std::move(*found);
    }
  }
  Json().swap(message);  // what the tool does not need goes before it runs
  // A name that runs no tool is refused without the cost of a throw; the text is the one that
  // callTool throws for it.
  if (findToolRow(name) == nullptr) {
    appendToolResult(out, std::string("error: ") + unknownTool(name).what(), true);
    return;
  }
  if (incoming.heavy) {
    const ToolError tooLarge = ToolError::invalidArguments(
        "the call is too large: its message would take about " + std::to_string(incoming.weight) +
        " bytes once read, more than the " + std::to_string(incoming.maxWeight) +
        " bytes a call may take");
    appendToolResult(out, std::string("error: ") + tooLarge.what(), true);
    return;
  }
  std::string output;
  try {
    output = callTool(name, std::move(args));
  } catch (const std::exception& error) {
    appendToolResult(out, std::string("error: ") + error.what(), true);
    return;
  }
  const std::size_t head = out.size();
  appendToolResult(out, output, false);
  // The line ends in the envelope's closing brace and a line feed.
  if (out.size() + 2 > kMaxReplyBytes) {
    // Quotes and backslashes take two bytes once written: a result within the vault's cap may
    // still not fit in a line a client reads.
    out.resize(head);
    out.shrink_to_fit();
    const ToolError tooLong =
        ToolError::upstream("the result is longer than the " + std::to_string(kMaxReplyBytes) +
                            " bytes of a reply line once written");
    appendToolResult(out, std::string("error: ") + tooLong.what(), true);
  }
}

std::string MCPServer::callTool(const std::string& name, Json args) const {
  const MCPTools::Entry* tool = tools_.find(name);
  if (tool == nullptr) throw unknownTool(name);
  if (std::optional<ToolError> refusal = overlongArgument(*tool->row, args)) {
    throw std::move(*refusal);
  }
  return tool->run(args);
}

std::optional<std::size_t> MCPServer::heldByToolCall(const Incoming& incoming) {
  if (incoming.heavy) return {};
  const Json& message = incoming.message;
  const auto method = message.find("method");
  if (method == message.end() || !method->is_string() || *method != "tools/call") return {};
  const auto params = message.find("params");
  if (params == message.end() || !params->is_object()) return {};
  const auto name = params->find("name");
  if (name == params->end() || !name->is_string()) return {};
  const ToolRow* tool = findToolRow(name->get_ref<const std::string&>());
  if (tool == nullptr) return {};
  const auto args = params->find("arguments");
  if (args != params->end() && args->is_object() && overlongArgument(*tool, *args)) return {};
  return kHeldCopies * incoming.weight;
}

std::string MCPServer::stringId(const Json& id) {
  if (id.is_string()) return id.get<std::string>();
  return support::dumpCompact(id);
}

ElicitationResult MCPServer::elicitationResult(const Json& answer) {
  if (auto result = answer.find("result"); result != answer.end() && result->is_object()) {
    if (auto action = result->find("action"); action != result->end() && action->is_string()) {
      return ElicitationResult{action->get<std::string>()};
    }
  }
  return ElicitationResult{"cancel"};
}

}  // namespace varn::mcp
