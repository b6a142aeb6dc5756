#pragma once

// A stand-in for a browser's DevTools endpoint on a loopback port: the HTTP lists "/json/version"
// and "/json" and the browser-level WebSocket, with scripted replies, pushed frames (events, data
// frames, replies for unknown ids) and a socket that can be broken on demand.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/Json.hpp"

namespace varn::mcp::testing {

// Serves on 127.0.0.1 at a free port from construction to destruction, on a thread of its own.
// Every WebSocket client is served; pushed frames and breaks go to the newest one. Thread-safe.
class FakeDevToolsServer final {
 public:
  // Decides what the server does with one command (a parsed frame). The returned object is sent
  // back with the command's "id" added unless it has an "id" of its own; nullopt sends nothing.
  // Runs on the server's thread; it may push frames (which follow its reply).
  using Responder = std::function<std::optional<support::Json>(const support::Json& command)>;

  // What the client sent in its opening handshake.
  struct Handshake {
    std::string target;
    std::string host;
    std::optional<std::string> origin;
  };

  FakeDevToolsServer();
  ~FakeDevToolsServer();
  FakeDevToolsServer(const FakeDevToolsServer&) = delete;
  FakeDevToolsServer& operator=(const FakeDevToolsServer&) = delete;

  [[nodiscard]] std::int64_t port() const noexcept { return port_; }
  // "ws://127.0.0.1:<port>/devtools/browser/fake".
  [[nodiscard]] std::string webSocketURL() const;

  // The reply to "GET <target>". By default "/json/version" answers 200 with
  // {"Browser": "Fake/1.0", "webSocketDebuggerUrl": webSocketURL()}, "/json" answers 200 with
  // "[]", and every other target 404.
  void setHTTPReply(const std::string& target, int status, std::string body);

  // Replaces the responder. The default answers every command with {"result": {}}.
  void setResponder(Responder responder);
  // A responder that answers each listed method with {"result": <its value>} and every other
  // method with {"result": {}}.
  void setResults(std::map<std::string, support::Json> resultsByMethod);

  // Frames pushed to the newest client, after everything already queued for it.
  void sendText(std::string text);
  void sendBinary(std::string bytes);
  void sendJson(const support::Json& message) { sendText(message.dump()); }
  // Drops the newest client's TCP connection without a close frame.
  void breakConnection();

  // The text of every frame received, in order, and the same parsed (frames that are not JSON
  // are kept as null).
  [[nodiscard]] std::vector<std::string> frames() const;
  [[nodiscard]] std::vector<support::Json> commands() const;
  // Blocks until `count` frames have arrived in all; false when the deadline passes first.
  [[nodiscard]] bool waitForFrames(std::size_t count,
                                   std::chrono::milliseconds deadline = std::chrono::seconds(10));
  // Blocks until a client's close frame or disconnect has been seen `count` times in all.
  [[nodiscard]] bool waitForDisconnects(
      std::size_t count, std::chrono::milliseconds deadline = std::chrono::seconds(10));
  [[nodiscard]] std::vector<Handshake> handshakes() const;
  // The close code of every client that sent a close frame, in order.
  [[nodiscard]] std::vector<int> closeCodes() const;
  // Number of HTTP requests answered (WebSocket upgrades not counted).
  [[nodiscard]] std::size_t httpRequestCount() const;

 private:
  struct Impl;
  friend struct Impl;

  std::unique_ptr<Impl> impl_;
  std::int64_t port_ = 0;
  std::thread thread_;
};

}  // namespace varn::mcp::testing
