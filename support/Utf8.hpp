#pragma once

// UTF-8 checks and the text rules shared by the libraries.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace varn::support {

// True when `bytes` is well-formed UTF-8: no overlong forms, no surrogates, nothing above
// U+10FFFF, no truncated sequences.
[[nodiscard]] bool isValidUtf8(std::string_view bytes) noexcept;

// Decodes the code point that starts at `pos` (< text.size()) and advances `pos` past it. A byte
// that does not start a whole UTF-8 sequence gives U+FFFD and advances by one.
[[nodiscard]] char32_t nextCodePoint(std::string_view text, std::size_t& pos) noexcept;

// Appends the UTF-8 form of a code point.
void appendUtf8(std::string& out, char32_t codePoint);

// The Unicode space separators (general category Zs) and the horizontal tab.
[[nodiscard]] bool isWhitespace(char32_t c) noexcept;
// Line feed, vertical tab, form feed, carriage return, NEL, LINE and PARAGRAPH SEPARATOR.
[[nodiscard]] bool isNewline(char32_t c) noexcept;

// Trims white space only (line breaks stay) from both ends of the text; bytes that are not UTF-8
// are kept.
[[nodiscard]] std::string trimWhitespace(std::string_view text);
// Trims white space and line breaks from both ends of the text; bytes that are not UTF-8 are kept.
[[nodiscard]] std::string trimWhitespaceAndNewlines(std::string_view text);

// Decimal integer: an optional "+" or "-", then one or more ASCII digits and nothing else, within
// the signed 64-bit range.
[[nodiscard]] std::optional<std::int64_t> parseDecimalInt64(std::string_view text) noexcept;

// The printed form of an error's payload: `text` in double quotes, with \ " ' preceded by a
// backslash and line feed, carriage return, tab and NUL written as \n \r \t \0. Errors print
// as their case name followed by this in parentheses: invalidArguments("...").
[[nodiscard]] std::string quotedPayload(std::string_view text);

}  // namespace varn::support
