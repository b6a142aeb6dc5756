#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/ServerProcess.hpp"

namespace varn::tests {

// A gate that a fake vault reply waits behind until the test opens it. Thread-safe.
class Gate final {
 public:
  // Lets every waiter (present and future) through.
  void open();
  // Blocks until open() was called.
  void wait();

 private:
  std::mutex mutex_;
  std::condition_variable opened_;
  bool open_ = false;  // guarded by mutex_
};

// What the fake vault does with one connection.
struct VaultReply {
  std::string bytes;           // written as they are, then the connection is closed
  bool readRequest = true;     // false: close at once, before reading anything
  std::shared_ptr<Gate> gate;  // when set: the request is read, then the reply waits for the gate

  // The JSON text followed by a line feed: the normal reply.
  static VaultReply line(const std::string& json);
  // The JSON text with no line feed, then the connection closes.
  static VaultReply withoutNewline(const std::string& json);
  // Nothing at all: the request is read and the connection closes.
  static VaultReply empty();
  // A line feed alone.
  static VaultReply bareNewline();
  // {"error": text} and a line feed: the vault's error envelope.
  static VaultReply errorEnvelope(const std::string& text);
  // The JSON text, a line feed, then more bytes that a client must never read as its reply.
  static VaultReply withTrailingBytes(const std::string& json, const std::string& trailing);
  // The connection is accepted and closed at once, before the request is read.
  static VaultReply closeWithoutReading();
  // `reply`, held back until `gate` is opened.
  static VaultReply heldBy(VaultReply reply, std::shared_ptr<Gate> gate);
};

// One request as it arrived on the socket.
struct RecordedRequest {
  std::string line;  // the bytes before the first line feed (all bytes when none came)
  bool endedWithNewline = false;
  std::string op;  // the "op" text when the line is a JSON object with one, else ""
};

// A real Unix-domain socket server standing in for the desktop vault: one thread accepts
// connections, each connection gets a thread of its own, reads one request line, records its
// exact bytes and answers from a script: first the replies queued with enqueue() (in order, for
// any op), then the standing reply set for the request's op and "ref", then the one for its op. A
// request with neither gets the error envelope "fake vault: no reply scripted for <op>".
//
// Thread-safe. The destructor opens every gate, wakes every blocked connection and joins all
// threads; the socket file is removed.
class FakeVault final {
 public:
  // Binds and listens on `socketPath`. Throws std::runtime_error on failure.
  explicit FakeVault(std::string socketPath);
  ~FakeVault();
  FakeVault(const FakeVault&) = delete;
  FakeVault& operator=(const FakeVault&) = delete;

  [[nodiscard]] const std::string& socketPath() const noexcept { return path_; }

  // Queues `reply` for the next connection not yet served from the queue, whatever its op.
  void enqueue(VaultReply reply);
  // Sets the reply for every request with this op that the queue does not serve.
  void answer(const std::string& op, VaultReply reply);
  // Sets the reply for requests with this op and this "ref", ahead of the op's standing reply;
  // `approved` true: only for requests with "approved": true (which fall back to the reply set
  // without it).
  void answer(const std::string& op, const std::string& ref, VaultReply reply,
              bool approved = false);

  // Copies of the requests recorded so far, in arrival order.
  [[nodiscard]] std::vector<RecordedRequest> requests() const;
  // Blocks until at least `count` requests were recorded or `deadline` passed; returns whether
  // they were.
  bool waitForRequests(std::size_t count, std::chrono::milliseconds deadline = kFailureGuard) const;
  // Connections accepted so far (a connection closed before its request counts too).
  [[nodiscard]] std::size_t connections() const;

 private:
  void acceptLoop();
  void serve(int fd);
  VaultReply replyFor(const RecordedRequest& request);

  std::string path_;
  int listenFd_ = -1;
  std::thread acceptor_;
  mutable std::mutex mutex_;
  mutable std::condition_variable recorded_;
  bool stopping_ = false;                     // guarded by mutex_
  std::deque<VaultReply> queue_;              // guarded by mutex_
  std::map<std::string, VaultReply> byOp_;    // guarded by mutex_
  std::map<std::string, VaultReply> byRef_;   // guarded by mutex_
  std::vector<RecordedRequest> requests_;     // guarded by mutex_
  std::vector<std::shared_ptr<Gate>> gates_;  // guarded by mutex_
  std::vector<int> openConnections_;          // guarded by mutex_
  std::vector<std::thread> workers_;          // guarded by mutex_
  std::size_t connections_ = 0;               // guarded by mutex_
};

// A Unix-domain socket bound to a path but never listening: connecting to it is refused, as when
// the vault application left its socket file behind. Closed and removed by the destructor.
class UnlistenedSocket final {
 public:
  explicit UnlistenedSocket(std::string socketPath);
  ~UnlistenedSocket();
  UnlistenedSocket(const UnlistenedSocket&) = delete;
  UnlistenedSocket& operator=(const UnlistenedSocket&) = delete;

 private:
  std::string path_;
  int fd_ = -1;
};

}  // namespace varn::tests
