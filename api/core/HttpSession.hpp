#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/CurlSession.hpp"

namespace varn::api {

// One HTTP request of the client: an absolute http(s) URL, already percent-encoded.
struct HttpRequest {
  std::string method;
  std::string url;
  std::vector<std::pair<std::string, std::string>> headers;  // in sending order
  std::optional<std::string> body;                           // absent: none
};

struct HttpResponse {
  int status = 0;
  std::string body;
};

// The HTTP session that a VarnAPIClient is given: it performs requests and is never configured by
// the client. Implementations must be safe to call from several threads at once.
class HttpSession {
 public:
  virtual ~HttpSession() = default;

  // Performs one exchange and returns the final response, whatever its status. Blocks until it
  // has arrived. Throws APIError::transport(-1, <text>) when the exchange fails, and
  // APIError::transport(status, "response too large") when the reply body passes
  // kMaxReplyBytes (the transfer is cut off there).
  virtual HttpResponse perform(const HttpRequest& request) = 0;
};

// The largest reply body a session delivers: 64 MiB.
inline constexpr std::size_t kMaxReplyBytes = std::size_t{64} * 1024 * 1024;

// How long one exchange of a CurlHttpSession may take in all, unless its host picks another
// limit: 5 minutes.
inline constexpr std::chrono::minutes kRequestDeadline{5};

// The HTTP session over libcurl, configured as a desktop client's default session: connecting
// may take 60 seconds and a transfer that stalls (less than one byte per second) for 60 seconds
// is cut off; up to 16 redirects are followed, within http and https, and a custom
// "Authorization" field goes only to the scheme, host and port of the request's own URL; cookies
// live in memory for the life of the session; no response cache; "Expect:" is sent empty; the
// proxy variables of the environment apply. Thread-safe.
// Each exchange, from connecting to the last byte of the reply and redirects included, ends at
// `requestDeadline` (at least 1 ms) with a transport error, so that a server that drips its reply
// just fast enough never to stall cannot hold a call for ever.
class CurlHttpSession final : public HttpSession {
 public:
  explicit CurlHttpSession(std::chrono::milliseconds requestDeadline = kRequestDeadline);

  HttpResponse perform(const HttpRequest& request) override;

 private:
  support::CurlSession curl_;
};

}  // namespace varn::api
