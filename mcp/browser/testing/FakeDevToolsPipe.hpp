#pragma once

// The browser's side of a DevTools pipe for tests: NUL-ended JSON commands read, scripted replies
// and pushed messages (events, replies for unknown ids, bytes that are no message) written, and
// the pipe ended on demand.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/Json.hpp"

namespace varn::mcp::fakes {

// Serves the browser's ends of a DevTools pipe on a thread of its own, from adopt() to
// destruction: either two pipes it makes itself (the other ends for a CDPConnection), or the
// descriptors 3 and 4 that the fake browser script hands over from a real child process.
// Thread-safe.
class FakeDevToolsPipe final {
 public:
  // Decides what the browser does with one command (a parsed message). The returned object is
  // sent back with the command's "id" added unless it has an "id" of its own; nullopt sends
  // nothing. Runs on the pipe's thread; it may push messages (which follow its reply).
  using Responder = std::function<std::optional<support::Json>(const support::Json& command)>;

  // Nothing served yet; the default responder answers every command with {"result": {}}.
  FakeDevToolsPipe();
  // Stops the thread and closes the browser's ends.
  ~FakeDevToolsPipe();
  FakeDevToolsPipe(const FakeDevToolsPipe&) = delete;
  FakeDevToolsPipe& operator=(const FakeDevToolsPipe&) = delete;

  // Makes two pipes, serves the browser's ends and returns the other two (read end, write end)
  // for a CDPConnection, which owns them from then on.
  [[nodiscard]] std::pair<int, int> makePipes();
  // Serves `commandsIn` (what the browser reads, its descriptor 3) and `repliesOut` (what it
  // writes, its descriptor 4), owned from now on.
  void adopt(int commandsIn, int repliesOut);
  // Accepts one connection on a Unix socket at `path` (on a thread of its own) and adopts the two
  // descriptors that the fake browser script in "handoff" mode sends over it.
  void adoptFromSocket(const std::string& path);

  void setResponder(Responder responder);
  // A responder that answers each listed method with {"result": <its value>} and every other
  // method with {"result": {}}.
  void setResults(std::map<std::string, support::Json> resultsByMethod);

  // Bytes pushed after everything already queued: a message and its NUL, or the bytes alone.
  void sendText(const std::string& text);
  void sendBytes(std::string bytes);
  void sendJson(const support::Json& message) { sendText(message.dump()); }
  // Closes the browser's ends at once, as a browser that exits does.
  void breakConnection();

  // Every command received, in order, as text and parsed (a command that is not JSON is null).
  [[nodiscard]] std::vector<std::string> frames() const;
  [[nodiscard]] std::vector<support::Json> commands() const;
  // Blocks until `count` commands have arrived in all; false when the deadline passes first.
  [[nodiscard]] bool waitForFrames(std::size_t count,
                                   std::chrono::milliseconds deadline = std::chrono::seconds(10));
  // Blocks until the server's end of the commands pipe has been closed.
  [[nodiscard]] bool waitForDisconnect(
      std::chrono::milliseconds deadline = std::chrono::seconds(10));

 private:
  struct Impl;

  std::shared_ptr<Impl> impl_;
  std::thread thread_;
  std::thread acceptor_;
};

}  // namespace varn::mcp::fakes
