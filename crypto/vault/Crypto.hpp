#pragma once

// The cryptographic primitives on which the vault cryptography is built: random bytes, account
// key pairs and fingerprints, recovery-code normalisation, Argon2id and HKDF-SHA-256, SHA-256,
// anonymous sealed boxes, the one symmetric envelope (XChaCha20-Poly1305-IETF wrap and unwrap),
// and the associated data of item envelopes.
//
// Every operation is a pure function of its arguments and fresh randomness, safe to call from
// any thread at once. libsodium is initialised once, on first use. Failures throw
// VarnCryptoError; argument lengths are checked before any cryptography runs, so no input (such
// as a key read from stored JSON) makes libsodium read or write out of bounds. Secret outputs
// (keys, plaintexts, normalised codes) come back in SecretBytes, wiped when dropped. Exhaustion
// of the random source is not an error value: the process stops with the message
// "libsodium randombytes failed".

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "crypto/vault/KeyModels.hpp"
#include "crypto/vault/SecretBytes.hpp"
#include "crypto/vault/VarnCryptoError.hpp"
#include "support/Uuid.hpp"

namespace varn::crypto {

class Crypto final {
 public:
  Crypto() = delete;

  static constexpr std::size_t kKeyBytes = 32;         // X25519, Ed25519 public, symmetric keys
  static constexpr std::size_t kSignSecretBytes = 64;  // Ed25519 secret key: seed, public key
  static constexpr std::size_t kSignatureBytes = 64;
  static constexpr std::size_t kSaltBytes = 16;   // Argon2id
  static constexpr std::size_t kNonceBytes = 24;  // XChaCha20-Poly1305-IETF
  static constexpr std::size_t kTagBytes = 16;
  static constexpr std::size_t kWrapOverhead = kNonceBytes + kTagBytes;  // 40
  static constexpr std::size_t kSealOverhead = 48;  // ephemeral public key and tag
  static constexpr std::size_t kItemAADBytes = 20;
  // The bounds on stored Argon2id parameters: at most 4 GiB of memory and 64 passes. Parameter
  // sets come from files and servers; larger ones are refused before libsodium is asked.
  static constexpr std::int64_t kMaxArgon2MemoryKiB = 4'194'304;
  static constexpr std::int64_t kMaxArgon2Iterations = 64;

  // The raw material of one account's two key pairs.
  struct AccountKeypair {
    Bytes x25519Pub{};          // 32 bytes
    SecretBytes x25519Priv{};   // 32 bytes
    Bytes ed25519Pub{};         // 32 bytes
    SecretBytes ed25519Priv{};  // 64 bytes: seed, then public key
  };

  // `count` random bytes from libsodium.
  [[nodiscard]] static Bytes randomBytes(std::size_t count);
  // The same, in a wiped buffer (keys, code sources).
  [[nodiscard]] static SecretBytes randomSecret(std::size_t count);

  // A fresh X25519 key pair, then a fresh Ed25519 key pair. Throws kdfFailed if either fails.
  [[nodiscard]] static AccountKeypair generateAccountKeypair();

  // The first 10 bytes of SHA-256(x25519 || ed25519) as upper-case hex in 5 groups of 4 joined by
  // single spaces: always 24 characters. No length checks; never fails.
  [[nodiscard]] static std::string fingerprint(std::span<const std::uint8_t> x25519,
                                               std::span<const std::uint8_t> ed25519);

  // A recovery code or escrow phrase as the derivation reads it: fully upper-cased (Unicode, root
  // locale: "ß" becomes "SS"), every "-" and " " removed (nothing else), as UTF-8 bytes. So a code
  // typed in lower case, without separators or with other grouping opens the same key. Never
  // fails.
  [[nodiscard]] static SecretBytes normalizeCode(std::string_view code);

  // The 32-byte Argon2id (version 1.3, one lane) key of `passphrase` under `params`. Throws
  // kdfFailed when the kind is not argon2id, the salt is not 16 bytes, memoryKiB is not within
  // 1..4,194,304 or iterations not within 1..64 (all checked before libsodium is called), or when
  // libsodium refuses the limits or cannot get the memory. The stored parallelism and info are
  // not used.
  [[nodiscard]] static SecretBytes argon2id(std::span<const std::uint8_t> passphrase,
                                            const KdfParams& params);

  // HKDF-SHA-256 (RFC 5869: extract with `salt`, expand with `info`) to 32 bytes. Any lengths,
  // empty ones included. Throws kdfFailed only when OpenSSL itself fails (out of memory).
  [[nodiscard]] static SecretBytes hkdfSha256(std::span<const std::uint8_t> ikm,
                                              std::span<const std::uint8_t> salt,
                                              std::span<const std::uint8_t> info);

  // The SHA-256 digest of `data`.
  [[nodiscard]] static std::array<std::uint8_t, 32> sha256(std::span<const std::uint8_t> data);

  // An anonymous sealed box of `message` to the X25519 public key: 48 bytes longer than the
  // message. Throws wrapFailed when the key is not 32 bytes or sealing fails.
  [[nodiscard]] static Bytes seal(std::span<const std::uint8_t> message,
                                  std::span<const std::uint8_t> toX25519);

  // The envelope of `plaintext` under the 32-byte key-encryption key, with `aad` as associated
  // data (empty: none): a fresh random 24-byte nonce, the ciphertext, the 16-byte tag; always 40
  // bytes longer than the plaintext. Throws invalidInput when the key is not 32 bytes (checked
  // first), wrapFailed when encryption fails.
  [[nodiscard]] static Bytes wrap(std::span<const std::uint8_t> plaintext,
                                  std::span<const std::uint8_t> kek,
                                  std::span<const std::uint8_t> aad = {});

  // Opens an envelope made by wrap with the same key and associated data. Throws invalidInput
  // when the key is not 32 bytes (checked first), decryptFailed when the envelope is shorter than
  // 40 bytes or does not open (wrong key, other associated data, any changed byte).
  [[nodiscard]] static SecretBytes unwrap(std::span<const std::uint8_t> envelope,
                                          std::span<const std::uint8_t> kek,
                                          std::span<const std::uint8_t> aad = {});

  // The associated data of an item envelope: the version as a big-endian 32-bit integer, then
  // the item UUID's 16 bytes in text order. The type bounds the version; never fails.
  [[nodiscard]] static std::array<std::uint8_t, kItemAADBytes> itemAAD(
      std::uint32_t version, const support::Uuid& itemID) noexcept;
};

}  // namespace varn::crypto
