#include "api/models/WrappedKeyDTO.hpp"

#include <array>
#include <utility>

#include "api/core/APIError.hpp"
#include "api/core/Base64URL.hpp"

namespace varn::api {
namespace {

using crypto::UnlockMethod;

constexpr std::array<std::pair<UnlockMethod, std::string_view>, 5> kWireNames{{
    {UnlockMethod::passphrase, "passphrase"},
    {UnlockMethod::prf, "prf"},
    {UnlockMethod::secureEnclave, "secure_enclave"},
    {UnlockMethod::recoveryCode, "recovery_code"},
    {UnlockMethod::escrow, "escrow"},
}};

}  // namespace

std::string_view WireMethod::wireName(UnlockMethod method) noexcept {
  for (const auto& [candidate, name] : kWireNames) {
    if (candidate == method) return name;
  }
  return {};
}

UnlockMethod WireMethod::method(std::string_view text) {
  for (const auto& [method, name] : kWireNames) {
    if (name == text) return method;
  }
  throw APIError::decoding("unknown unlock method " + std::string(text));
}

WrappedKeyDTO::WrappedKeyDTO(const crypto::WrappedKey& key)
    : method(WireMethod::wireName(key.method)),
      wrapped(Base64URL::encode(key.wrapped)),
      kdf_params(key.kdfParams) {}

crypto::WrappedKey WrappedKeyDTO::toModel() const {
  std::optional<Bytes> bytes = Base64URL::decode(wrapped);
  if (!bytes) throw APIError::decoding("wrapped");
  return crypto::WrappedKey{WireMethod::method(method), kdf_params, std::move(*bytes)};
}

}  // namespace varn::api
