#include "support/Utf8.hpp"

#include <limits>

namespace varn::support {

bool isValidUtf8(std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* end = p + bytes.size();
  while (p < end) {
    unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    int length;
    char32_t min;
    char32_t cp;
    if ((c & 0xE0) == 0xC0) {
      length = 2;
      min = 0x80;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      length = 3;
      min = 0x800;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      length = 4;
      min = 0x10000;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (end - p < length) return false;
    for (int i = 1; i < length; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    p += length;
  }
  return true;
}

char32_t nextCodePoint(std::string_view text, std::size_t& pos) noexcept {
  auto c = static_cast<unsigned char>(text[pos]);
  if (c < 0x80) {
    ++pos;
    return c;
  }
  std::size_t length = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
  // Bytes that do not start a whole sequence count as one replacement character each, so that
  // text that is not UTF-8 is still walked safely.
  bool whole = length != 0 && pos + length <= text.size();
  for (std::size_t i = 1; whole && i < length; ++i) {
    whole = (static_cast<unsigned char>(text[pos + i]) & 0xC0) == 0x80;
  }
  if (!whole) {
    ++pos;
    return 0xFFFD;
  }
  char32_t cp = c & (length == 2 ? 0x1F : length == 3 ? 0x0F : 0x07);
  for (std::size_t i = 1; i < length; ++i) {
    cp = (cp << 6) | (static_cast<unsigned char>(text[pos + i]) & 0x3F);
  }
  pos += length;
  return cp;
}

void appendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool isWhitespace(char32_t c) noexcept {
  return c == 0x09 || c == 0x20 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) ||
         c == 0x202F || c == 0x205F || c == 0x3000;
}

bool isNewline(char32_t c) noexcept {
  return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

namespace {

template <typename Predicate>
std::string trimmed(std::string_view text, Predicate strip) {
  std::size_t start = 0;
  std::size_t pos = 0;
  // Find the first code point to keep.
  while (pos < text.size()) {
    std::size_t here = pos;
    if (!strip(nextCodePoint(text, pos))) {
      start = here;
      break;
    }
    start = pos;
  }
  // Find the end of the last code point to keep.
  std::size_t end = start;
  pos = start;
  while (pos < text.size()) {
    if (!strip(nextCodePoint(text, pos))) end = pos;
  }
  return std::string(text.substr(start, end - start));
}

}  // namespace

std::string trimWhitespace(std::string_view text) {
  return trimmed(text, isWhitespace);
}

std::string trimWhitespaceAndNewlines(std::string_view text) {
  return trimmed(text, [](char32_t c) { return isWhitespace(c) || isNewline(c); });
}

std::optional<std::int64_t> parseDecimalInt64(std::string_view text) noexcept {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  // Accumulate negatively so that the minimum of the range parses too.
  std::int64_t value = 0;
  for (char c : text) {
    int digit = c - '0';
    if (value < (std::numeric_limits<std::int64_t>::min() + digit) / 10) return std::nullopt;
    value = value * 10 - digit;
  }
  if (!negative) {
    if (value == std::numeric_limits<std::int64_t>::min()) return std::nullopt;
    value = -value;
  }
  return value;
}

std::string quotedPayload(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (char c : text) {
    switch (c) {
      case '\\':
      case '"':
      case '\'':
        out += '\\';
        out += c;
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        out += c;
    }
  }
  out += '"';
  return out;
}

}  // namespace varn::support
