#pragma once

// Base32 text (RFC 4648, upper case, no "=" padding) and the grouping of a text into fixed-size
// runs of characters, used to print recovery codes and escrow phrases as "ABCD-EFGH-...".

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace varn::crypto {

// Encoding only: one-time codes carry their own, more lenient decoder (TOTP).
class Base32 final {
 public:
  Base32() = delete;

  // The upper-case Base32 text of `bytes` without "=" padding: ceil(8n/5) characters for n bytes,
  // the last one zero-filled at the bottom. Never fails; pure and thread-safe.
  [[nodiscard]] static std::string encode(std::span<const std::uint8_t> bytes);
};

// Groups of `size` user-perceived characters of valid UTF-8 `text`, joined by `separator`; the
// last group may be shorter. A size of 0 or less, or an empty text, gives the text unchanged.
// Never fails; pure and thread-safe.
[[nodiscard]] std::string grouped(std::string_view text, std::int64_t size,
                                  std::string_view separator);

}  // namespace varn::crypto
