#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "support/Json.hpp"

namespace varn::mcp {

// A read-only look into JSON whose shape the other side decides (a DevTools reply or event, a page
// script's answer): a missing key, or a value of another type than the one asked for, reads as
// absent, and an absent value reads as the fallback of whatever is asked of it. Never throws.
// Refers to the JSON it was made from, which must outlive the view and every view taken from it.
class LenientJson final {
 public:
  explicit LenientJson(const support::Json& json) noexcept : json_(&json) {}

  // The member `key` of the object here; absent when there is no object or no such member.
  [[nodiscard]] LenientJson operator[](std::string_view key) const noexcept;
  // Whether the object here has a member `key` (of any type, null included).
  [[nodiscard]] bool has(std::string_view key) const noexcept;

  // The string here, else `fallback`.
  [[nodiscard]] std::string text(std::string_view fallback = "") const;
  // The string here, else nullopt.
  [[nodiscard]] std::optional<std::string> optionalText() const;
  // The integer here (a JSON integer, never a number with a fraction or exponent), else nullopt.
  [[nodiscard]] std::optional<std::int64_t> integer() const noexcept;
  // The object here, else an empty object.
  [[nodiscard]] const support::Json& object() const noexcept;
  // The array here, else an empty array.
  [[nodiscard]] const support::Json& array() const noexcept;
  // Whether there is an object, or an array, here.
  [[nodiscard]] bool isObject() const noexcept;
  [[nodiscard]] bool isArray() const noexcept;

 private:
  LenientJson() noexcept = default;

  const support::Json* json_ = nullptr;  // nullptr: absent
};

}  // namespace varn::mcp
