#pragma once

// The browser's private DevTools pipe, speaking the DevTools Protocol as numbered request and
// reply.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "support/Json.hpp"
#include "support/UniqueFd.hpp"

namespace varn::mcp {

// The browser-level DevTools connection over the two pipes of --remote-debugging-pipe: each
// command is numbered (1, 2, ... per connection), written as one compact JSON text ended by a NUL
// byte {"id", "method", "params", "sessionId" only when given}, and its caller waits for the
// message with the same id. Commands for an attached target carry its session id (flat
// sessions). Messages without an id are events, handed to the event handler.
//
// The connection runs on one I/O thread of its own, started by connect() and ended by close(),
// by the end of the browser's pipe, or by a message that cannot be one: not UTF-8 or not a JSON
// object. Each of these fails every waiting and later command with cdpFailure("connection
// closed"). A lone UTF-16 surrogate escaped in a string (which a page can put into a dialog's
// message or an evaluation's result) is read as U+FFFD. A message longer than kMaxMessageBytes
// (which a page can provoke, say with a huge prompt text or frame name) is skipped to its end
// without being held: an event is dropped, a reply fails its own command, and the connection
// lives on. At most kMaxMessageBytes and one read are held at a time. Commands are never logged
// and their bytes are wiped once written (Input.insertText carries a secret), and no error text
// quotes a parameter.
//
// Thread-safe: any number of threads may send at once; replies are matched by id in whatever
// order they come. Not copyable or movable.
class CDPConnection final {
 public:
  // Called on the I/O thread for every event (a JSON object without an "id"), in arrival order.
  // It must return quickly and must never wait on this connection (a send from inside it could
  // only time out); an exception it throws is dropped.
  using EventHandler = std::function<void(const support::Json& event)>;

  // The deadline of a command unless its caller gives another.
  static constexpr std::chrono::milliseconds kDefaultDeadline{60000};
  // The longest message read; a longer one is skipped.
  static constexpr std::size_t kMaxMessageBytes = 64 * 1024 * 1024;

  // `readFd`: the pipe end the browser's messages arrive on; `writeFd`: the one commands go to.
  // They are closed when the I/O thread ends, or on destruction when it never ran. Nothing is
  // read or written yet.
  CDPConnection(support::UniqueFd readFd, support::UniqueFd writeFd, EventHandler onEvent = {});
  // close(), then waits for the I/O thread (unless it runs on it).
  ~CDPConnection();
  CDPConnection(const CDPConnection&) = delete;
  CDPConnection& operator=(const CDPConnection&) = delete;

  // Starts the I/O thread; commands sent before are written once it runs. Calling it again does
  // nothing. Never throws except std::system_error when no thread can be started.
  void connect();

  // Sends one command and returns the reply's "result" object (an empty object when the reply
  // has none). Blocks until the reply arrives, the connection ends, or `deadline` passes; the
  // deadline is cut to what is left of the calling thread's CallBudget.
  // Throws:
  // - BrowserError::cdpFailure(<the error object's "message">, or "cdp error" when it has no
  //   string "message") for an error reply;
  // - BrowserError::cdpFailure("encode failed for <method>") when a text in `params` is not
  //   UTF-8 (the id is used up, nothing is sent);
  // - BrowserError::cdpFailure("send failed: <reason>") when the command cannot be written (the
  //   connection then ends);
  // - BrowserError::callTooLong when nothing is left of the calling thread's budget (the id is
  //   used up, nothing is sent);
  // - BrowserError::timedOut(<method>) after the deadline; a reply arriving later is dropped;
  // - BrowserError::cdpFailure("reply to <method> exceeds the 64 MiB message limit") as soon as
  //   the id of a reply longer than kMaxMessageBytes has been read;
  // - BrowserError::cdpFailure("connection closed") once the connection has ended, at once when
  //   it ended before the call.
  support::Json send(std::string_view method, const support::Json& params = support::Json::object(),
                     const std::optional<std::string>& sessionId = std::nullopt,
                     std::chrono::milliseconds deadline = kDefaultDeadline);

  // Sends one command without waiting for its reply: for a command whose effect alone counts,
  // which the later commands of its session follow in order (a page that never answers then costs
  // nothing here). `answered`, when given, is called on the I/O thread once the reply (or an error
  // reply) comes, and must return quickly without waiting on this connection; otherwise the reply
  // is dropped. Throws as send() does before anything is written: "encode failed for <method>",
  // callTooLong, or "connection closed".
  void post(std::string_view method, const support::Json& params = support::Json::object(),
            const std::optional<std::string>& sessionId = std::nullopt,
            std::function<void()> answered = {});

  // Fails every waiting command with cdpFailure("connection closed"), drops what is not yet
  // written, closes both pipe ends and ends the I/O thread, without waiting for the browser.
  // Later sends fail at once the same way. Idempotent; never throws.
  void close() noexcept;

  // Whether the connection has ended (closed, or the pipe ended or carried something that is no
  // message).
  [[nodiscard]] bool ended() const;

 private:
  struct Core;
  struct Pending;

  // Numbers and queues one command, its reply going to `waiter` when there is one; returns its id
  // and `deadline` cut to the calling thread's budget. Throws as post() does (the id used up).
  std::pair<std::int64_t, std::chrono::milliseconds> enqueue(
      std::string_view method, const support::Json& params,
      const std::optional<std::string>& sessionId, std::shared_ptr<Pending> waiter,
      std::chrono::milliseconds deadline);

  std::shared_ptr<Core> core_;
  std::thread thread_;
};

}  // namespace varn::mcp
