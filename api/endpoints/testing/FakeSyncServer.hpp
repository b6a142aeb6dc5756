#pragma once

#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace httplib {
class Server;
}

namespace varn::api::fakes {

// A stand-in for the sync server: cpp-httplib on a free port of 127.0.0.1. It records every
// request as received (method, raw path and query, the headers, the body bytes) and answers from
// a script, one reply per request in order; past the script it answers 200 with "{}".
//
// Thread-safe; stops and joins when destroyed.
class FakeSyncServer {
 public:
  struct Received {
    std::string method;
    std::string path;   // raw, still percent-encoded, without the query
    std::string query;  // raw, without "?"; empty when there is none
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    // The first header of that name (letter case ignored).
    [[nodiscard]] std::optional<std::string> header(std::string_view name) const;
  };

  struct Reply {
    int status = 200;
    std::string body = "{}";
    std::vector<std::pair<std::string, std::string>> headers = {};
    // Zero: the body at once. Otherwise one byte of it at a time, this long apart: a slow server.
    std::chrono::milliseconds drip{0};
  };

  FakeSyncServer();
  FakeSyncServer(const FakeSyncServer&) = delete;
  FakeSyncServer& operator=(const FakeSyncServer&) = delete;
  ~FakeSyncServer();

  [[nodiscard]] int port() const noexcept { return port_; }
  // "http://127.0.0.1:<port>" followed by `path`.
  [[nodiscard]] std::string url(std::string_view path = "") const;

  // Adds a reply to the end of the script.
  void reply(Reply reply);
  // Every request received so far, oldest first.
  [[nodiscard]] std::vector<Received> received() const;

 private:
  std::unique_ptr<httplib::Server> server_;
  int port_ = 0;
  mutable std::mutex mutex_;
  std::deque<Reply> script_;        // guarded by mutex_
  std::vector<Received> received_;  // guarded by mutex_
  std::unique_ptr<std::thread> thread_;
};

}  // namespace varn::api::fakes
