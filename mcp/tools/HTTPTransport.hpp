#pragma once

#include <chrono>
#include <cstddef>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <curl/curl.h>

namespace varn::mcp {

// A URL of an outbound request, parsed once by libcurl's URL parser; the transfer later runs on
// that same parsed handle, so the host that a binding is checked against is the host that is
// contacted. Any scheme parses. Text that libcurl does not take but that is an RFC 3986 relative
// reference (a bare path, "example.com/x", "//host/x") parses too, as a URL with no scheme, no
// host and no handle, which no transport can fetch.
//
// An immutable value; copies share the parsed handle, which is only ever read. Thread-safe.
class HTTPURL final {
 public:
  // Nothing when the text is neither a URL of libcurl nor a relative reference (this includes
  // the empty text and any text with blanks or control characters).
  [[nodiscard]] static std::optional<HTTPURL> parse(std::string_view text);

  // The text that was parsed, unchanged.
  [[nodiscard]] const std::string& text() const noexcept { return text_; }
  // The scheme in lower case; absent for a relative reference.
  [[nodiscard]] const std::optional<std::string>& scheme() const noexcept { return scheme_; }
  // The host as the parser gives it (an IPv6 literal keeps its brackets); absent when the URL
  // has none ("file:///x", a relative reference). Never empty.
  [[nodiscard]] const std::optional<std::string>& host() const noexcept { return host_; }
  // The parsed handle that a transfer uses, only ever read; null for a relative reference.
  [[nodiscard]] CURLU* handle() const noexcept { return handle_.get(); }

 private:
  HTTPURL() = default;

  std::string text_;
  std::optional<std::string> scheme_;
  std::optional<std::string> host_;
  std::shared_ptr<CURLU> handle_;
};

// One outbound request.
struct HTTPRequest {
  HTTPURL url;
  // Sent unchanged; the caller has checked that it is an HTTP token.
  std::string method;
  // Header fields in sending order; no two names equal without regard to letter case. The caller
  // has checked names and values (tokens; no CR, LF or NUL).
  std::vector<std::pair<std::string, std::string>> headers;
  // The body bytes; absent for none (an empty body is sent as one of length zero).
  std::optional<std::string> body;
  // How long connecting, and any stall of the transfer, may last.
  std::chrono::seconds timeout{60};
};

// One HTTP response: the last one of the exchange (a 3xx is returned, not followed).
struct HTTPResponse {
  int status = 0;
  // Header fields of the response in arrival order, names as the server wrote them; a name given
  // several times holds its values joined with ", ". Bytes that are not UTF-8 are read as
  // ISO-8859-1, so every field is text.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;  // bytes, at most HTTPTransport::kMaxBodyBytes

  bool operator==(const HTTPResponse&) const = default;
};

// A failure of the HTTP client itself (connection, name resolution, TLS, timeout, a URL or scheme
// it cannot fetch). what() is libcurl's description of the failure; it never holds header values
// or body bytes.
class HTTPClientError : public std::exception {
 public:
  explicit HTTPClientError(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// The outbound HTTP layer of http_call. Implementations must be safe to call from several
// threads at once and must keep no state from one request to the next.
class HTTPTransport {
 public:
  // The most response body bytes (1 MiB) a transport delivers.
  static constexpr std::size_t kMaxBodyBytes = 1024 * 1024;

  virtual ~HTTPTransport() = default;

  // Performs the request once and returns the complete response. Blocks until it has arrived.
  // Throws ToolError::upstream("non-http response") for a URL of the file scheme (nothing is
  // read), ToolError::upstream("response body exceeds the 1 MiB limit") when the peer sends a
  // longer body (the transfer is cut off), and HTTPClientError for the client's own failures.
  virtual HTTPResponse send(const HTTPRequest& request) = 0;
};

// HTTPTransport over libcurl: a fresh easy handle per request, only http and https, no redirect
// followed, no cookie engine, no cache, no shared connection. Connecting may take up to the
// request's timeout, and a transfer that moves less than one byte per second for that long is cut
// off; there is no limit on the whole exchange otherwise. The request carries the caller's fields
// and what HTTP needs (Host, Content-Length): libcurl's own Accept, Content-Type (for a body) and
// Expect are left out unless the caller sets them. libcurl itself refuses response headers of
// more than 300 KiB in all (an HTTPClientError). Stateless and thread-safe.
class CurlTransport final : public HTTPTransport {
 public:
  // Initialises libcurl once per process.
  CurlTransport();

  HTTPResponse send(const HTTPRequest& request) override;
};

}  // namespace varn::mcp
