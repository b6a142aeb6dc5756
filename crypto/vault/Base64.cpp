#include "crypto/vault/Base64.hpp"

#include <sodium.h>

namespace varn::crypto {
namespace {

constexpr int kVariant = sodium_base64_VARIANT_ORIGINAL;

// Decodes into `out` (sized for the unpadded maximum) and shrinks it to the decoded length.
// libsodium without an ignore set and without an end pointer refuses any byte outside the
// alphabet, wrong padding and non-zero unused bits.
template <typename Buffer>
bool decodeInto(std::string_view text, Buffer& out, std::size_t& length) {
  if (text.size() % 4 != 0) return false;
  if (text.empty()) {
    length = 0;
    return true;
  }
  return sodium_base642bin(out.data(), out.size(), text.data(), text.size(), nullptr, &length,
                           nullptr, kVariant) == 0;
}

}  // namespace

std::string Base64::encode(std::span<const std::uint8_t> bytes) {
  const std::size_t length = sodium_base64_ENCODED_LEN(bytes.size(), kVariant);
  std::string out(length, '\0');
  // An empty span may have a null data pointer; libsodium reads nothing then.
  static const std::uint8_t kNothing = 0;
  sodium_bin2base64(out.data(), length, bytes.empty() ? &kNothing : bytes.data(), bytes.size(),
                    kVariant);
  out.resize(length - 1);  // the terminating NUL
  return out;
}

std::optional<Bytes> Base64::decode(std::string_view text) {
  Bytes out(text.size() / 4 * 3);
  std::size_t length = 0;
  if (!decodeInto(text, out, length)) return std::nullopt;
  out.resize(length);
  return out;
}

std::optional<SecretBytes> Base64::decodeSecret(std::string_view text) {
  SecretBytes out(text.size() / 4 * 3);
  std::size_t length = 0;
  if (!decodeInto(text, out, length)) return std::nullopt;
  out.truncate(length);
  return out;
}

}  // namespace varn::crypto
