#include "support/Uri.hpp"

#include <cstddef>
#include <utility>

#include "support/Ascii.hpp"

namespace varn::support {
namespace {

bool isUnreserved(char c) noexcept {
  return isAsciiAlpha(c) || isAsciiDigit(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

bool isSubDelim(char c) noexcept {
  switch (c) {
    case '!':
    case '$':
    case '&':
    case '\'':
    case '(':
    case ')':
    case '*':
    case '+':
    case ',':
    case ';':
    case '=':
      return true;
    default:
      return false;
  }
}

// True when every byte of `text` is either allowed by `allowed` or starts a well-formed "%XX".
template <typename Allowed>
bool isEncodedRun(std::string_view text, Allowed allowed) noexcept {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      if (text.size() - i < 3) return false;
      if (!isHexDigit(text[i + 1]) || !isHexDigit(text[i + 2])) return false;
      i += 2;
    } else if (!allowed(c)) {
      return false;
    }
  }
  return true;
}

bool isPchar(char c) noexcept {
  return isUnreserved(c) || isSubDelim(c) || c == ':' || c == '@';
}

bool isPathChar(char c) noexcept {
  return isPchar(c) || c == '/';
}

bool isQueryChar(char c) noexcept {
  return isPchar(c) || c == '/' || c == '?';
}

bool isUserinfoChar(char c) noexcept {
  return isUnreserved(c) || isSubDelim(c) || c == ':';
}

bool isRegNameChar(char c) noexcept {
  return isUnreserved(c) || isSubDelim(c);
}

bool isValidScheme(std::string_view text) noexcept {
  if (text.empty() || !isAsciiAlpha(text.front())) return false;
  for (const char c : text) {
    if (!isAsciiAlpha(c) && !isAsciiDigit(c) && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

// dec-octet: "0"-"255" without leading zeros.
bool isDecOctet(std::string_view text) noexcept {
  if (text.empty() || text.size() > 3) return false;
  for (const char c : text) {
    if (!isAsciiDigit(c)) return false;
  }
  if (text.size() > 1 && text.front() == '0') return false;
  int value = 0;
  for (const char c : text) value = value * 10 + (c - '0');
  return value <= 255;
}

bool isIPv4Address(std::string_view text) noexcept {
  int octets = 0;
  std::size_t start = 0;
  while (true) {
    const std::size_t dot = text.find('.', start);
    const std::string_view piece =
        text.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    if (!isDecOctet(piece)) return false;
    ++octets;
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return octets == 4;
}

bool isH16(std::string_view text) noexcept {
  if (text.empty() || text.size() > 4) return false;
  for (const char c : text) {
    if (!isHexDigit(c)) return false;
  }
  return true;
}

// Counts the 16-bit pieces of a ":"-separated run of h16, where the last piece may be an IPv4
// address (two pieces) when `ipv4Last` allows it. Returns -1 when the run is malformed. An empty
// run has no pieces.
int countPieces(std::string_view run, bool ipv4Last) noexcept {
  if (run.empty()) return 0;
  int pieces = 0;
  std::size_t start = 0;
  while (true) {
    const std::size_t colon = run.find(':', start);
    const std::string_view piece =
        run.substr(start, colon == std::string_view::npos ? std::string_view::npos : colon - start);
    if (colon == std::string_view::npos) {
      if (ipv4Last && piece.find('.') != std::string_view::npos) {
        return isIPv4Address(piece) ? pieces + 2 : -1;
      }
      return isH16(piece) ? pieces + 1 : -1;
    }
    if (!isH16(piece)) return -1;
    ++pieces;
    start = colon + 1;
  }
}

bool isIPv6Address(std::string_view text) noexcept {
  const std::size_t gap = text.find("::");
  if (gap == std::string_view::npos) return countPieces(text, true) == 8;
  const std::string_view left = text.substr(0, gap);
  const std::string_view right = text.substr(gap + 2);
  if (right.find("::") != std::string_view::npos) return false;
  const int leftPieces = countPieces(left, false);
  const int rightPieces = countPieces(right, true);
  if (leftPieces < 0 || rightPieces < 0) return false;
  // "::" stands for at least one piece of zeros.
  return leftPieces + rightPieces <= 7;
}

// IPvFuture: "v" 1*HEXDIG "." 1*( unreserved / sub-delims / ":" )
bool isIPvFuture(std::string_view text) noexcept {
  if (text.size() < 4 || (text.front() != 'v' && text.front() != 'V')) return false;
  const std::size_t dot = text.find('.');
  if (dot == std::string_view::npos || dot < 2) return false;
  for (std::size_t i = 1; i < dot; ++i) {
    if (!isHexDigit(text[i])) return false;
  }
  const std::string_view rest = text.substr(dot + 1);
  if (rest.empty()) return false;
  for (const char c : rest) {
    if (!isUnreserved(c) && !isSubDelim(c) && c != ':') return false;
  }
  return true;
}

bool isAllDigits(std::string_view text) noexcept {
  for (const char c : text) {
    if (!isAsciiDigit(c)) return false;
  }
  return true;
}

// authority = [ userinfo "@" ] host [ ":" port ]
bool parseAuthority(std::string_view authority, UriComponents& out) {
  std::string_view hostPort = authority;
  const std::size_t at = authority.find('@');
  if (at != std::string_view::npos) {
    const std::string_view userinfo = authority.substr(0, at);
    if (!isEncodedRun(userinfo, isUserinfoChar)) return false;
    out.userinfo = std::string(userinfo);
    hostPort = authority.substr(at + 1);
  }
  std::string_view host;
  std::string_view rest;
  if (!hostPort.empty() && hostPort.front() == '[') {
    const std::size_t close = hostPort.find(']');
    if (close == std::string_view::npos) return false;
    const std::string_view literal = hostPort.substr(1, close - 1);
    if (!isIPv6Address(literal) && !isIPvFuture(literal)) return false;
    host = hostPort.substr(0, close + 1);
    rest = hostPort.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') return false;
  } else {
    const std::size_t colon = hostPort.find(':');
    host = hostPort.substr(0, colon);
    rest = colon == std::string_view::npos ? std::string_view() : hostPort.substr(colon);
    // An IPv4 address is also a reg-name, so one check covers both forms.
    if (!isEncodedRun(host, isRegNameChar)) return false;
  }
  if (!rest.empty()) {
    const std::string_view port = rest.substr(1);
    if (!isAllDigits(port)) return false;
    out.port = std::string(port);
  }
  out.host = std::string(host);
  return true;
}

}  // namespace

std::optional<UriComponents> parseUriReference(std::string_view text) {
  UriComponents out;
  std::string_view rest = text;

  // A scheme exists exactly when a ":" comes before any "/", "?" or "#". Without a valid scheme
  // that text would be a relative path whose first segment holds ":", which the grammar forbids.
  const std::size_t delimiter = rest.find_first_of(":/?#");
  if (delimiter != std::string_view::npos && rest[delimiter] == ':') {
    const std::string_view scheme = rest.substr(0, delimiter);
    if (!isValidScheme(scheme)) return std::nullopt;
    out.scheme = std::string(scheme);
    rest.remove_prefix(delimiter + 1);
  }

  const std::size_t hash = rest.find('#');
  if (hash != std::string_view::npos) {
    const std::string_view fragment = rest.substr(hash + 1);
    if (!isEncodedRun(fragment, isQueryChar)) return std::nullopt;
    out.fragment = std::string(fragment);
    rest = rest.substr(0, hash);
  }

  const std::size_t question = rest.find('?');
  if (question != std::string_view::npos) {
    const std::string_view query = rest.substr(question + 1);
    if (!isEncodedRun(query, isQueryChar)) return std::nullopt;
    out.query = std::string(query);
    rest = rest.substr(0, question);
  }

  if (rest.starts_with("//")) {
    rest.remove_prefix(2);
    const std::size_t slash = rest.find('/');
    if (!parseAuthority(rest.substr(0, slash), out)) return std::nullopt;
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
  }

  // What is left is path-abempty after an authority, and otherwise path-absolute (it cannot begin
  // with "//" here), path-rootless, path-noscheme or path-empty: all are runs of pchar and "/".
  if (!isEncodedRun(rest, isPathChar)) return std::nullopt;
  out.path = std::string(rest);
  return out;
}

std::optional<std::string> percentDecode(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '%') {
      out.push_back(raw[i]);
      continue;
    }
    if (raw.size() - i < 3 || !isHexDigit(raw[i + 1]) || !isHexDigit(raw[i + 2])) {
      return std::nullopt;
    }
    out.push_back(static_cast<char>(hexDigitValue(raw[i + 1]) * 16 + hexDigitValue(raw[i + 2])));
    i += 2;
  }
  return out;
}

std::vector<QueryItem> queryItems(std::string_view rawQuery) {
  std::vector<QueryItem> items;
  if (rawQuery.empty()) return items;
  std::size_t start = 0;
  while (true) {
    const std::size_t amp = rawQuery.find('&', start);
    const std::string_view piece = rawQuery.substr(
        start, amp == std::string_view::npos ? std::string_view::npos : amp - start);
    const std::size_t equals = piece.find('=');
    std::optional<std::string> name = percentDecode(piece.substr(0, equals));
    if (!name) return {};
    QueryItem item{std::move(*name), std::nullopt};
    if (equals != std::string_view::npos) {
      item.value = percentDecode(piece.substr(equals + 1));
      if (!item.value) return {};
    }
    items.push_back(std::move(item));
    if (amp == std::string_view::npos) break;
    start = amp + 1;
  }
  return items;
}

std::string percentEncode(std::string_view text, std::string_view alsoAllowed) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (isUnreserved(c) || alsoAllowed.find(c) != std::string_view::npos) {
      out.push_back(c);
    } else {
      out.push_back('%');
      appendHexUpper(out, static_cast<std::uint8_t>(c));
    }
  }
  return out;
}

}  // namespace varn::support
