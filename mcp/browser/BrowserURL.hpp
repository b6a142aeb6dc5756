#pragma once

// The addresses the browser tools let the browser open. A URL is read as the browser's own parser
// reads it (C0 controls and spaces stripped from both ends, every tab, CR and LF removed, letter
// case ignored), so that no spelling of a javascript: address, which would run script in the
// logged-in page, passes for another. Pure; thread-safe.

#include <string_view>

namespace varn::mcp {

class BrowserURL final {
 public:
  BrowserURL() = delete;

  // Whether browser_navigate may open `url`: its scheme is http or https, or the whole URL is
  // about:blank.
  [[nodiscard]] static bool isNavigable(std::string_view url);
  // Whether the scheme of `url` is http or https (web_login's start address).
  [[nodiscard]] static bool isHttp(std::string_view url);
};

}  // namespace varn::mcp
