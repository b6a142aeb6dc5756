#pragma once

// A UUID as a value: its 16 bytes in standard (RFC 4122) order, read from and written as the
// 36-character hyphenated text. Records carry it through the codec of support/JsonRecord.hpp.

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "support/JsonRecord.hpp"

namespace varn::support {

class Uuid final {
 public:
  // The nil UUID (all zero bytes).
  constexpr Uuid() = default;
  constexpr explicit Uuid(const std::array<std::uint8_t, 16>& bytes) : bytes_(bytes) {}

  // A fresh random (version 4) UUID. Thread-safe.
  [[nodiscard]] static Uuid random();

  // Exactly 36 characters: hex digits of either case in groups of 8-4-4-4-12 joined by "-".
  // Anything else (braces, missing or extra hyphens, white space) gives nullopt. Pure.
  [[nodiscard]] static std::optional<Uuid> parse(std::string_view text) noexcept;

  // The canonical text with upper-case hex digits, 36 characters.
  [[nodiscard]] std::string toString() const;

  // The 16 bytes in the order the text reads them.
  [[nodiscard]] constexpr const std::array<std::uint8_t, 16>& bytes() const noexcept {
    return bytes_;
  }

  friend constexpr auto operator<=>(const Uuid&, const Uuid&) = default;

 private:
  std::array<std::uint8_t, 16> bytes_{};
};

// A random (version 4) UUID in its canonical upper-case form, 36 characters with hyphens.
// Thread-safe.
[[nodiscard]] std::string randomUUID();

// Written as upper-case text; read in either case.
template <>
struct JsonCoder<Uuid> {
  static OrderedJson encode(const Uuid& value) { return value.toString(); }
  static Uuid decode(const Json& value, std::string_view key) {
    std::optional<Uuid> uuid = Uuid::parse(asString(value, key));
    if (!uuid) throwWrongType(key, "a UUID text");
    return *uuid;
  }
};

}  // namespace varn::support
