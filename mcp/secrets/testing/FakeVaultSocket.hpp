#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace varn::mcp::fakes {

// A fresh folder /tmp/vvXXXXXX (short, so socket paths inside fit the 104-byte limit), removed
// with everything in it when the owner goes. Throws std::runtime_error when it cannot be made.
class TempFolder final {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  [[nodiscard]] const std::string& path() const noexcept { return path_; }
  [[nodiscard]] std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A vault socket served by a thread of this process, bound in a fresh temporary folder. Each
// connection takes the next scripted exchange: the fake reads the request up to its line feed
// (recording the bytes, line feed included), runs the exchange's hook, writes the scripted reply
// bytes as they are and closes. A connection without a scripted exchange is closed at once.
//
// Thread-safe: script and read the record while it serves. Stops and joins when destroyed.
class FakeVaultSocket final {
 public:
  struct Exchange {
    std::string reply;                  // written as is: a line feed only if the script has one
    bool closeWithoutReading = false;   // close on accept, before reading anything
    std::function<void()> beforeReply;  // runs on the fake's thread once the request is read
  };

  // An address in Linux's abstract namespace: `bytes` are copied to the start of a zero-filled
  // path field (the first byte should be zero) and the whole address is bound.
  struct Abstract {
    std::string bytes;
  };

  // Binds the socket file `name` inside the fresh folder and starts serving.
  explicit FakeVaultSocket(const std::string& name = "vault.sock");
  // Binds the abstract address and starts serving; path() is `address.bytes`. Throws
  // std::runtime_error when the address is taken.
  explicit FakeVaultSocket(Abstract address);
  ~FakeVaultSocket();
  FakeVaultSocket(const FakeVaultSocket&) = delete;
  FakeVaultSocket& operator=(const FakeVaultSocket&) = delete;

  [[nodiscard]] const std::string& path() const noexcept { return path_; }

  // Queues an exchange that answers with `reply`.
  void answer(std::string reply);
  void script(Exchange exchange);

  // The request bytes of every connection so far, oldest first.
  [[nodiscard]] std::vector<std::string> requests() const;
  // How many connections were accepted so far.
  [[nodiscard]] int connections() const;

 private:
  void start();
  void serve();
  void handle(int connection);

  TempFolder folder_;
  std::string path_;
  int listener_ = -1;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  mutable std::mutex mutex_;
  std::deque<Exchange> script_;        // guarded by mutex_
  std::vector<std::string> requests_;  // guarded by mutex_
  int connections_ = 0;                // guarded by mutex_
  std::thread thread_;
};

}  // namespace varn::mcp::fakes
