#include "api/core/ServerURL.hpp"

#include "support/Ascii.hpp"

namespace varn::api {
namespace {

constexpr std::string_view kSubDelimiters = "!$&'()*+,;=";

// Query names and values keep the marks a query allows, except the ones that split or join items
// ("&", "=", "+").
std::string queryPart(std::string_view text) {
  return support::percentEncode(text, "!$'()*,;:@/?");
}

}  // namespace

std::optional<ServerURL> ServerURL::parse(std::string_view baseURL) {
  std::optional<support::UriComponents> parts = support::parseUriReference(baseURL);
  if (!parts || !parts->scheme || !parts->host || parts->host->empty()) return std::nullopt;
  const std::string scheme = support::asciiLower(*parts->scheme);
  if (scheme != "http" && scheme != "https") return std::nullopt;
  ServerURL url;
  url.origin_ = scheme + "://";
  if (parts->userinfo) url.origin_ += *parts->userinfo + "@";
  url.origin_ += *parts->host;
  if (parts->port && !parts->port->empty()) url.origin_ += ":" + *parts->port;
  url.path_ = parts->path;
  while (!url.path_.empty() && url.path_.back() == '/') url.path_.pop_back();
  url.query_ = parts->query;
  return url;
}

std::string ServerURL::join(std::string_view path,
                            const std::vector<support::QueryItem>& query) const {
  while (!path.empty() && path.front() == '/') path.remove_prefix(1);
  std::string out;
  out.reserve(origin_.size() + path_.size() + path.size() + 32);
  out += origin_;
  out += path_;
  out += '/';
  out += support::percentEncode(path, "!$&'()*+,;=:@/%");
  if (!query.empty()) {
    out += '?';
    for (std::size_t i = 0; i < query.size(); ++i) {
      if (i > 0) out += '&';
      out += queryPart(query[i].name);
      if (query[i].value) out += "=" + queryPart(*query[i].value);
    }
  } else if (query_) {
    out += "?" + *query_;
  }
  return out;
}

std::string ServerURL::segment(std::string_view text) {
  if (text == ".") return "%2E";
  if (text == "..") return "%2E%2E";
  std::string allowed(kSubDelimiters);
  allowed += ":@";
  return support::percentEncode(text, allowed);
}

}  // namespace varn::api
