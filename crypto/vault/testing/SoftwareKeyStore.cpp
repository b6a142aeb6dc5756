#include "crypto/vault/testing/SoftwareKeyStore.hpp"

#include "crypto/vault/Crypto.hpp"

namespace varn::crypto::fakes {

SoftwareKeyStore::SoftwareKeyStore(bool hasKeyAtStart)
    : key_(Crypto::randomSecret(32)), hasKey_(hasKeyAtStart) {}

Bytes SoftwareKeyStore::wrap(std::span<const std::uint8_t> vaultKey) {
  if (failing || !hasKey_) throw StoreFailure();
  return Crypto::wrap(vaultKey, key_);
}

SecretBytes SoftwareKeyStore::unwrap(std::span<const std::uint8_t> wrapped) {
  if (failing || !hasKey_) throw StoreFailure();
  SecretBytes key = Crypto::unwrap(wrapped, key_);
  key.truncate(unwrapSize);
  return key;
}

void SoftwareKeyStore::createKey() {
  if (failing) throw StoreFailure();
  ++createKeyCalls;
  hasKey_ = true;
}

}  // namespace varn::crypto::fakes
