#pragma once

// A hardware key store stand-in for tests: the "hardware-held" key is 32 bytes in memory, and wrap
// is Crypto::wrap under it. Switches make it misbehave the ways a real store can.

#include <atomic>
#include <stdexcept>

#include "crypto/vault/SecureEnclaveKeyStore.hpp"

namespace varn::crypto::fakes {

// What a failing store throws; tests check it passes through unchanged.
struct StoreFailure : std::runtime_error {
  StoreFailure() : std::runtime_error("store failed") {}
};

class SoftwareKeyStore final : public SecureEnclaveKeyStore {
 public:
  explicit SoftwareKeyStore(bool hasKeyAtStart = true);

  Bytes wrap(std::span<const std::uint8_t> vaultKey) override;
  SecretBytes unwrap(std::span<const std::uint8_t> wrapped) override;
  bool hasKey() noexcept override { return hasKey_.load(); }
  void createKey() override;

  // Unwrap hands back only this many bytes of the key (32: all of it).
  std::atomic<std::size_t> unwrapSize{32};
  // Every call but hasKey throws StoreFailure.
  std::atomic<bool> failing{false};
  std::atomic<int> createKeyCalls{0};

 private:
  const SecretBytes key_;
  std::atomic<bool> hasKey_;
};

}  // namespace varn::crypto::fakes
