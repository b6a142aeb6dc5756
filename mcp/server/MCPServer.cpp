#include "mcp/server/MCPServer.hpp"

#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "mcp/server/ElasticThreadPool.hpp"
#include "mcp/server/ToolDefinitions.hpp"
#include "mcp/tools/ToolError.hpp"

namespace varn::mcp {
namespace {

using support::Json;

constexpr std::string_view kInitializeResult =
    R"({"protocolVersion":"2025-06-18","capabilities":{"tools":{},"elicitation":{}},)"
    R"("serverInfo":{"name":"varn-mcp","version":"0.1.0"}})";

constexpr std::size_t kReadBlockBytes = 64 * 1024;
// A line buffer grown beyond this by one long line is released afterwards.
constexpr std::size_t kRetainedLineCapacity = std::size_t{1} << 20;

const Json &emptyObject() {
  static const Json empty = Json::object();
  return empty;
}

// {"jsonrpc":"2.0","id":<id>,"result":<result>} with `result` already
// serialised.
std::string resultEnvelope(const Json &id, std::string_view result) {
  const std::string idText = support::dumpCompact(id);
  std::string reply;
  reply.reserve(32 + idText.size() + result.size());
  reply.append(R"({"jsonrpc":"2.0","id":)");
  reply.append(idText);
  reply.append(R"(,"result":)");
  reply.append(result);
  reply.push_back('}');
  return reply;
}

// {"jsonrpc":"2.0","id":<id>,"error":{"code":<code>,"message":<message>}}.
std::string errorEnvelope(const Json &id, int code, std::string message) {
  support::OrderedJson reply;
  reply["jsonrpc"] = "2.0";
  reply["id"] = id;
  reply["error"]["code"] = code;
  reply["error"]["message"] = std::move(message);
  return support::dumpCompact(reply);
}

// {"content":[{"type":"text","text":<text>}],"isError":<isError>}.
std::string toolResult(std::string text, bool isError) {
  const std::string quoted = support::dumpCompact(Json(std::move(text)));
  std::string result;
  result.reserve(64 + quoted.size());
  result.append(R"({"content":[{"type":"text","text":)");
  result.append(quoted);
  result.append(isError ? R"(}],"isError":true})" : R"(}],"isError":false})");
  return result;
}

// A tool's output record as JSON text; an output that cannot be written gives
// "{}", so a tool that succeeded never turns into an error here.
template <typename Output>
std::string jsonString(const Output &output) noexcept {
  try {
    return support::dumpCompact(output.toJson());
  } catch (...) {
    return "{}";
  }
}

// Decodes the tool's input record straight from the arguments object (the
// decoder's error passes through and the tool does not run), runs the tool and
// writes its output. Tools without input never look at the arguments.
template <typename Tool>
std::string runTool(const Tool &tool, const Json &args) {
  if constexpr (requires { typename Tool::Input; }) {
    return jsonString(tool.run(Tool::Input::fromJson(args)));
  } else {
    (void)args;
    return jsonString(tool.run());
  }
}

// The replies of serve(), one slot per handled line in arrival order. Handler
// threads fill slots in any order; the one writer takes them from the front as
// they become ready. std::deque keeps references to its elements valid across
// push_back and pop_front, so a handler can hold its slot.
class ReplyQueue {
public:
  struct Slot {
    std::optional<std::string> reply;
    bool done = false;
  };

  Slot &add() {
    std::lock_guard lock(mutex_);
    return slots_.emplace_back();
  }

  void fill(Slot &slot, std::optional<std::string> reply) {
    bool front;
    {
      std::lock_guard lock(mutex_);
      slot.reply = std::move(reply);
      slot.done = true;
      front = &slots_.front() == &slot;
    }
    // The writer only ever waits for the front slot.
    if (front)
      ready_.notify_one();
  }

  // No more slots will be added.
  void finish() {
    {
      std::lock_guard lock(mutex_);
      finished_ = true;
    }
    ready_.notify_one();
  }

  // Blocks until the front slot is done and takes it; false once finished and
  // empty.
  bool take(std::optional<std::string> &reply) {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [this] {
      return (!slots_.empty() && slots_.front().done) ||
             (finished_ && slots_.empty());
    });
    if (slots_.empty())
      return false;
    reply = std::move(slots_.front().reply);
    slots_.pop_front();
    return true;
  }

private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Slot> slots_; // guarded by mutex_
  bool finished_ = false;  // guarded by mutex_
};

} // namespace

MCPServer::MCPServer(MCPTools tools, std::shared_ptr<VaultClient> vault,
                     std::shared_ptr<ElicitationCoordinator> coordinator)
    : tools_(std::move(tools)), vault_(std::move(vault)),
      coordinator_(std::move(coordinator)),
      toolsListResult_(R"({"tools":)" +
                       support::dumpCompact(toolDefinitions()) + "}") {}

void MCPServer::serve(int inputFd, int outputFd) const {
  LineWriter writer(outputFd);
  serve(inputFd, writer);
}

void MCPServer::serve(int inputFd, LineWriter &writer) const {
  ReplyQueue replies;
  std::thread writing([&] {
    std::optional<std::string> reply;
    while (replies.take(reply)) {
      if (reply)
        writer.write(*reply);
    }
  });

  {
    ElasticThreadPool pool;
    auto dispatch = [&](std::string_view line) {
      std::optional<Json> message = support::parseJson(line);
      if (!message || !message->is_object())
        return;
      if (isApprovalAnswer(*message)) {
        deliverApprovalAnswer(*message);
        return;
      }
      ReplyQueue::Slot &slot = replies.add();
      pool.submit([this, &replies, &slot, message = std::move(*message)] {
        std::optional<std::string> reply;
        try {
          reply = handle(message);
        } catch (...) {
          // Only a failure outside the tool call (memory, say) gets here; the
          // line stays unanswered rather than taking the server down.
        }
        replies.fill(slot, std::move(reply));
      });
    };

    std::vector<char> block(kReadBlockBytes);
    std::string partial; // the bytes of the current line read so far, when it
                         // spans reads
    bool discarding = false; // the current line is over the limit: drop it up
                             // to its line feed
    for (;;) {
      const ssize_t count = ::read(inputFd, block.data(), block.size());
      if (count < 0 && errno == EINTR)
        continue;
      if (count <= 0)
        break;
      const char *next = block.data();
      const char *const end = next + count;
      while (next < end) {
        const auto *feed = static_cast<const char *>(
            std::memchr(next, '\n', static_cast<std::size_t>(end - next)));
        const char *const stop = feed != nullptr ? feed : end;
        const auto length = static_cast<std::size_t>(stop - next);
        if (!discarding && partial.size() + length > kMaxLineBytes) {
          discarding = true;
          std::string().swap(partial);
        }
        if (feed == nullptr) {
          if (!discarding)
            partial.append(next, length);
          break;
        }
        if (!discarding) {
          if (partial.empty()) {
            dispatch(std::string_view(next, length));
          } else {
            partial.append(next, length);
            dispatch(partial);
            partial.clear();
            if (partial.capacity() > kRetainedLineCapacity)
              std::string().swap(partial);
          }
        }
        discarding = false;
        next = feed + 1;
      }
    }
    // End of input: a partial last line is dropped; the writer drains every
    // queued reply.
    replies.finish();
    writing.join();
  }
}

std::optional<std::string> MCPServer::handleLine(std::string_view line) const {
  std::optional<Json> message = support::parseJson(line);
  if (!message || !message->is_object())
    return std::nullopt;
  if (isApprovalAnswer(*message)) {
    deliverApprovalAnswer(*message);
    return std::nullopt;
  }
  return handle(*message);
}

bool MCPServer::isApprovalAnswer(const Json &message) {
  return !message.contains("method") && message.contains("id");
}

void MCPServer::deliverApprovalAnswer(const Json &answer) const {
  coordinator_->fulfill(stringId(answer["id"]), elicitationResult(answer));
}

std::optional<std::string> MCPServer::handle(const Json &message) const {
  const auto method = message.find("method");
  if (method == message.end() || !method->is_string())
    return std::nullopt;
  const std::string &name = method->get_ref<const std::string &>();
  // Notifications (no "id") are never answered, whatever their method.
  const auto id = message.find("id");
  const bool answered = id != message.end();

  if (name == "tools/call") {
    std::string result = toolCallResult(message);
    if (!answered)
      return std::nullopt;
    return resultEnvelope(*id, result);
  }
  if (!answered || name == "notifications/initialized")
    return std::nullopt;
  if (name == "initialize")
    return resultEnvelope(*id, kInitializeResult);
  if (name == "tools/list")
    return resultEnvelope(*id, toolsListResult_);
  if (name == "ping")
    return resultEnvelope(*id, "{}");
  return errorEnvelope(*id, -32601, "method not found: " + name);
}

std::string MCPServer::toolCallResult(const Json &message) const {
  const Json *params = &emptyObject();
  if (auto found = message.find("params");
      found != message.end() && found->is_object()) {
    params = &*found;
  }
  std::string name;
  if (auto found = params->find("name");
      found != params->end() && found->is_string()) {
    name = found->get<std::string>();
  }
  const Json *args = &emptyObject();
  if (auto found = params->find("arguments");
      found != params->end() && found->is_object()) {
    args = &*found;
  }
  try {
    return toolResult(callTool(name, *args), false);
  } catch (const std::exception &error) {
    return toolResult(std::string("error: ") + error.what(), true);
  }
}

std::string MCPServer::callTool(const std::string &name,
                                const Json &args) const {
  if (name == "secret_list")
    return runTool(tools_.secretList, args);
  if (name == "secret_resolve_preview")
    return runTool(tools_.secretPreview, args);
  if (name == "http_call" || name == "run_command" || name == "mint_token" ||
      name == "totp_code") {
    throw ToolError::upstream(name + " is not available yet");
  }
  if (name == "secret_create")
    return runTool(tools_.secretCreate, args);
  if (name == "secret_get")
    return runTool(tools_.secretGet, args);
  if (name == "secret_update")
    return runTool(tools_.secretUpdate, args);
  if (name == "secret_delete")
    return runTool(tools_.secretDelete, args);
  if (name == "group_list")
    return runTool(tools_.groupList, args);
  if (name == "group_create")
    return runTool(tools_.groupCreate, args);
  if (name == "group_get")
    return runTool(tools_.groupGet, args);
  if (name == "group_update")
    return runTool(tools_.groupUpdate, args);
  if (name == "group_delete")
    return runTool(tools_.groupDelete, args);
  if (name == "project_list")
    return runTool(tools_.projectList, args);
  if (name == "project_create")
    return runTool(tools_.projectCreate, args);
  if (name == "project_get")
    return runTool(tools_.projectGet, args);
  if (name == "project_update")
    return runTool(tools_.projectUpdate, args);
  if (name == "project_delete")
    return runTool(tools_.projectDelete, args);
  if (name == "browser_start" || name == "browser_stop" ||
      name == "browser_fill" || name == "web_login" ||
      name == "credential_capture" || name == "browser_navigate" ||
      name == "browser_tabs" || name == "browser_dialog") {
    return callBrowserTool(name, args);
  }
  throw ToolError::invalidArguments("unknown tool: " + name);
}

std::string MCPServer::callBrowserTool(const std::string &,
                                       const Json &) const {
  // The table holds no browser tools yet, so every browser name is answered
  // alike, before its arguments are looked at.
  throw ToolError::invalidArguments("browser tools not enabled");
}

std::string MCPServer::stringId(const Json &id) {
  if (id.is_string())
    return id.get<std::string>();
  return support::dumpCompact(id);
}

ElicitationResult MCPServer::elicitationResult(const Json &answer) {
  if (auto result = answer.find("result");
      result != answer.end() && result->is_object()) {
    if (auto action = result->find("action");
        action != result->end() && action->is_string()) {
      return ElicitationResult{action->get<std::string>()};
    }
  }
  return ElicitationResult{"cancel"};
}

} // namespace varn::mcp
