#pragma once

// A cpp-httplib server on a free port of 127.0.0.1 for the benchmarks' local HTTP targets.

#include <httplib.h>

#include <functional>
#include <string>
#include <thread>

namespace varn::bench {

class BenchHttpServer {
 public:
  // `routes` registers the handlers before the server starts.
  explicit BenchHttpServer(const std::function<void(httplib::Server&)>& routes) {
    routes(server_);
    server_.set_tcp_nodelay(true);  // replies leave at once, not after the peer's delayed ACK
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  BenchHttpServer(const BenchHttpServer&) = delete;
  BenchHttpServer& operator=(const BenchHttpServer&) = delete;
  ~BenchHttpServer() {
    // stop() is ignored until the accept loop runs; the socket already listens meanwhile.
    while (!server_.is_running()) std::this_thread::yield();
    server_.stop();
    thread_.join();
  }

  // "http://127.0.0.1:<port>" followed by `path`.
  [[nodiscard]] std::string url(const std::string& path = "/") const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
};

}  // namespace varn::bench
