#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/Uri.hpp"

namespace varn::api {

// The sync server's base URL, parsed once, and the URLs of requests relative to it.
// An immutable value; thread-safe.
class ServerURL final {
 public:
  // An absolute http or https URL with a host (scheme in either case); nothing for anything else.
  [[nodiscard]] static std::optional<ServerURL> parse(std::string_view baseURL);

  // The base URL with `path` appended so that exactly one "/" separates the base's path from it
  // ("/api" and "/api/" with "orgs" both give "/api/orgs"). `path` is relative and already holds
  // its segments encoded (segment()); a byte that may not stand in a path is still
  // percent-encoded. An empty `query` leaves the base's own query, if any; otherwise the query is
  // exactly the items, in order, names and values percent-encoded. The base's fragment is dropped.
  [[nodiscard]] std::string join(std::string_view path,
                                 const std::vector<support::QueryItem>& query) const;

  // `text` as one path segment: every byte outside the unreserved and sub-delimiter marks, ":"
  // and "@" percent-encoded ("/" as %2F, "%" as %25, "?" as %3F, "#" as %23, a blank as %20), and
  // a segment that is exactly "." or ".." written as %2E or %2E%2E, so that no text can reach
  // another path. Other identifiers come out unchanged.
  [[nodiscard]] static std::string segment(std::string_view text);

 private:
  std::string origin_;  // scheme "://" [userinfo "@"] host [":" port]
  std::string path_;    // without trailing "/"
  std::optional<std::string> query_;
};

}  // namespace varn::api
