#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace varn::mcp::fakes {

// A real HTTP/1.1 server on a free port of 127.0.0.1, for tests of outbound requests. It serves
// one connection at a time on its own thread: reads one request (head and Content-Length body),
// records it byte for byte, writes the raw reply bytes that the handler returns, and closes the
// connection. Raw replies let a test send what no ordinary server would (bytes that are not UTF-8,
// folded or repeated fields, interim responses, oversized parts).
//
// Thread-safe: requests() may be read while the server runs. Stops and joins when destroyed.
class LocalHttpServer {
 public:
  struct Request {
    std::string method;
    std::string target;
    std::vector<std::pair<std::string, std::string>> headers;  // in arrival order
    std::string body;
    std::string raw;  // the whole request as received

    // The value of the first field of that name, compared without regard to letter case.
    [[nodiscard]] std::optional<std::string> header(std::string_view name) const;
  };

  // Returns the raw reply bytes for a request.
  using Handler = std::function<std::string(const Request&)>;

  explicit LocalHttpServer(Handler handler);
  LocalHttpServer(const LocalHttpServer&) = delete;
  LocalHttpServer& operator=(const LocalHttpServer&) = delete;
  ~LocalHttpServer();

  [[nodiscard]] int port() const noexcept { return port_; }
  // "http://127.0.0.1:<port>" followed by `path`.
  [[nodiscard]] std::string url(std::string_view path = "/") const;
  // Every request received so far, oldest first.
  [[nodiscard]] std::vector<Request> requests() const;

  // A complete reply with a status line, the given fields in order, Content-Length and
  // "Connection: close", then the body. `withBody` false leaves the body bytes out (a reply to
  // HEAD) but keeps their Content-Length.
  [[nodiscard]] static std::string reply(
      int status, const std::vector<std::pair<std::string, std::string>>& headers,
      std::string_view body, bool withBody = true);

 private:
  void serve();
  void handle(int connection);

  Handler handler_;
  int listener_ = -1;
  int stopRead_ = -1;  // becomes readable when the server must stop
  int stopWrite_ = -1;
  int port_ = 0;
  mutable std::mutex mutex_;
  std::vector<Request> requests_;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace varn::mcp::fakes
