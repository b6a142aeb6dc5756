#pragma once

// The text rules of one-time codes and host names: full Unicode case mapping with the root locale,
// canonical composition, and user-perceived characters. Every function takes valid UTF-8 (see
// support::isValidUtf8) and is pure and thread-safe.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace varn::crypto {

// True when every byte is below 0x80. ASCII text needs none of the Unicode machinery below: its
// case mapping stays within ASCII and it is already composed.
[[nodiscard]] bool isAscii(std::string_view text) noexcept;

// Full Unicode upper-casing with the root locale ("ß" becomes "SS", "ı" becomes "I").
[[nodiscard]] std::string uppercased(std::string_view text);

// Full Unicode lower-casing with the root locale.
[[nodiscard]] std::string lowercased(std::string_view text);

// Canonical composition (NFC); the Kelvin sign becomes "K".
[[nodiscard]] std::string composedNFC(std::string_view text);

// Byte offsets at which the user-perceived characters (extended grapheme clusters) of `text`
// start, followed by text.size(): a text of n characters gives n + 1 offsets, the empty text {0}.
[[nodiscard]] std::vector<std::size_t> characterBoundaries(std::string_view text);

// Splits `text` at every character equal to `separator` (an ASCII byte: a character that is this
// byte alone, so "/" followed by a combining mark is not a separator), dropping empty pieces, and
// stops after `maxSplits` splits (the rest, separators included, is the last piece). The pieces
// are views into `text`.
[[nodiscard]] std::vector<std::string_view> splitCharacters(std::string_view text, char separator,
                                                            std::size_t maxSplits);

// The byte offset of the first character of `text` that is `separator` alone (see
// splitCharacters), or npos.
[[nodiscard]] std::size_t findCharacter(std::string_view text, char separator);

}  // namespace varn::crypto
