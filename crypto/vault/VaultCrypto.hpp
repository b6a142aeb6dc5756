#pragma once

// The unlocked state of one vault for the host application, and the operations that use it.
//
// A VaultCrypto holds the vault key (32 bytes, under which everything else of the vault is
// wrapped) and the account's private keys, both absent while locked. The host creates a vault
// (createVault, static) or takes the stored values of an existing one, unlocks by one of five
// methods, and then makes, wraps and seals collection keys, encrypts items, signs grants. Nothing
// here touches files or the network: wrapped keys and envelopes go in and out as values.
//
// Thread-safety: every member may be called from any thread at once. The state is guarded by one
// mutex; an unlock is all or nothing (it derives and checks everything first and then replaces
// both values in one step, so a failed unlock leaves the state exactly as it was, and no caller
// ever sees a half-done unlock or lock). The mutex is never held across an Argon2id derivation or
// a call into the hardware key store. Static members use no state.
//
// Errors: VarnCryptoError as each operation says; a hardware key store's exceptions and the JSON
// decoder's (support::JsonDecodeError) pass through unchanged. Keys held or returned live in
// SecretBytes, wiped on lock, on replacement and on destruction.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/vault/AgentBundle.hpp"
#include "crypto/vault/KeyModels.hpp"
#include "crypto/vault/SecretBytes.hpp"
#include "crypto/vault/SecureEnclaveKeyStore.hpp"
#include "crypto/vault/VarnCryptoError.hpp"
#include "support/Uuid.hpp"

namespace varn::crypto {

// An encrypted item: its body under a fresh item key, and that key wrapped under the collection
// key.
struct EncryptedItem {
  EncryptedBlob blob{};
  Bytes wrappedItemKey{};
};

class VaultCrypto final {
 public:
  // The Argon2id constants of every parameter set this library makes.
  static constexpr std::int64_t kArgon2MemoryKiB = 65536;
  static constexpr std::int64_t kArgon2Iterations = 3;
  static constexpr std::int64_t kArgon2Parallelism = 4;  // recorded only
  // The HKDF info of a prf entry whose parameters carry none.
  static constexpr std::string_view kDefaultPrfInfo = "varn/prf-kek/v1";
  // The envelope version of items; no other is made or opened.
  static constexpr std::int64_t kItemEnvelopeVersion = 1;

  // A locked vault, with the host's hardware key store if given (fixed for its lifetime).
  VaultCrypto() = default;
  explicit VaultCrypto(std::shared_ptr<SecureEnclaveKeyStore> secureEnclaveKeyStore);
  VaultCrypto(const VaultCrypto&) = delete;
  VaultCrypto& operator=(const VaultCrypto&) = delete;

  // True while a vault key is held.
  [[nodiscard]] bool isUnlocked() const;

  // Forgets (wipes) the vault key and the account private keys. Never fails.
  void lock() noexcept;

  // A new vault: a random vault key, fresh account key pairs, the private keys wrapped under the
  // vault key, the vault key wrapped for the passphrase (Argon2id over its UTF-8 bytes as given),
  // for a new recovery code (20 random bytes in Base32, "-"-grouped by 4: 39 characters), and,
  // when `withEscrow`, for a new escrow phrase (32 random bytes in Base32, " "-grouped by 4: 64
  // characters). The code and the phrase are returned in wiped buffers; every entry has its own
  // salt. Does not unlock; uses no state. Throws kdfFailed
  // or wrapFailed. Runs two or three Argon2id derivations (64 MiB, 3 passes each).
  [[nodiscard]] static NewVault createVault(std::string_view passphrase, bool withEscrow);

  // Unlocks with the first entry of `wrappedKeys` whose method is the input's (later entries of
  // that method are never tried) and the wrapped account private keys. Throws invalidInput when
  // there is no such entry, an Argon2id entry has no parameters, or secureEnclave is asked without
  // a store (or the store returns a key that is not 32 bytes); kdfFailed when Argon2id refuses the
  // stored parameters; decryptFailed for a wrong secret or altered bytes; the JSON decoder's error
  // when the private keys are not the expected JSON; the store's errors unchanged. On success the
  // vault key and private keys replace any held before; on failure nothing changes.
  void unlock(const std::vector<WrappedKey>& wrappedKeys,
              std::span<const std::uint8_t> wrappedAccountPrivKeys, const UnlockInput& input);

  // The vault key wrapped for one more method: Argon2id methods with a fresh salt and this
  // library's constants; prf by HKDF with the input's salt and info (default kDefaultPrfInfo),
  // keeping the input's parameters unchanged; secureEnclave through the store, creating its key
  // first when it has none. Throws notUnlocked when locked (before anything else), invalidInput
  // for secureEnclave without a store; the store's errors unchanged. Changes no state; the entry
  // is the caller's to keep.
  [[nodiscard]] WrappedKey addUnlockMethod(const UnlockInput& input);

  // --- collection keys -------------------------------------------------------------------------

  // 32 random bytes. Throws notUnlocked when locked.
  [[nodiscard]] SecretBytes newCollectionKey() const;
  // The collection key wrapped under the vault key (72 bytes for 32). Throws notUnlocked.
  [[nodiscard]] Bytes wrapCollectionKeyToSelf(std::span<const std::uint8_t> collectionKey) const;
  // The collection key from its wrapped form. Throws notUnlocked, decryptFailed.
  [[nodiscard]] SecretBytes unwrapCollectionKey(std::span<const std::uint8_t> wrapped) const;
  // The collection key in a sealed box to another account (80 bytes for 32). Throws notUnlocked
  // (checked first), wrapFailed for a recipient key that is not 32 bytes.
  [[nodiscard]] Bytes sealCollectionKey(std::span<const std::uint8_t> collectionKey,
                                        std::span<const std::uint8_t> toX25519) const;
  // Opens a sealed box made for this account. Throws notUnlocked, decryptFailed (also for a box
  // shorter than 48 bytes or stored private keys of the wrong length).
  [[nodiscard]] SecretBytes openSealedCollectionKey(std::span<const std::uint8_t> sealed) const;

  // --- items (no state needed; these work on a locked vault) ------------------------------------

  // Encrypts an item body under a fresh item key with the associated data of version 1 and the
  // item's UUID, and wraps the item key under the collection key. Throws invalidInput for a
  // collection key that is not 32 bytes.
  [[nodiscard]] EncryptedItem encryptItem(std::span<const std::uint8_t> plaintext,
                                          const support::Uuid& itemID,
                                          std::span<const std::uint8_t> collectionKey) const;
  // The item body. Throws badEnvelopeVersion when the blob's version is not 1 (before any key is
  // touched), invalidInput for a key of the wrong length, decryptFailed when anything does not
  // open (another item's UUID, another collection's key, an altered byte).
  [[nodiscard]] SecretBytes decryptItem(const EncryptedBlob& blob, const support::Uuid& itemID,
                                        std::span<const std::uint8_t> wrappedItemKey,
                                        std::span<const std::uint8_t> collectionKey) const;
  // The item key moved from one collection key to another; the body is not touched. Throws
  // invalidInput, decryptFailed.
  [[nodiscard]] Bytes rewrapItemKey(std::span<const std::uint8_t> wrappedItemKey,
                                    std::span<const std::uint8_t> from,
                                    std::span<const std::uint8_t> to) const;

  // --- grants and fingerprints ----------------------------------------------------------------

  // The 64-byte Ed25519 signature of the grant message: the collection UUID's 16 bytes, the epoch
  // as a big-endian 32-bit integer, SHA-256 of the collection key, the recipient's X25519 key as
  // given, the organisation UUID's 16 bytes (100 bytes for a 32-byte recipient key). Throws
  // notUnlocked without private keys, signFailed when no signature is made (also for a stored
  // signing key of the wrong length).
  [[nodiscard]] Bytes signGrant(const support::Uuid& collectionID, std::uint32_t keyEpoch,
                                std::span<const std::uint8_t> collectionKey,
                                std::span<const std::uint8_t> recipientX25519,
                                const support::Uuid& orgID) const;
  // Whether `signature` is the granter's signature of that message. Any mismatch, malformed
  // signature or key gives false; never throws.
  [[nodiscard]] static bool verifyGrant(std::span<const std::uint8_t> signature,
                                        const support::Uuid& collectionID, std::uint32_t keyEpoch,
                                        std::span<const std::uint8_t> collectionKey,
                                        std::span<const std::uint8_t> recipientX25519,
                                        const support::Uuid& orgID,
                                        std::span<const std::uint8_t> granterEd25519) noexcept;
  // Crypto::fingerprint of any pair of public keys; needs no unlocking.
  [[nodiscard]] static std::string fingerprint(std::span<const std::uint8_t> x25519,
                                               std::span<const std::uint8_t> ed25519);

  // --- agents -----------------------------------------------------------------------------------

  // A fresh agent account: key pairs, its private keys wrapped under a fresh agent vault key, that
  // key wrapped for `bundlePassphrase` (Argon2id, this library's constants), and the bundle that
  // carries them with `baseURL`, `handle`, `accountID` (left out when absent) and `collections`
  // unchanged. A fresh VaultCrypto unlocks with the bundle's wrapped keys, its wrapped private
  // keys and UnlockInput::passphrase(bundlePassphrase). Uses no state. Throws invalidInput when
  // `baseURL` is not an absolute URL, kdfFailed, wrapFailed.
  [[nodiscard]] static AgentProvisioningMaterial createAgentProvisioningMaterial(
      std::string_view bundlePassphrase, std::string_view baseURL, std::string_view handle,
      std::optional<support::Uuid> accountID, std::vector<AgentBundleCollection> collections);

 private:
  // The vault key from the first entry of the input's method (see unlock). Uses no state.
  [[nodiscard]] SecretBytes deriveDEK(const std::vector<WrappedKey>& wrappedKeys,
                                      const UnlockInput& input) const;

  const std::shared_ptr<SecureEnclaveKeyStore> secureEnclaveKeyStore_{};  // fixed
  mutable std::mutex mutex_;
  SecretBytes dek_;                                // guarded by mutex_; empty while locked
  std::optional<AccountPrivateKeys> accountPriv_;  // guarded by mutex_; set together with dek_
};

}  // namespace varn::crypto
