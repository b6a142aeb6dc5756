#pragma once

// The ASCII rules of the wire formats (schemes, header names, hosts, hex digits): letter case and
// hexadecimal digits of ASCII only, whatever the locale. Bytes outside ASCII are left as they are.
// Pure, constexpr where it can be, thread-safe.

#include <cstdint>
#include <string>
#include <string_view>

namespace varn::support {

// The sixteen digits, in upper and in lower case.
inline constexpr std::string_view kHexDigitsUpper = "0123456789ABCDEF";
inline constexpr std::string_view kHexDigitsLower = "0123456789abcdef";

[[nodiscard]] constexpr bool isAsciiAlpha(char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

[[nodiscard]] constexpr bool isAsciiDigit(char c) noexcept {
  return c >= '0' && c <= '9';
}

[[nodiscard]] constexpr bool isAsciiAlnum(char c) noexcept {
  return isAsciiAlpha(c) || isAsciiDigit(c);
}

// The value of a hexadecimal digit of either case, else -1.
[[nodiscard]] constexpr int hexDigitValue(char c) noexcept {
  if (isAsciiDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

[[nodiscard]] constexpr bool isHexDigit(char c) noexcept {
  return hexDigitValue(c) >= 0;
}

// Appends the byte as two upper-case hexadecimal digits.
inline void appendHexUpper(std::string& out, std::uint8_t byte) {
  out.push_back(kHexDigitsUpper[byte >> 4]);
  out.push_back(kHexDigitsUpper[byte & 0x0F]);
}

[[nodiscard]] constexpr char asciiLower(char c) noexcept {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The text with A to Z lower-cased and every other byte unchanged.
[[nodiscard]] inline std::string asciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = asciiLower(c);
  return out;
}

// Equal once A to Z are lower-cased on both sides.
[[nodiscard]] constexpr bool equalsIgnoringAsciiCase(std::string_view a,
                                                     std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (asciiLower(a[i]) != asciiLower(b[i])) return false;
  }
  return true;
}

}  // namespace varn::support
