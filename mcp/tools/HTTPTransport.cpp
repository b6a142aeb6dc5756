#include "mcp/tools/HTTPTransport.hpp"

#include <algorithm>
#include <mutex>
#include <unordered_map>

#include "mcp/secrets/ToolError.hpp"
#include "support/Ascii.hpp"
#include "support/CurlHandles.hpp"
#include "support/Uri.hpp"
#include "support/Utf8.hpp"

namespace varn::mcp {
namespace {

using support::asciiLower;
using support::equalsIgnoringAsciiCase;

std::optional<std::string> urlPart(CURLU* handle, CURLUPart part) {
  char* value = nullptr;
  if (curl_url_get(handle, part, &value, 0) != CURLUE_OK || value == nullptr) return std::nullopt;
  std::string out(value);
  curl_free(value);
  return out;
}

// Header bytes as text: UTF-8 when they are, otherwise one character per byte (ISO-8859-1).
std::string headerText(std::string_view bytes) {
  if (support::isValidUtf8(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char byte : bytes) support::appendUtf8(out, byte);
  return out;
}

std::string_view trimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                           text.back() == '\n')) {
    text.remove_suffix(1);
  }
  return text;
}

// What one transfer collects through libcurl's callbacks.
struct Exchange {
  std::string body;
  bool bodyTooLarge = false;
  // Raw lines of the latest response's header block, folded continuation lines joined.
  std::vector<std::pair<std::string, std::string>> rawHeaders;
};

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* context) {
  auto* exchange = static_cast<Exchange*>(context);
  std::size_t bytes = size * count;
  if (exchange->body.size() + bytes > HTTPTransport::kMaxBodyBytes) {
    exchange->bodyTooLarge = true;
    return 0;  // cuts the transfer off
  }
  exchange->body.append(data, bytes);
  return bytes;
}

std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* context) {
  auto* exchange = static_cast<Exchange*>(context);
  std::size_t bytes = size * count;
  std::string_view line(data, bytes);
  if (line.rfind("HTTP/", 0) == 0) {
    // A new response (after a 100 Continue or an interim 1xx): only the last block counts.
    exchange->rawHeaders.clear();
    return bytes;
  }
  if (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
    // An obsolete folded continuation of the previous field.
    if (!exchange->rawHeaders.empty()) {
      std::string_view more = trimBlanks(line);
      if (!more.empty()) {
        exchange->rawHeaders.back().second += ' ';
        exchange->rawHeaders.back().second.append(more);
      }
    }
    return bytes;
  }
  std::size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0) return bytes;  // the blank end line, junk
  exchange->rawHeaders.emplace_back(std::string(line.substr(0, colon)),
                                    std::string(trimBlanks(line.substr(colon + 1))));
  return bytes;
}

// Duplicate names joined with ", " at the place of their first occurrence.
std::vector<std::pair<std::string, std::string>> joinedHeaders(
    const std::vector<std::pair<std::string, std::string>>& raw) {
  std::vector<std::pair<std::string, std::string>> out;
  // Each name in lower case, to its place in `out`.
  std::unordered_map<std::string, std::size_t> places;
  for (const auto& [name, value] : raw) {
    const auto [place, added] = places.try_emplace(asciiLower(name), out.size());
    if (added) {
      out.emplace_back(headerText(name), headerText(value));
    } else {
      out[place->second].second += ", " + headerText(value);
    }
  }
  return out;
}

}  // namespace

std::optional<HTTPURL> HTTPURL::parse(std::string_view text) {
  HTTPURL url;
  url.text_ = std::string(text);
  if (text.find('\0') != std::string_view::npos) return std::nullopt;

  std::shared_ptr<CURLU> handle(curl_url(), curl_url_cleanup);
  if (handle && curl_url_set(handle.get(), CURLUPART_URL, url.text_.c_str(),
                             CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK) {
    url.scheme_ = urlPart(handle.get(), CURLUPART_SCHEME);
    if (url.scheme_) url.scheme_ = asciiLower(*url.scheme_);
    url.host_ = urlPart(handle.get(), CURLUPART_HOST);
    if (url.host_ && url.host_->empty()) url.host_.reset();
    url.handle_ = std::move(handle);
    return url;
  }
  if (text.empty()) return std::nullopt;
  std::optional<support::UriComponents> reference = support::parseUriReference(text);
  if (!reference || reference->scheme) return std::nullopt;
  return url;
}

CurlTransport::CurlTransport() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

HTTPResponse CurlTransport::send(const HTTPRequest& request) {
  const auto& scheme = request.url.scheme();
  if (scheme && *scheme == "file") throw ToolError::upstream("non-http response");
  if (request.url.handle() == nullptr) throw HTTPClientError("unsupported URL");

  support::CurlEasy easy(curl_easy_init());
  if (!easy) throw HTTPClientError("failed to initialise the HTTP client");
  CURL* h = easy.get();

  Exchange exchange;
  char errorText[CURL_ERROR_SIZE] = {};
  const long timeout = static_cast<long>(request.timeout.count());

  curl_easy_setopt(h, CURLOPT_CURLU, request.url.handle());
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, timeout);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, timeout);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, onBody);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &exchange);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, onHeader);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &exchange);

  if (request.method == "HEAD") {
    curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
  } else {
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }
  if (request.body) {
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body->size()));
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.body->data());
  }

  support::CurlHeaderList headers;
  for (const auto& [name, value] : request.headers) {
    // "Name:" alone would tell curl to drop the field; "Name;" sends it with an empty value.
    headers.append(value.empty() ? name + ";" : name + ": " + value);
  }
  // The request carries the caller's fields and what HTTP itself needs (Host, Content-Length):
  // "Name:" removes the field that libcurl would otherwise add of its own.
  for (const char* added : {"Accept", "Content-Type", "Expect"}) {
    bool callerSetsIt =
        std::any_of(request.headers.begin(), request.headers.end(),
                    [&](const auto& field) { return equalsIgnoringAsciiCase(field.first, added); });
    if (!callerSetsIt) headers.append(std::string(added) + ":");
  }
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());

  CURLcode code = curl_easy_perform(h);
  if (exchange.bodyTooLarge) throw ToolError::upstream("response body exceeds the 1 MiB limit");
  if (code != CURLE_OK) {
    throw HTTPClientError(errorText[0] != '\0' ? std::string(errorText)
                                               : std::string(curl_easy_strerror(code)));
  }

  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  HTTPResponse response;
  response.status = static_cast<int>(status);
  response.headers = joinedHeaders(exchange.rawHeaders);
  response.body = std::move(exchange.body);
  return response;
}

}  // namespace varn::mcp
