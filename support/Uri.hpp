#pragma once

// A strict RFC 3986 URI-reference parser and the percent-encoding helpers around it. Lenient
// parsers disagree on hosts such as "http://1.2.3.4.evil.com/" or "a.com\@b.com"; this one accepts
// exactly the RFC 3986 grammar and nothing else, so every caller sees the same host.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varn::support {

// The components of a URI reference, still percent-encoded, exactly as they stand in the text.
struct UriComponents {
  std::optional<std::string> scheme;    // without ":"; absent for a relative reference
  std::optional<std::string> userinfo;  // without "@"; absent when there is no "@"
  // Present whenever there is an authority ("//"), possibly empty; an IP literal keeps its
  // brackets ("[::1]").
  std::optional<std::string> host;
  std::optional<std::string> port;      // digits only, may be empty ("host:"); absent without ":"
  std::string path;                     // possibly empty
  std::optional<std::string> query;     // without "?"
  std::optional<std::string> fragment;  // without "#"

  bool operator==(const UriComponents&) const = default;
};

// Parses `text` as an RFC 3986 URI-reference (an absolute URI or a relative reference). Returns
// nullopt when the text does not match the grammar: a byte the grammar does not allow raw
// (blanks, backslashes, control and non-ASCII bytes), a "%" not followed by two hex digits, a port
// with anything but digits, a malformed IP literal. A host that merely begins like an IPv4 address
// ("1.2.3.4.evil.com", "10.0.0.1evil.com") is a registered name and is kept whole. Pure;
// thread-safe.
[[nodiscard]] std::optional<UriComponents> parseUriReference(std::string_view text);

// Decodes every "%XX" escape (hex digits of either case) to its byte; other bytes are copied.
// Returns nullopt when a "%" is not followed by two hex digits. The result may be any bytes
// (callers that need text check UTF-8 themselves).
[[nodiscard]] std::optional<std::string> percentDecode(std::string_view raw);

// One name=value pair of a query.
struct QueryItem {
  std::string name;
  std::optional<std::string> value;  // absent when the item has no "="

  bool operator==(const QueryItem&) const = default;
};

// Splits a raw query (without "?") at "&" into items, each split at its first "=", and
// percent-decodes names and values ("+" stays "+"). An empty query gives no items; an empty piece
// between two "&" gives an item with an empty name and no value. Decoded bytes are not checked for
// UTF-8 (callers that need text check themselves). All or nothing: when any name or value has a
// malformed escape the whole query gives no items (an empty list), as an absent query would.
[[nodiscard]] std::vector<QueryItem> queryItems(std::string_view rawQuery);

// Percent-encodes `text` byte by byte as "%XX" with upper-case hex digits, leaving unencoded only
// ASCII letters, digits, the unreserved marks "-", ".", "_", "~", and the bytes listed in
// `alsoAllowed` (which callers fill with the sub-delimiters and marks their component permits).
// Never fails; bytes of any value are encoded.
[[nodiscard]] std::string percentEncode(std::string_view text, std::string_view alsoAllowed);

}  // namespace varn::support
