#include "mcp/browser/BrowserURL.hpp"

#include <string>

#include "support/Ascii.hpp"

namespace varn::mcp {
namespace {

bool isSchemeChar(char c) {
  return support::isAsciiAlnum(c) || c == '+' || c == '-' || c == '.';
}

// The URL as a browser's parser first cleans it: C0 controls and spaces stripped from both ends,
// then every tab, line feed and carriage return removed.
std::string cleanedURL(std::string_view url) {
  auto stripped = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
  while (!url.empty() && stripped(url.front())) url.remove_prefix(1);
  while (!url.empty() && stripped(url.back())) url.remove_suffix(1);
  std::string cleaned;
  cleaned.reserve(url.size());
  for (char c : url) {
    if (c != '\t' && c != '\n' && c != '\r') cleaned.push_back(support::asciiLower(c));
  }
  return cleaned;
}

}  // namespace

bool BrowserURL::isNavigable(std::string_view url) {
  return cleanedURL(url) == "about:blank" || isHttp(url);
}

bool BrowserURL::isHttp(std::string_view url) {
  const std::string cleaned = cleanedURL(url);
  if (cleaned.empty() || !support::isAsciiAlpha(cleaned.front())) return false;
  std::size_t end = 1;
  while (end < cleaned.size() && isSchemeChar(cleaned[end])) ++end;
  if (end == cleaned.size() || cleaned[end] != ':') return false;
  const std::string_view scheme(cleaned.data(), end);
  return scheme == "http" || scheme == "https";
}

}  // namespace varn::mcp
