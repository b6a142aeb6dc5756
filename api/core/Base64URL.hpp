#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "api/core/WireTypes.hpp"

namespace varn::api {

// The text form of every byte value on the wire: unpadded URL-safe Base64.
class Base64URL {
 public:
  Base64URL() = delete;

  // Standard Base64 with "+" written as "-", "/" as "_", and no "=" padding. Empty bytes give the
  // empty text. FB FF gives "-_8".
  [[nodiscard]] static std::string encode(const Bytes& data);

  // "-" read as "+", "_" as "/", "=" appended up to a multiple of four characters, then strict
  // standard Base64 (no other character, no white space). "-_8" and "-_8=" give FB FF; a text of
  // length 1 modulo 4, or one that is not Base64, gives nothing.
  [[nodiscard]] static std::optional<Bytes> decode(std::string_view text);
};

}  // namespace varn::api
