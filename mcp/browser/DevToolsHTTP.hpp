#pragma once

// The browser's DevTools HTTP endpoints ("/json/version", "/json") on 127.0.0.1, and the error of
// the DevTools transport itself.
//
// The requests go through Boost.Beast's HTTP client rather than libcurl: Beast is here for the
// DevTools WebSocket anyway, and a plain GET to the loopback address needs nothing libcurl adds
// (no TLS, no proxy, no redirects, no cookies). No proxy is ever consulted.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace varn::mcp {

// A failure of the DevTools transport (connecting, a time-out, a broken or closed socket, a
// malformed HTTP reply). what() names the step and the system's own description of the failure;
// it never holds frame or body bytes.
class DevToolsTransportError : public std::exception {
 public:
  explicit DevToolsTransportError(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// One HTTP reply of a DevTools endpoint.
struct DevToolsHTTPResponse {
  int status = 0;
  std::string body;

  bool operator==(const DevToolsHTTPResponse&) const = default;
};

// How long one DevTools HTTP exchange may take in all, connecting included.
inline constexpr std::chrono::milliseconds kDevToolsHTTPDeadline{5000};
// The largest reply body accepted; a longer one is a DevToolsTransportError.
inline constexpr std::size_t kDevToolsHTTPMaxBody = 16 * 1024 * 1024;

// Sends one "GET <target>" (target: "/json/version", "/json") to 127.0.0.1:<port> with the Host
// header "127.0.0.1:<port>" and returns the reply, whatever its status. Blocks for at most
// `deadline`. Throws DevToolsTransportError when the port is outside 1 to 65535, when the
// exchange fails or when it runs past the deadline. Thread-safe.
[[nodiscard]] DevToolsHTTPResponse getDevToolsEndpoint(
    std::int64_t port, std::string_view target,
    std::chrono::milliseconds deadline = kDevToolsHTTPDeadline);

}  // namespace varn::mcp
