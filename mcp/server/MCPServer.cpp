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
std::string resultHead(const Json& id, std::size_t extra = 0) {
  const std::string idText = support::dumpCompact(id);
  std::string head;
  head.reserve(32 + idText.size() + extra);
  head.append(R"({"jsonrpc":"2.0","id":)");
  head.append(idText);
  head.append(R"(,"result":)");
  return head;
}

// {"jsonrpc":"2.0","id":<id>,"result":<result>} with `result` already serialised.
std::string resultEnvelope(const Json& id, std::string_view result) {
  std::string reply = resultHead(id, result.size() + 1);
  reply.append(result);
  reply.push_back('}');
  return reply;
}

// {"jsonrpc":"2.0","id":<id>,"error":{"code":<code>,"message":<message>}}.
std::string errorEnvelope(const Json& id, int code, std::string message) {
  support::OrderedJson reply;
  reply["jsonrpc"] = "2.0";
  reply["id"] = id;
  reply["error"]["code"] = code;
  reply["error"]["message"] = std::move(message);
  return support::dumpCompact(reply);
}

// Appends {"content":[{"type":"text","text":<text>}],"isError":<isError>}.
void appendToolResult(std::string& out, std::string_view text, bool isError) {
  out.append(R"({"content":[{"type":"text","text":)");
  support::appendJsonString(out, text);
  out.append(isError ? R"(}],"isError":true})" : R"(}],"isError":false})");
}

// A tool's output record as JSON text; an output that cannot be written gives "{}", so a tool that
// succeeded never turns into an error here.
template <typename Output>
std::string jsonString(const Output& output) noexcept {
  try {
    return support::dumpCompact(output.toJson());
  } catch (...) {
    return "{}";
  }
}

// Decodes the tool's input record straight from the arguments object (the decoder's error passes
// through and the tool does not run), frees the arguments, runs the tool and writes its output.
// Tools without input never look at the arguments.
template <typename Tool>
std::string runTool(const Tool& tool, Json& args) {
  if constexpr (requires { typename Tool::Input; }) {
    const typename Tool::Input input = Tool::Input::fromJson(args);
    Json().swap(args);  // the input holds what the tool needs: one copy, not two
    return jsonString(tool.run(input));
  } else {
    Json().swap(args);
    return jsonString(tool.run());
  }
}

// One tool of the table: its MCP name and how to run it on the table's instance.
struct ToolEntry {
  std::string_view name;
  std::string (*run)(const MCPTools& tools, Json& args);
};

template <auto Field>
std::string runField(const MCPTools& tools, Json& args) {
  const auto& tool = tools.*Field;
  if constexpr (requires { tool.has_value(); }) {
    // A browser tool of a server without a browser controller, refused before its arguments are
    // looked at.
    if (!tool) throw ToolError::invalidArguments("browser tools not enabled");
    return runTool(*tool, args);
  } else {
    return runTool(tool, args);
  }
}

// The tools that run, in dispatch order; names compare exactly (case-sensitive, untrimmed).
constexpr ToolEntry kTools[] = {
    {"secret_list", &runField<&MCPTools::secretList>},
    {"secret_resolve_preview", &runField<&MCPTools::secretPreview>},
    {"http_call", &runField<&MCPTools::httpCall>},
    {"run_command", &runField<&MCPTools::runCommand>},
    {"mint_token", &runField<&MCPTools::mintToken>},
    {"totp_code", &runField<&MCPTools::totpCode>},
    {"secret_create", &runField<&MCPTools::secretCreate>},
    {"secret_get", &runField<&MCPTools::secretGet>},
    {"secret_update", &runField<&MCPTools::secretUpdate>},
    {"secret_delete", &runField<&MCPTools::secretDelete>},
    {"group_list", &runField<&MCPTools::groupList>},
    {"group_create", &runField<&MCPTools::groupCreate>},
    {"group_get", &runField<&MCPTools::groupGet>},
    {"group_update", &runField<&MCPTools::groupUpdate>},
    {"group_delete", &runField<&MCPTools::groupDelete>},
    {"project_list", &runField<&MCPTools::projectList>},
    {"project_create", &runField<&MCPTools::projectCreate>},
    {"project_get", &runField<&MCPTools::projectGet>},
    {"project_update", &runField<&MCPTools::projectUpdate>},
    {"project_delete", &runField<&MCPTools::projectDelete>},
    {"browser_start", &runField<&MCPTools::browserStart>},
    {"browser_stop", &runField<&MCPTools::browserStop>},
    {"browser_fill", &runField<&MCPTools::browserFill>},
    {"web_login", &runField<&MCPTools::webLogin>},
    {"credential_capture", &runField<&MCPTools::credentialCapture>},
    {"browser_navigate", &runField<&MCPTools::browserNavigate>},
    {"browser_tabs", &runField<&MCPTools::browserTabs>},
    {"browser_dialog", &runField<&MCPTools::browserDialog>},
};

ToolError unknownTool(const std::string& name) {
  return ToolError::invalidArguments("unknown tool: " + name);
}

// The arguments that may hold texts longer than kMaxArgumentBytes: secret values and HTTP bodies.
bool mayBeLong(std::string_view tool, std::string_view key) {
  return (key == "value" && (tool == "secret_create" || tool == "secret_update")) ||
         (key == "body" && tool == "http_call");
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
std::optional<ToolError> overlongArgument(std::string_view tool, const Json& args) {
  constexpr std::size_t kMax = MCPServer::kMaxArgumentBytes;
  const std::string limit = " longer than " + std::to_string(kMax) + " bytes";
  for (const auto& [key, value] : args.items()) {
    if (key.size() > kMax) return ToolError::invalidArguments("an argument name is" + limit);
    if (mayBeLong(tool, key) && value.is_string()) continue;
    if (holdsOverlongText(value)) {
      return ToolError::invalidArguments(
          "argument " + key + " holds a text" + limit +
          " — only a secret value or an http_call body may be longer");
    }
  }
  return std::nullopt;
}

// The bytes a parsed JSON value takes in memory, close enough to count it against the limits of
// serve(): a short text or a number costs far more than its characters on the line.
std::size_t heldBytes(const Json& value) {
  // Every text, array and object of a value, and every member of an object, is a heap block of
  // its own, with the allocator's bookkeeping.
  constexpr std::size_t kBlock = 2 * sizeof(void*);
  constexpr std::size_t kText = kBlock + sizeof(std::string);
  // An object's member: the tree node's links and colour, and its key.
  constexpr std::size_t kMember = kBlock + 4 * sizeof(void*) + kText;
  std::size_t bytes = sizeof(Json);
  if (value.is_string()) {
    bytes += kText + kBlock + value.get_ref<const std::string&>().capacity();
  } else if (value.is_array()) {
    bytes += kBlock + sizeof(Json::array_t) + kBlock;
    for (const Json& element : value) bytes += heldBytes(element);
  } else if (value.is_object()) {
    bytes += kBlock + sizeof(Json::object_t);
    for (const auto& [key, element] : value.items()) {
      bytes += kMember + key.capacity() + heldBytes(element);
    }
  }
  return bytes;
}

const ToolEntry* findTool(std::string_view name) {
  for (const ToolEntry& tool : kTools) {
    if (tool.name == name) return &tool;
  }
  return nullptr;
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

std::optional<Reply> MCPServer::respondGuarded(Json message) const noexcept {
  try {
    return respond(std::move(message));
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
    // Hands each line to its handler and holds reading back while too much is in flight.
    class Dispatch final : public LineReader::Sink {
     public:
      Dispatch(const MCPServer& server, ReplyQueue& replies, ElasticThreadPool& pool)
          : server_(server), replies_(replies), pool_(pool) {}

      void line(std::string_view line) override {
        bool full = false;
        dispatch(line, full);
        // Back-pressure: too much read and not yet answered; the writer catches up first.
        if (full) replies_.waitForRoom();
      }

      void blockEnd() override { replies_.wakeWriter(); }

     private:
      void dispatch(std::string_view line, bool& full) {
        std::optional<Json> message = support::parseJson(line);
        if (!message || !message->is_object()) return;
        if (isApprovalAnswer(*message)) {
          server_.deliverApprovalAnswer(*message);
          return;
        }
        const std::optional<std::size_t> held = heldByToolCall(*message);
        if (!held) {
          // Nothing on this road can block (no tool runs), so it is answered here at once: a
          // hand-over to another thread would cost more than the answer.
          std::optional<Reply> reply = server_.respondGuarded(std::move(*message));
          if (reply) full = replies_.addReady(std::move(*reply), line.size());
          return;
        }
        ReplyQueue::Slot& slot = replies_.add(*held, full);
        pool_.submit([&server = server_, &replies = replies_, &slot,
                      message = std::move(*message)]() mutable {
          replies.fill(slot, server.respondGuarded(std::move(message)));
        });
      }

      const MCPServer& server_;
      ReplyQueue& replies_;
      ElasticThreadPool& pool_;
    };

    Dispatch dispatch(*this, replies, pool);
    LineReader(inputFd, kMaxLineBytes).run(dispatch);
    // End of input: a partial last line is dropped. No answer to an approval can come any more,
    // so every pending approval ends now as a refusal; the writer drains every queued reply.
    coordinator_->close();
    replies.finish();
    writing.join();
  }
}

std::optional<std::string> MCPServer::handleLine(std::string_view line) const {
  std::optional<Json> message = support::parseJson(line);
  if (!message || !message->is_object()) return std::nullopt;
  if (isApprovalAnswer(*message)) {
    deliverApprovalAnswer(*message);
    return std::nullopt;
  }
  std::optional<Reply> reply = respond(std::move(*message));
  if (!reply) return std::nullopt;
  reply->text.append(reply->sharedTail);
  return std::move(reply->text);
}

std::optional<std::string> MCPServer::handle(const Json& message) const {
  std::optional<Reply> reply = respond(message);
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

std::optional<Reply> MCPServer::respond(Json message) const {
  const auto method = message.find("method");
  if (method == message.end() || !method->is_string()) return std::nullopt;
  const std::string& name = method->get_ref<const std::string&>();
  // Notifications (no "id") are never answered, whatever their method.
  const auto id = message.find("id");
  const bool answered = id != message.end();

  if (name == "tools/call") {
    // A call without an id still runs; only its answer is dropped.
    std::string reply = answered ? resultHead(*id, 128) : std::string();
    appendToolCallResult(reply, std::move(message));
    if (!answered) return std::nullopt;
    reply.push_back('}');
    return Reply{std::move(reply), {}};
  }
  if (!answered || name == "notifications/initialized") return std::nullopt;
  if (name == "initialize") return Reply{resultEnvelope(*id, kInitializeResult), {}};
  if (name == "tools/list") return Reply{resultHead(*id), toolsListTail_};
  if (name == "ping") return Reply{resultEnvelope(*id, "{}"), {}};
  return Reply{errorEnvelope(*id, -32601, "method not found: " + name), {}};
}

void MCPServer::appendToolCallResult(std::string& out, Json message) const {
  std::string name;
  Json args = Json::object();
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
  if (findTool(name) == nullptr) {
    appendToolResult(out, std::string("error: ") + unknownTool(name).what(), true);
    return;
  }
  std::string output;
  try {
    output = callTool(name, std::move(args));
  } catch (const std::exception& error) {
    appendToolResult(out, std::string("error: ") + error.what(), true);
    return;
  }
  appendToolResult(out, output, false);
}

std::string MCPServer::callTool(const std::string& name, Json args) const {
  const ToolEntry* tool = findTool(name);
  if (tool == nullptr) throw unknownTool(name);
  if (std::optional<ToolError> refusal = overlongArgument(name, args)) throw std::move(*refusal);
  return tool->run(tools_, args);
}

std::optional<std::size_t> MCPServer::heldByToolCall(const Json& message) {
  const auto method = message.find("method");
  if (method == message.end() || !method->is_string() || *method != "tools/call") return {};
  const auto params = message.find("params");
  if (params == message.end() || !params->is_object()) return {};
  const auto name = params->find("name");
  if (name == params->end() || !name->is_string()) return {};
  const std::string& tool = name->get_ref<const std::string&>();
  if (findTool(tool) == nullptr) return {};
  const auto args = params->find("arguments");
  if (args != params->end() && args->is_object() && overlongArgument(tool, *args)) return {};
  return kHeldCopies * heldBytes(message);
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
