#pragma once

// Standard Base64 with padding (RFC 4648 section 4, alphabet with "+" and "/"), the text form of
// every byte field in the key and envelope records, and the record-codec coder for such fields.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "crypto/vault/SecretBytes.hpp"
#include "support/JsonRecord.hpp"

namespace varn::crypto {

class Base64 final {
 public:
  Base64() = delete;

  // Padded standard Base64 of `bytes`: 4 * ceil(n / 3) characters. Never fails; thread-safe.
  [[nodiscard]] static std::string encode(std::span<const std::uint8_t> bytes);

  // Strict decoding: a length that is a multiple of 4, the standard alphabet, "=" padding exactly
  // where the length needs it, zero bits in the unused low bits of the last character; no white
  // space, line breaks or URL-safe characters. Anything else gives nullopt. Thread-safe.
  [[nodiscard]] static std::optional<Bytes> decode(std::string_view text);
  // The same, into a buffer that is wiped when dropped (for key material).
  [[nodiscard]] static std::optional<SecretBytes> decodeSecret(std::string_view text);
};

// The record-codec coder of a byte field written as padded Base64 text:
//   VARN_JSON_FIELD(salt).coded<Base64Text>()
// A text that does not decode fails with "key \"salt\" must be padded standard Base64".
// SecretBase64Text reads into a SecretBytes; the JSON string it passes through cannot be wiped, so
// the library's own handling of private keys does not use it (see AccountPrivateKeys).
template <typename T>
struct Base64Coder {
  static support::OrderedJson encode(std::span<const std::uint8_t> bytes) {
    return Base64::encode(bytes);
  }
  static T decode(const support::Json& value, std::string_view key) {
    const std::string& text =
        value.is_string() ? value.get_ref<const std::string&>() : support::asString(value, key);
    std::optional<T> bytes;
    if constexpr (std::is_same_v<T, SecretBytes>) {
      bytes = Base64::decodeSecret(text);
    } else {
      bytes = Base64::decode(text);
    }
    if (!bytes) support::throwWrongType(key, "padded standard Base64");
    return std::move(*bytes);
  }
};
using Base64Text = Base64Coder<Bytes>;
using SecretBase64Text = Base64Coder<SecretBytes>;

}  // namespace varn::crypto
