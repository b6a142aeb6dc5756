#pragma once

// The one error of the vault cryptography. It carries a case (and, for badEnvelopeVersion, the
// version found) and no message of its own: a caller that shows it to a person forms its own text.
// what() gives the case as code reads it ("decryptFailed", "badEnvelopeVersion(2)"), never any
// key, secret or plaintext.

#include <cstdint>
#include <exception>

namespace varn::crypto {

class VarnCryptoError final : public std::exception {
 public:
  enum class Case {
    badEnvelopeVersion,  // an item envelope of a version other than 1
    decryptFailed,       // an envelope or sealed box does not open
    wrapFailed,          // encryption or sealing could not be done; a sealing key of wrong length
    kdfFailed,           // derivation or key-pair generation failed, or its parameters are refused
    notUnlocked,         // the operation needs the vault key or the account private keys
    invalidInput,  // a key-encryption key not 32 bytes; an unlock request that cannot be served
    signFailed,    // a grant signature could not be made
  };

  static VarnCryptoError badEnvelopeVersion(std::int64_t version) noexcept;
  static VarnCryptoError decryptFailed() noexcept { return VarnCryptoError(Case::decryptFailed); }
  static VarnCryptoError wrapFailed() noexcept { return VarnCryptoError(Case::wrapFailed); }
  static VarnCryptoError kdfFailed() noexcept { return VarnCryptoError(Case::kdfFailed); }
  static VarnCryptoError notUnlocked() noexcept { return VarnCryptoError(Case::notUnlocked); }
  static VarnCryptoError invalidInput() noexcept { return VarnCryptoError(Case::invalidInput); }
  static VarnCryptoError signFailed() noexcept { return VarnCryptoError(Case::signFailed); }

  [[nodiscard]] Case errorCase() const noexcept { return case_; }
  // The version found; 0 for every other case.
  [[nodiscard]] std::int64_t version() const noexcept { return version_; }
  const char* what() const noexcept override;

  // Same case and, for badEnvelopeVersion, the same version.
  bool operator==(const VarnCryptoError& other) const noexcept {
    return case_ == other.case_ && version_ == other.version_;
  }

 private:
  explicit VarnCryptoError(Case errorCase, std::int64_t version = 0) noexcept;

  Case case_;
  std::int64_t version_;
  char text_[48];
};

}  // namespace varn::crypto
