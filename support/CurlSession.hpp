#pragma once

// The one small wrapper over libcurl's easy interface for a client that reuses its connections:
// the sync-server client, which keeps an in-memory cookie jar and follows redirects within
// http(s). The proxy variables of the environment apply, as libcurl does by default.

#include <chrono>
#include <cstddef>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace varn::support {

// How a CurlSession talks HTTP. Only http and https are ever spoken, also after a redirect.
struct CurlSettings {
  // How long connecting may take.
  std::chrono::seconds connectTimeout{60};
  // A transfer that moves less than one byte per second for this long is cut off.
  std::chrono::seconds stallTimeout{60};
  // A limit on the whole exchange; zero means none.
  std::chrono::milliseconds deadline{0};
  // Redirects followed; zero returns a 3xx as it is. A custom Authorization field goes only to
  // the scheme, host and port of the request's own URL (libcurl drops it on a redirect elsewhere).
  int maxRedirects = 0;
  // Cookies kept in memory for the life of the session and shared by all its transfers.
  bool cookieJar = false;
  // Reply body bytes past which a transfer is cut off (CurlResponse::bodyTooLarge).
  std::size_t maxBodyBytes = std::size_t{64} * 1024 * 1024;
};

struct CurlRequest {
  std::string url;     // absolute http or https URL, already percent-encoded
  std::string method;  // "GET", "HEAD", "POST", "PUT", "PATCH", "DELETE", ...
  // Header fields in sending order. Values must hold no CR, LF or NUL (CurlError otherwise).
  // "Expect:" is always sent empty, so a body never waits for "100 Continue".
  std::vector<std::pair<std::string, std::string>> headers;
  std::optional<std::string> body;  // absent: none; GET and HEAD send none
};

struct CurlResponse {
  int status = 0;  // of the last response, after redirects
  std::string body;
  // The body passed CurlSettings::maxBodyBytes and the transfer was cut off; body is then empty.
  bool bodyTooLarge = false;
};

// A failure of the exchange itself (connection, name resolution, TLS, time-out, a scheme other
// than http(s), too many redirects). what() is libcurl's own text; it never holds field values.
class CurlError : public std::exception {
 public:
  explicit CurlError(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// Connections, name lookups, TLS sessions and (when kept) cookies of one configured client.
// Thread-safe: perform() may run on several threads at once; each call has its own easy handle
// and the shared state sits behind libcurl's share interface with locks of this session.
class CurlSession final {
 public:
  explicit CurlSession(CurlSettings settings);
  CurlSession(const CurlSession&) = delete;
  CurlSession& operator=(const CurlSession&) = delete;
  ~CurlSession();

  // Performs one exchange and returns the last response, whatever its status. Blocks until it has
  // arrived. Throws CurlError when the exchange fails.
  [[nodiscard]] CurlResponse perform(const CurlRequest& request) const;

 private:
  struct Shared;
  CurlSettings settings_;
  std::unique_ptr<Shared> shared_;
};

}  // namespace varn::support
