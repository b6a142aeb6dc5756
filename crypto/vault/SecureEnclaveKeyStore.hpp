#pragma once

// A key store over a hardware-held key, supplied by the host application. The library declares it
// and calls it; it contains no implementation (Linux has no such store: a host with a TPM, a
// smart card or a platform keystore implements these four calls over it).
//
// VaultCrypto calls the store synchronously from the calling thread, never while holding its own
// lock, and lets every exception the store throws pass to its caller unchanged. An implementation
// used by several VaultCrypto instances or threads must be thread-safe itself.

#include <cstdint>
#include <span>

#include "crypto/vault/SecretBytes.hpp"

namespace varn::crypto {

class SecureEnclaveKeyStore {
 public:
  virtual ~SecureEnclaveKeyStore() = default;

  // Wraps the vault key under the hardware-held key; the result's format is the store's own and
  // is kept as WrappedKey::wrapped. May throw.
  [[nodiscard]] virtual Bytes wrap(std::span<const std::uint8_t> vaultKey) = 0;
  // Returns the vault key from what wrap returned. May throw.
  [[nodiscard]] virtual SecretBytes unwrap(std::span<const std::uint8_t> wrapped) = 0;
  // Whether the hardware-held key exists. Does not throw.
  [[nodiscard]] virtual bool hasKey() noexcept = 0;
  // Creates the hardware-held key. May throw.
  virtual void createKey() = 0;
};

}  // namespace varn::crypto
