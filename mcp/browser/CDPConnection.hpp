#pragma once

// One WebSocket connection to a browser's DevTools endpoint, speaking the DevTools Protocol as
// numbered request and reply.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "support/Json.hpp"

namespace varn::mcp {

// The browser-level DevTools WebSocket: each command is numbered (1, 2, ... per connection), sent
// as one compact JSON text frame {"id", "method", "params", "sessionId" only when given}, and its
// caller waits for the reply with the same id. Commands for an attached target carry its session
// id (flat sessions). Messages without an id are events, handed to the event handler.
//
// The connection runs on one I/O thread of its own (Boost.Beast, asynchronous API), started by
// connect() and ended by close() or by a socket failure. It always connects to 127.0.0.1 at the
// URL's port, with the handshake Host "127.0.0.1:<port>" and no Origin header, and accepts
// messages of up to 64 MiB. Frames are never logged or kept after sending (Input.insertText
// carries a secret), and no error text quotes a parameter.
//
// Thread-safe: any number of threads may send at once; replies are matched by id in whatever
// order they come. Not copyable or movable.
class CDPConnection final {
 public:
  // Called on the I/O thread for every event (a JSON object without an integer "id"), in arrival
  // order. It must return quickly and must never wait on this connection (a send from inside it
  // could only time out); an exception it throws is dropped.
  using EventHandler = std::function<void(const support::Json& event)>;

  // The deadline of a command unless its caller gives another.
  static constexpr std::chrono::milliseconds kDefaultDeadline{60000};
  // The largest message read; a longer one breaks the connection.
  static constexpr std::size_t kMaxMessageBytes = 64 * 1024 * 1024;

  // `url`: the browser-level DevTools WebSocket URL ("ws://127.0.0.1:<port>/devtools/browser/..."
  // or with the host "localhost"). Nothing is opened yet. A URL of another form makes connect()
  // end the connection at once with a DevToolsTransportError.
  explicit CDPConnection(std::string url, EventHandler onEvent = {});
  // close(), then waits for the I/O thread (unless it runs on it).
  ~CDPConnection();
  CDPConnection(const CDPConnection&) = delete;
  CDPConnection& operator=(const CDPConnection&) = delete;

  // Starts the I/O thread, which connects and performs the opening handshake in the background;
  // commands sent meanwhile are written once the socket is open. Calling it again does nothing.
  // Never throws except std::system_error when no thread can be started.
  void connect();

  // Sends one command and returns the reply's "result" object (an empty object when the reply
  // has none). Blocks until the reply arrives, the connection ends, or `deadline` passes.
  // Throws:
  // - BrowserError::cdpFailure(<the error object's "message">, or "cdp error" when it has no
  //   string "message") for an error reply;
  // - BrowserError::cdpFailure("encode failed for <method>") when a text in `params` is not
  //   UTF-8 (the id is used up, nothing is sent);
  // - BrowserError::cdpFailure("send failed: <reason>") when the frame cannot be written;
  // - BrowserError::cdpFailure("timed out waiting for <method>") after the deadline; a reply
  //   arriving later is dropped;
  // - the error that ended the connection, at once when it has ended before the call: the
  //   socket's DevToolsTransportError, or BrowserError::cdpFailure("connection closed") after
  //   close().
  support::Json send(std::string_view method, const support::Json& params = support::Json::object(),
                     const std::optional<std::string>& sessionId = std::nullopt,
                     std::chrono::milliseconds deadline = kDefaultDeadline);

  // Fails every waiting command with cdpFailure("connection closed"), sends the close code 1001
  // (going away) and drops the socket, waiting at most about a second for the peer. Later sends
  // fail at once the same way. Idempotent; never throws.
  void close() noexcept;

 private:
  struct Core;

  std::shared_ptr<Core> core_;
  std::thread thread_;
};

}  // namespace varn::mcp
