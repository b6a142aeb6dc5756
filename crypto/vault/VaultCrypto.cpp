#include "crypto/vault/VaultCrypto.hpp"

#include <sodium.h>

#include <algorithm>
#include <array>
#include <utility>

#include "crypto/otp/Base32.hpp"
#include "crypto/vault/Crypto.hpp"
#include "support/Wipe.hpp"

namespace varn::crypto {
namespace {

using support::Uuid;

constexpr std::size_t kVaultKeyBytes = 32;
constexpr std::size_t kRecoverySourceBytes = 20;
constexpr std::size_t kEscrowSourceBytes = 32;

// A fresh Argon2id parameter set with this library's constants.
KdfParams freshArgon2Params() {
  return KdfParams::argon2id(Crypto::randomBytes(Crypto::kSaltBytes), VaultCrypto::kArgon2MemoryKiB,
                             VaultCrypto::kArgon2Iterations, VaultCrypto::kArgon2Parallelism);
}

// The vault key wrapped for an Argon2id method under `secret` with fresh parameters.
WrappedKey argon2Entry(UnlockMethod method, std::span<const std::uint8_t> secret,
                       std::span<const std::uint8_t> vaultKey) {
  KdfParams params = freshArgon2Params();
  SecretBytes kek = Crypto::argon2id(secret, params);
  return WrappedKey{method, std::move(params), Crypto::wrap(vaultKey, kek)};
}

// The key-encryption key of a prf entry: HKDF of the output with the input's salt and info.
SecretBytes prfKek(const UnlockInput& input) {
  const KdfParams& kdf = *input.kdf();
  const std::string_view info =
      kdf.info ? std::string_view(*kdf.info) : VaultCrypto::kDefaultPrfInfo;
  return Crypto::hkdfSha256(
      input.secret(), kdf.salt,
      std::span(reinterpret_cast<const std::uint8_t*>(info.data()), info.size()));
}

// The secret an Argon2id method derives from: the passphrase as given, a code normalised.
SecretBytes argon2Secret(const UnlockInput& input) {
  if (input.inputCase() == UnlockInput::Case::passphrase) return input.secret();
  const SecretBytes& text = input.secret();
  return Crypto::normalizeCode(
      std::string_view(reinterpret_cast<const char*>(text.data()), text.size()));
}

// A recovery code or escrow phrase from `sourceBytes` random bytes: Base32, grouped by 4.
SecretBytes newCode(std::size_t sourceBytes, std::string_view separator) {
  SecretBytes source = Crypto::randomSecret(sourceBytes);
  std::string base32 = Base32::encode(source);
  support::WipedOnExit wipeBase32(base32);
  std::string code = grouped(base32, 4, separator);  // sized once: no stale copy is left behind
  support::WipedOnExit wipeCode(code);
  return SecretBytes::fromText(code);
}

// The account's private keys as stored: their JSON wrapped under the vault key.
Bytes wrapPrivateKeys(const Crypto::AccountKeypair& pair, std::span<const std::uint8_t> vaultKey) {
  AccountPrivateKeys keys{pair.x25519Pub, pair.x25519Priv, pair.ed25519Pub, pair.ed25519Priv};
  return Crypto::wrap(keys.toSecretJson(), vaultKey);
}

std::span<const std::uint8_t> textBytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// The signed message of a grant (100 bytes for a 32-byte recipient key).
Bytes grantMessage(const Uuid& collectionID, std::uint32_t keyEpoch,
                   std::span<const std::uint8_t> collectionKey,
                   std::span<const std::uint8_t> recipientX25519, const Uuid& orgID) {
  Bytes message;
  message.reserve(16 + 4 + 32 + recipientX25519.size() + 16);
  message.insert(message.end(), collectionID.bytes().begin(), collectionID.bytes().end());
  for (int shift = 24; shift >= 0; shift -= 8) {
    message.push_back(static_cast<std::uint8_t>(keyEpoch >> shift));
  }
  const std::array<std::uint8_t, 32> digest = Crypto::sha256(collectionKey);
  message.insert(message.end(), digest.begin(), digest.end());
  message.insert(message.end(), recipientX25519.begin(), recipientX25519.end());
  message.insert(message.end(), orgID.bytes().begin(), orgID.bytes().end());
  return message;
}

}  // namespace

VaultCrypto::VaultCrypto(std::shared_ptr<SecureEnclaveKeyStore> secureEnclaveKeyStore)
    : secureEnclaveKeyStore_(std::move(secureEnclaveKeyStore)) {}

bool VaultCrypto::isUnlocked() const {
  std::lock_guard lock(mutex_);
  return !dek_.empty();
}

void VaultCrypto::lock() noexcept {
  std::lock_guard lock(mutex_);
  dek_.wipe();
  accountPriv_.reset();
}

NewVault VaultCrypto::createVault(std::string_view passphrase, bool withEscrow) {
  // Random bytes are drawn in this order: vault key, key pairs, passphrase salt, recovery source,
  // recovery salt, escrow source, escrow salt.
  const SecretBytes vaultKey = Crypto::randomSecret(kVaultKeyBytes);
  const Crypto::AccountKeypair pair = Crypto::generateAccountKeypair();
  NewVault vault;
  vault.wrappedAccountPrivKeys = wrapPrivateKeys(pair, vaultKey);
  vault.wrappedKeys.push_back(
      argon2Entry(UnlockMethod::passphrase, textBytes(passphrase), vaultKey));
  vault.recoveryCode = newCode(kRecoverySourceBytes, "-");
  vault.wrappedKeys.push_back(argon2Entry(
      UnlockMethod::recoveryCode, Crypto::normalizeCode(vault.recoveryCode.text()), vaultKey));
  if (withEscrow) {
    vault.recoveryPhrase = newCode(kEscrowSourceBytes, " ");
    vault.wrappedKeys.push_back(argon2Entry(
        UnlockMethod::escrow, Crypto::normalizeCode(vault.recoveryPhrase->text()), vaultKey));
  }
  vault.accountPublicKeys = AccountPublicKeys{pair.x25519Pub, pair.ed25519Pub,
                                              Crypto::fingerprint(pair.x25519Pub, pair.ed25519Pub)};
  return vault;
}

SecretBytes VaultCrypto::deriveDEK(const std::vector<WrappedKey>& wrappedKeys,
                                   const UnlockInput& input) const {
  const UnlockMethod method = input.method();
  auto entry = std::find_if(wrappedKeys.begin(), wrappedKeys.end(),
                            [&](const WrappedKey& key) { return key.method == method; });
  if (entry == wrappedKeys.end()) throw VarnCryptoError::invalidInput();
  switch (input.inputCase()) {
    case UnlockInput::Case::passphrase:
    case UnlockInput::Case::recoveryCode:
    case UnlockInput::Case::escrow: {
      if (!entry->kdfParams) throw VarnCryptoError::invalidInput();
      const SecretBytes kek = Crypto::argon2id(argon2Secret(input), *entry->kdfParams);
      return Crypto::unwrap(entry->wrapped, kek);
    }
    case UnlockInput::Case::prf:
      return Crypto::unwrap(entry->wrapped, prfKek(input));
    case UnlockInput::Case::secureEnclave:
      break;
  }
  if (!secureEnclaveKeyStore_) throw VarnCryptoError::invalidInput();
  return secureEnclaveKeyStore_->unwrap(entry->wrapped);
}

void VaultCrypto::unlock(const std::vector<WrappedKey>& wrappedKeys,
                         std::span<const std::uint8_t> wrappedAccountPrivKeys,
                         const UnlockInput& input) {
  // Everything is derived and checked before the state is touched.
  SecretBytes dek = deriveDEK(wrappedKeys, input);
  const SecretBytes json = Crypto::unwrap(wrappedAccountPrivKeys, dek);
  AccountPrivateKeys keys = AccountPrivateKeys::fromSecretJson(json);
  std::lock_guard lock(mutex_);
  dek_ = std::move(dek);
  accountPriv_ = std::move(keys);
}

WrappedKey VaultCrypto::addUnlockMethod(const UnlockInput& input) {
  SecretBytes dek;
  {
    std::lock_guard lock(mutex_);
    if (dek_.empty()) throw VarnCryptoError::notUnlocked();
    dek = dek_;
  }
  switch (input.inputCase()) {
    case UnlockInput::Case::passphrase:
    case UnlockInput::Case::recoveryCode:
    case UnlockInput::Case::escrow:
      return argon2Entry(input.method(), argon2Secret(input), dek);
    case UnlockInput::Case::prf:
      return WrappedKey{UnlockMethod::prf, input.kdf(), Crypto::wrap(dek, prfKek(input))};
    case UnlockInput::Case::secureEnclave:
      break;
  }
  if (!secureEnclaveKeyStore_) throw VarnCryptoError::invalidInput();
  if (!secureEnclaveKeyStore_->hasKey()) secureEnclaveKeyStore_->createKey();
  return WrappedKey{UnlockMethod::secureEnclave, std::nullopt, secureEnclaveKeyStore_->wrap(dek)};
}

// --- collection keys ---------------------------------------------------------------------------

SecretBytes VaultCrypto::newCollectionKey() const {
  {
    std::lock_guard lock(mutex_);
    if (dek_.empty()) throw VarnCryptoError::notUnlocked();
  }
  return Crypto::randomSecret(kVaultKeyBytes);
}

Bytes VaultCrypto::wrapCollectionKeyToSelf(std::span<const std::uint8_t> collectionKey) const {
  std::lock_guard lock(mutex_);
  if (dek_.empty()) throw VarnCryptoError::notUnlocked();
  return Crypto::wrap(collectionKey, dek_);
}

SecretBytes VaultCrypto::unwrapCollectionKey(std::span<const std::uint8_t> wrapped) const {
  std::lock_guard lock(mutex_);
  if (dek_.empty()) throw VarnCryptoError::notUnlocked();
  return Crypto::unwrap(wrapped, dek_);
}

Bytes VaultCrypto::sealCollectionKey(std::span<const std::uint8_t> collectionKey,
                                     std::span<const std::uint8_t> toX25519) const {
  {
    std::lock_guard lock(mutex_);
    if (dek_.empty()) throw VarnCryptoError::notUnlocked();
  }
  return Crypto::seal(collectionKey, toX25519);
}

SecretBytes VaultCrypto::openSealedCollectionKey(std::span<const std::uint8_t> sealed) const {
  std::lock_guard lock(mutex_);
  if (!accountPriv_) throw VarnCryptoError::notUnlocked();
  const AccountPrivateKeys& keys = *accountPriv_;
  // Stored keys come from decoded JSON: their lengths are checked, not assumed.
  if (sealed.size() < Crypto::kSealOverhead || keys.x25519Pub.size() != Crypto::kKeyBytes ||
      keys.x25519Priv.size() != Crypto::kKeyBytes) {
    throw VarnCryptoError::decryptFailed();
  }
  SecretBytes out(sealed.size() - Crypto::kSealOverhead);
  std::uint8_t empty = 0;
  if (crypto_box_seal_open(out.empty() ? &empty : out.data(), sealed.data(), sealed.size(),
                           keys.x25519Pub.data(), keys.x25519Priv.data()) != 0) {
    throw VarnCryptoError::decryptFailed();
  }
  return out;
}

// --- items -------------------------------------------------------------------------------------

EncryptedItem VaultCrypto::encryptItem(std::span<const std::uint8_t> plaintext, const Uuid& itemID,
                                       std::span<const std::uint8_t> collectionKey) const {
  const SecretBytes itemKey = Crypto::randomSecret(kVaultKeyBytes);
  const auto aad = Crypto::itemAAD(static_cast<std::uint32_t>(kItemEnvelopeVersion), itemID);
  EncryptedItem item;
  item.blob = EncryptedBlob{kItemEnvelopeVersion, Crypto::wrap(plaintext, itemKey, aad)};
  item.wrappedItemKey = Crypto::wrap(itemKey, collectionKey);
  return item;
}

SecretBytes VaultCrypto::decryptItem(const EncryptedBlob& blob, const Uuid& itemID,
                                     std::span<const std::uint8_t> wrappedItemKey,
                                     std::span<const std::uint8_t> collectionKey) const {
  if (blob.v != kItemEnvelopeVersion) throw VarnCryptoError::badEnvelopeVersion(blob.v);
  const SecretBytes itemKey = Crypto::unwrap(wrappedItemKey, collectionKey);
  const auto aad = Crypto::itemAAD(static_cast<std::uint32_t>(kItemEnvelopeVersion), itemID);
  return Crypto::unwrap(blob.bytes, itemKey, aad);
}

Bytes VaultCrypto::rewrapItemKey(std::span<const std::uint8_t> wrappedItemKey,
                                 std::span<const std::uint8_t> from,
                                 std::span<const std::uint8_t> to) const {
  const SecretBytes itemKey = Crypto::unwrap(wrappedItemKey, from);
  return Crypto::wrap(itemKey, to);
}

// --- grants and fingerprints -------------------------------------------------------------------

Bytes VaultCrypto::signGrant(const Uuid& collectionID, std::uint32_t keyEpoch,
                             std::span<const std::uint8_t> collectionKey,
                             std::span<const std::uint8_t> recipientX25519,
                             const Uuid& orgID) const {
  const Bytes message = grantMessage(collectionID, keyEpoch, collectionKey, recipientX25519, orgID);
  std::lock_guard lock(mutex_);
  if (!accountPriv_) throw VarnCryptoError::notUnlocked();
  const SecretBytes& key = accountPriv_->ed25519Priv;
  if (key.size() != Crypto::kSignSecretBytes) throw VarnCryptoError::signFailed();
  Bytes signature(Crypto::kSignatureBytes);
  if (crypto_sign_detached(signature.data(), nullptr, message.data(), message.size(), key.data()) !=
      0) {
    throw VarnCryptoError::signFailed();
  }
  return signature;
}

bool VaultCrypto::verifyGrant(std::span<const std::uint8_t> signature, const Uuid& collectionID,
                              std::uint32_t keyEpoch, std::span<const std::uint8_t> collectionKey,
                              std::span<const std::uint8_t> recipientX25519, const Uuid& orgID,
                              std::span<const std::uint8_t> granterEd25519) noexcept {
  if (signature.size() != Crypto::kSignatureBytes || granterEd25519.size() != Crypto::kKeyBytes) {
    return false;
  }
  try {
    const Bytes message =
        grantMessage(collectionID, keyEpoch, collectionKey, recipientX25519, orgID);
    if (sodium_init() < 0) return false;  // idempotent; a first call may come before any other
    return crypto_sign_verify_detached(signature.data(), message.data(), message.size(),
                                       granterEd25519.data()) == 0;
  } catch (...) {
    return false;  // only an allocation failure can land here
  }
}

std::string VaultCrypto::fingerprint(std::span<const std::uint8_t> x25519,
                                     std::span<const std::uint8_t> ed25519) {
  return Crypto::fingerprint(x25519, ed25519);
}

// --- agents ------------------------------------------------------------------------------------

AgentProvisioningMaterial VaultCrypto::createAgentProvisioningMaterial(
    std::string_view bundlePassphrase, std::string_view baseURL, std::string_view handle,
    std::optional<Uuid> accountID, std::vector<AgentBundleCollection> collections) {
  if (!AbsoluteUrlText::isAbsoluteUrl(baseURL)) throw VarnCryptoError::invalidInput();
  const SecretBytes vaultKey = Crypto::randomSecret(kVaultKeyBytes);
  const Crypto::AccountKeypair pair = Crypto::generateAccountKeypair();
  AgentProvisioningMaterial material;
  material.wrappedAccountPrivKeys = wrapPrivateKeys(pair, vaultKey);
  WrappedKey entry = argon2Entry(UnlockMethod::passphrase, textBytes(bundlePassphrase), vaultKey);
  const std::string fingerprint = Crypto::fingerprint(pair.x25519Pub, pair.ed25519Pub);
  material.accountPublicKeys = AccountPublicKeys{pair.x25519Pub, pair.ed25519Pub, fingerprint};
  material.bundle = AgentBundle{1,
                                std::string(baseURL),
                                std::string(handle),
                                accountID,
                                AgentBundlePublicKeys{pair.x25519Pub, pair.ed25519Pub, fingerprint},
                                {std::move(entry)},
                                material.wrappedAccountPrivKeys,
                                std::move(collections)};
  return material;
}

}  // namespace varn::crypto
