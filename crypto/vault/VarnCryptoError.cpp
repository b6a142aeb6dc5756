#include "crypto/vault/VarnCryptoError.hpp"

#include <cstdio>

namespace varn::crypto {
namespace {

const char* caseName(VarnCryptoError::Case errorCase) noexcept {
  switch (errorCase) {
    case VarnCryptoError::Case::badEnvelopeVersion:
      return "badEnvelopeVersion";
    case VarnCryptoError::Case::decryptFailed:
      return "decryptFailed";
    case VarnCryptoError::Case::wrapFailed:
      return "wrapFailed";
    case VarnCryptoError::Case::kdfFailed:
      return "kdfFailed";
    case VarnCryptoError::Case::notUnlocked:
      return "notUnlocked";
    case VarnCryptoError::Case::invalidInput:
      return "invalidInput";
    case VarnCryptoError::Case::signFailed:
      return "signFailed";
  }
  return "unknown";
}

}  // namespace

VarnCryptoError::VarnCryptoError(Case errorCase, std::int64_t version) noexcept
    : case_(errorCase), version_(version), text_{} {
  if (case_ == Case::badEnvelopeVersion) {
    std::snprintf(text_, sizeof text_, "badEnvelopeVersion(%lld)",
                  static_cast<long long>(version_));
  } else {
    std::snprintf(text_, sizeof text_, "%s", caseName(case_));
  }
}

VarnCryptoError VarnCryptoError::badEnvelopeVersion(std::int64_t version) noexcept {
  return VarnCryptoError(Case::badEnvelopeVersion, version);
}

const char* VarnCryptoError::what() const noexcept {
  return text_;
}

}  // namespace varn::crypto
