#include "mcp/server/MCPServer.hpp"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "mcp/secrets/ToolError.hpp"
#include "mcp/server/ElasticThreadPool.hpp"
#include "mcp/server/ToolDefinitions.hpp"
#include "support/Utf8.hpp"

namespace varn::mcp {
namespace {

using support::Json;

constexpr std::string_view kInitializeResult =
    R"({"protocolVersion":"2025-06-18","capabilities":{"tools":{},"elicitation":{}},)"
    R"("serverInfo":{"name":"varn-mcp","version":"0.1.0"}})";

constexpr std::size_t kReadBlockBytes = 64 * 1024;
// How long the reply writer watches for the next reply before it sleeps.
constexpr auto kWriterWatch = std::chrono::microseconds(200);
// A line buffer grown beyond this by one long line is released afterwards.
constexpr std::size_t kRetainedLineCapacity = std::size_t{1} << 20;

// A hint to the processor that this thread is waiting in a loop.
inline void relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

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

// Appends `text` as a JSON string. Valid UTF-8 is written as it is with the escapes JSON needs;
// anything else goes through the JSON library, which replaces what is not UTF-8.
void appendJsonString(std::string& out, std::string_view text) {
  if (!support::isValidUtf8(text)) {
    out.append(support::dumpCompact(Json(std::string(text))));
    return;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  out.reserve(out.size() + text.size() + 2);
  out.push_back('"');
  for (char c : text) {
    switch (c) {
      case '"':
        out.append("\\\"");
        break;
      case '\\':
        out.append("\\\\");
        break;
      case '\b':
        out.append("\\b");
        break;
      case '\f':
        out.append("\\f");
        break;
      case '\n':
        out.append("\\n");
        break;
      case '\r':
        out.append("\\r");
        break;
      case '\t':
        out.append("\\t");
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          out.append("\\u00");
          out.push_back(kHex[(c >> 4) & 0x0F]);
          out.push_back(kHex[c & 0x0F]);
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
}

// Appends {"content":[{"type":"text","text":<text>}],"isError":<isError>}.
void appendToolResult(std::string& out, std::string_view text, bool isError) {
  out.append(R"({"content":[{"type":"text","text":)");
  appendJsonString(out, text);
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

// The replies of serve(), one slot per handled line in arrival order. Handler threads fill slots
// in any order; the one writer takes them from the front as they become ready. std::deque keeps
// references to its elements valid across push_back and pop_front, so a handler can hold its slot.
//
// Each slot weighs what it holds: while its tool call runs, what the call is counted as holding
// (its parsed message, kHeldCopies times over); once answered, its reply. A reply made at once
// also counts its line. The reader waits for room while the slots are over the limits, so a flood
// of input cannot grow the memory without bound. add() and addReady() tell the reader when that
// is the case.
class MCPServer::ReplyQueue {
 public:
  explicit ReplyQueue(ServeLimits limits) : limits_(limits) {}

  struct Slot {
    std::optional<Reply> reply;
    bool done = false;
    std::size_t weight = 0;
  };

  // A slot for a reply still to come, whose call holds `heldBytes` until then; `full` is set when
  // the reader must wait for room.
  Slot& add(std::size_t heldBytes, bool& full) {
    std::lock_guard lock(mutex_);
    bytes_ += heldBytes;
    Slot& slot = slots_.emplace_back();
    slot.weight = heldBytes;
    full = fullLocked();
    return slot;
  }

  // A reply that is ready already. The writer is not woken here but by wakeWriter(), once per
  // block of input, so a burst of quick lines costs one wake-up rather than one per line.
  // Returns whether the reader must wait for room.
  bool addReady(Reply reply, std::size_t lineBytes) {
    std::lock_guard lock(mutex_);
    const std::size_t weight = lineBytes + reply.text.size();
    bytes_ += weight;
    slots_.push_back(Slot{std::move(reply), true, weight});
    changes_.fetch_add(1, std::memory_order_release);
    return fullLocked();
  }

  void wakeWriter() {
    bool ready;
    {
      std::lock_guard lock(mutex_);
      ready = !slots_.empty() && slots_.front().done;
    }
    if (ready) ready_.notify_one();
  }

  // The call of `slot` is done: from now on the slot holds its reply only.
  void fill(Slot& slot, std::optional<Reply> reply) {
    bool front;
    bool wakeReader;
    {
      std::lock_guard lock(mutex_);
      bytes_ -= slot.weight;
      slot.weight = reply ? reply->text.size() : 0;
      bytes_ += slot.weight;
      wakeReader = readerWaiting_ && !fullLocked();
      slot.reply = std::move(reply);
      slot.done = true;
      front = &slots_.front() == &slot;
      changes_.fetch_add(1, std::memory_order_release);
    }
    // The writer only ever waits for the front slot.
    if (front) ready_.notify_one();
    if (wakeReader) room_.notify_one();
  }

  // No more slots will be added.
  void finish() {
    {
      std::lock_guard lock(mutex_);
      finished_ = true;
      changes_.fetch_add(1, std::memory_order_release);
    }
    ready_.notify_one();
  }

  // Blocks while the slots are over either limit (the reader, before it reads on). Wakes the
  // writer first: the replies it is to write may not have been announced yet.
  void waitForRoom() {
    std::unique_lock lock(mutex_);
    if (!fullLocked()) return;
    ready_.notify_one();
    readerWaiting_ = true;
    room_.wait(lock, [this] { return !fullLocked(); });
    readerWaiting_ = false;
  }

  // Blocks until the front slot is done and takes it; false once finished and empty.
  bool take(std::optional<Reply>& reply) {
    std::unique_lock lock(mutex_);
    const auto ready = [this] {
      return (!slots_.empty() && slots_.front().done) || (finished_ && slots_.empty());
    };
    if (!ready()) {
      // A reply usually follows the last one within microseconds (the next request of a client
      // that waits for each answer): watching for it briefly is far quicker than being woken.
      const std::uint64_t seen = changes_.load(std::memory_order_acquire);
      lock.unlock();
      const auto until = std::chrono::steady_clock::now() + kWriterWatch;
      for (unsigned round = 1; changes_.load(std::memory_order_acquire) == seen; ++round) {
        // The clock is read only now and then: reading it costs more than the check.
        if (round % 64 == 0 && std::chrono::steady_clock::now() >= until) break;
        relax();
      }
      lock.lock();
    }
    ready_.wait(lock, ready);
    if (slots_.empty()) return false;
    reply = std::move(slots_.front().reply);
    bytes_ -= slots_.front().weight;
    slots_.pop_front();
    const bool wakeReader = readerWaiting_ && !fullLocked();
    lock.unlock();
    if (wakeReader) room_.notify_one();
    return true;
  }

 private:
  bool fullLocked() const { return bytes_ > limits_.bytes || slots_.size() > limits_.replies; }

  const ServeLimits limits_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::condition_variable room_;
  std::deque<Slot> slots_;      // guarded by mutex_
  std::size_t bytes_ = 0;       // guarded by mutex_: the weight of every slot
  bool finished_ = false;       // guarded by mutex_
  bool readerWaiting_ = false;  // guarded by mutex_
  // Counts changes that may have made the front ready; read without the lock.
  std::atomic<std::uint64_t> changes_{0};
};

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

std::optional<MCPServer::Reply> MCPServer::respondGuarded(Json message) const noexcept {
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
    // Set by a line after which too much is in flight: the reader waits before the next one.
    bool full = false;
    auto dispatch = [&](std::string_view line) {
      std::optional<Json> message = support::parseJson(line);
      if (!message || !message->is_object()) return;
      if (isApprovalAnswer(*message)) {
        deliverApprovalAnswer(*message);
        return;
      }
      const std::optional<std::size_t> held = heldByToolCall(*message);
      if (!held) {
        // Nothing on this road can block (no tool runs), so it is answered here at once: a
        // hand-over to another thread would cost more than the answer.
        std::optional<Reply> reply = respondGuarded(std::move(*message));
        if (reply) full = replies.addReady(std::move(*reply), line.size());
        return;
      }
      ReplyQueue::Slot& slot = replies.add(*held, full);
      pool.submit([this, &replies, &slot, message = std::move(*message)]() mutable {
        replies.fill(slot, respondGuarded(std::move(message)));
      });
    };

    std::vector<char> block(kReadBlockBytes);
    // The bytes read so far of a line that spans reads.
    std::string partial;
    // The current line is over the limit: drop it up to its line feed.
    bool discarding = false;
    for (;;) {
      const ssize_t count = ::read(inputFd, block.data(), block.size());
      if (count < 0 && errno == EINTR) continue;
      if (count <= 0) break;
      const char* next = block.data();
      const char* const end = next + count;
      while (next < end) {
        const auto* feed =
            static_cast<const char*>(std::memchr(next, '\n', static_cast<std::size_t>(end - next)));
        const char* const stop = feed != nullptr ? feed : end;
        const auto length = static_cast<std::size_t>(stop - next);
        if (!discarding && partial.size() + length > kMaxLineBytes) {
          discarding = true;
          std::string().swap(partial);
        }
        if (feed == nullptr) {
          if (!discarding) partial.append(next, length);
          break;
        }
        if (!discarding) {
          if (partial.empty()) {
            dispatch(std::string_view(next, length));
          } else {
            partial.append(next, length);
            dispatch(partial);
            partial.clear();
            if (partial.capacity() > kRetainedLineCapacity) std::string().swap(partial);
          }
        }
        discarding = false;
        next = feed + 1;
        if (full) {
          // Back-pressure: too much read and not yet answered; the writer catches up first.
          full = false;
          replies.waitForRoom();
        }
      }
      replies.wakeWriter();
    }
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

std::optional<MCPServer::Reply> MCPServer::respond(Json message) const {
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
