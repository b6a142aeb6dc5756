#pragma once

// The value types in which the vault cryptography stores and exchanges keys: key-derivation
// parameters, a vault key wrapped for one unlock method, an encrypted item body, an account's
// public and private keys, a new vault, the secret offered to unlock, and the library's version.
//
// JSON records (KdfParams, WrappedKey, EncryptedBlob, AccountPublicKeys, AccountPrivateKeys) are
// coded by the record codec of support/JsonRecord.hpp (support::encodeRecord / decodeRecord):
// camel-case keys equal to the field names; byte fields as padded standard Base64; integers whole
// and within the signed 64-bit range; an absent optional left out and read from a missing key or
// null; every other field required; unknown keys ignored. Decoding failures throw
// support::JsonDecodeError naming the key, never quoting a value. All types are plain values:
// copies are independent, equality compares field by field (bytes by content).

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/vault/Base64.hpp"
#include "crypto/vault/SecretBytes.hpp"
#include "support/JsonRecord.hpp"

namespace varn::crypto {

// The text of a closed value set of this library (UnlockMethod, KdfParams::Kind, ItemField::Kind).
template <support::JsonEnum E>
[[nodiscard]] constexpr std::string_view toString(E value) noexcept {
  return jsonEnumTexts(value).toString(value);
}

// The case whose text is exactly `text` (case-sensitive, nothing trimmed); nullopt otherwise.
template <support::JsonEnum E>
[[nodiscard]] constexpr std::optional<E> fromString(std::string_view text) noexcept {
  return jsonEnumTexts(E{}).fromString(text);
}

// How a key-encryption key is derived.
struct KdfParams {
  enum class Kind { argon2id, hkdfSha256 };

  Kind kind = Kind::argon2id;
  Bytes salt{};                     // 16 bytes for Argon2id
  std::int64_t memoryKiB = 0;       // Argon2id memory in KiB; 0 for HKDF
  std::int64_t iterations = 0;      // Argon2id passes; 0 for HKDF
  std::int64_t parallelism = 0;     // recorded lane count; not used by the derivation
  std::optional<std::string> info;  // HKDF info label; absent means the method's default

  // Kind argon2id, no info.
  [[nodiscard]] static KdfParams argon2id(Bytes salt, std::int64_t memoryKiB,
                                          std::int64_t iterations, std::int64_t parallelism);
  // Kind hkdfSha256, memory, iterations and parallelism 0, the given info.
  [[nodiscard]] static KdfParams hkdfSha256(Bytes salt, std::string info);

  bool operator==(const KdfParams&) const = default;
};

// "argon2id", "hkdfSha256".
constexpr auto jsonEnumTexts(KdfParams::Kind) {
  return support::EnumTexts<KdfParams::Kind, 2>{
      {{{KdfParams::Kind::argon2id, "argon2id"}, {KdfParams::Kind::hkdfSha256, "hkdfSha256"}}}};
}

VARN_JSON_RECORD(KdfParams, "KdfParams", VARN_JSON_FIELD(kind),
                 VARN_JSON_FIELD(salt).coded<Base64Text>(), VARN_JSON_FIELD(memoryKiB),
                 VARN_JSON_FIELD(iterations), VARN_JSON_FIELD(parallelism), VARN_JSON_FIELD(info));

// The ways to unlock a vault, in declaration order.
enum class UnlockMethod { passphrase, prf, secureEnclave, recoveryCode, escrow };

// The case names themselves: "passphrase", "prf", "secureEnclave", "recoveryCode", "escrow".
constexpr auto jsonEnumTexts(UnlockMethod) {
  return support::EnumTexts<UnlockMethod, 5>{{{
      {UnlockMethod::passphrase, "passphrase"},
      {UnlockMethod::prf, "prf"},
      {UnlockMethod::secureEnclave, "secureEnclave"},
      {UnlockMethod::recoveryCode, "recoveryCode"},
      {UnlockMethod::escrow, "escrow"},
  }}};
}

// Every unlock method, in declaration order.
inline constexpr std::array<UnlockMethod, 5> kAllUnlockMethods = {
    UnlockMethod::passphrase, UnlockMethod::prf, UnlockMethod::secureEnclave,
    UnlockMethod::recoveryCode, UnlockMethod::escrow};

// The vault key wrapped for one unlock method.
struct WrappedKey {
  UnlockMethod method = UnlockMethod::passphrase;
  std::optional<KdfParams> kdfParams;  // absent for secureEnclave
  // The vault key in the wrap envelope (72 bytes for a 32-byte key); for secureEnclave, whatever
  // the hardware key store returned.
  Bytes wrapped{};

  bool operator==(const WrappedKey&) const = default;
};

VARN_JSON_RECORD(WrappedKey, "WrappedKey", VARN_JSON_FIELD(method), VARN_JSON_FIELD(kdfParams),
                 VARN_JSON_FIELD(wrapped).coded<Base64Text>());

// An encrypted item body. Any version decodes; only 1 opens (VaultCrypto::decryptItem).
struct EncryptedBlob {
  std::int64_t v = 1;
  Bytes bytes{};  // the wrap envelope made with the item associated data

  bool operator==(const EncryptedBlob&) const = default;
};

VARN_JSON_RECORD(EncryptedBlob, "EncryptedBlob", VARN_JSON_FIELD(v),
                 VARN_JSON_FIELD(bytes).coded<Base64Text>());

// An account's two public keys and their fingerprint (24 characters).
struct AccountPublicKeys {
  Bytes x25519{};
  Bytes ed25519{};
  std::string fingerprint{};

  bool operator==(const AccountPublicKeys&) const = default;
};

VARN_JSON_RECORD(AccountPublicKeys, "AccountPublicKeys",
                 VARN_JSON_FIELD(x25519).coded<Base64Text>(),
                 VARN_JSON_FIELD(ed25519).coded<Base64Text>(), VARN_JSON_FIELD(fingerprint));

// An account's key material as stored: this record's JSON, wrapped under the vault key.
//
// The record codec declared below serves a host that wants the JSON form itself; it passes the
// private keys through ordinary strings. The library's own path is toSecretJson / fromSecretJson,
// which keep every byte of the text and of the keys in wiped buffers.
struct AccountPrivateKeys {
  Bytes x25519Pub{};          // 32 bytes
  SecretBytes x25519Priv{};   // 32 bytes
  Bytes ed25519Pub{};         // 32 bytes
  SecretBytes ed25519Priv{};  // 64 bytes: seed, then public key

  // The compact JSON text {"x25519Pub":…,"x25519Priv":…,"ed25519Pub":…,"ed25519Priv":…} with
  // padded standard Base64 values, in a wiped buffer.
  [[nodiscard]] SecretBytes toSecretJson() const;
  // Reads any JSON object holding the four keys with Base64 string values (unknown keys ignored,
  // escapes in strings allowed) without copying the text or a key into an unwiped buffer.
  // Throws support::JsonDecodeError as the record codec would ("missing required key
  // \"x25519Priv\"", "the data is not valid JSON"); the error never quotes the text.
  [[nodiscard]] static AccountPrivateKeys fromSecretJson(std::span<const std::uint8_t> text);

  bool operator==(const AccountPrivateKeys&) const = default;
};

VARN_JSON_RECORD(AccountPrivateKeys, "AccountPrivateKeys",
                 VARN_JSON_FIELD(x25519Pub).coded<Base64Text>(),
                 VARN_JSON_FIELD(x25519Priv).coded<SecretBase64Text>(),
                 VARN_JSON_FIELD(ed25519Pub).coded<Base64Text>(),
                 VARN_JSON_FIELD(ed25519Priv).coded<SecretBase64Text>());

// The result of creating a vault (not a JSON record).
struct NewVault {
  // The vault key wrapped for passphrase, then recoveryCode, then escrow when requested.
  std::vector<WrappedKey> wrappedKeys{};
  // Each opens the vault key, so each is held in a wiped buffer; text() shows it to the user.
  SecretBytes recoveryCode{};                   // 39 characters
  std::optional<SecretBytes> recoveryPhrase{};  // the escrow phrase (64 characters), if requested
  AccountPublicKeys accountPublicKeys{};
  Bytes wrappedAccountPrivKeys{};  // AccountPrivateKeys JSON wrapped under the vault key
};

// What a user offers to unlock a vault or to add an unlock method. The secret is kept in a wiped
// buffer (the UTF-8 bytes of a text exactly as given).
class UnlockInput final {
 public:
  enum class Case { passphrase, prf, recoveryCode, escrow, secureEnclave };

  [[nodiscard]] static UnlockInput passphrase(std::string_view passphrase);
  // A pseudo-random function's output (any length) and the parameters whose salt and info feed
  // the HKDF.
  [[nodiscard]] static UnlockInput prf(std::span<const std::uint8_t> output, KdfParams kdf);
  [[nodiscard]] static UnlockInput recoveryCode(std::string_view code);
  [[nodiscard]] static UnlockInput escrow(std::string_view phrase);
  [[nodiscard]] static UnlockInput secureEnclave();

  [[nodiscard]] Case inputCase() const noexcept { return case_; }
  // The unlock method this input serves.
  [[nodiscard]] UnlockMethod method() const noexcept;
  // The passphrase, code or phrase bytes, or the prf output; empty for secureEnclave.
  [[nodiscard]] const SecretBytes& secret() const noexcept { return secret_; }
  // The prf parameters; absent for the other cases.
  [[nodiscard]] const std::optional<KdfParams>& kdf() const noexcept { return kdf_; }

 private:
  UnlockInput(Case inputCase, SecretBytes secret, std::optional<KdfParams> kdf);

  Case case_;
  SecretBytes secret_;
  std::optional<KdfParams> kdf_;
};

// The library's version.
struct VarnCryptoInfo {
  static constexpr std::string_view version = "0.0.1";
};

}  // namespace varn::crypto
