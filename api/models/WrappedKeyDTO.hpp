#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/vault/KeyModels.hpp"
#include "support/JsonRecord.hpp"

namespace varn::api {

// The wire names of the unlock methods; two differ from the library's own texts
// ("secure_enclave", "recovery_code").
class WireMethod {
 public:
  WireMethod() = delete;

  [[nodiscard]] static std::string_view wireName(crypto::UnlockMethod method) noexcept;
  // The method whose wire name is exactly `text` (case-sensitive). Throws
  // APIError::decoding("unknown unlock method " + text) for any other text.
  [[nodiscard]] static crypto::UnlockMethod method(std::string_view text);
};

// The wire form of one wrapped account key: the method by its wire name, the wrapped bytes as
// Base64URL, and the key-derivation parameters as the key records code them (camel-case keys,
// the salt in padded standard Base64). Decoded and encoded; a text that names no method or is not
// Base64URL decodes and fails only in toModel().
struct WrappedKeyDTO {
  WrappedKeyDTO() = default;
  // Never fails.
  explicit WrappedKeyDTO(const crypto::WrappedKey& key);

  // The key the record describes. Throws APIError::decoding("wrapped") when wrapped is not
  // Base64URL (the method is then not looked at), else the error of WireMethod::method.
  [[nodiscard]] crypto::WrappedKey toModel() const;

  std::string method;
  std::string wrapped;
  std::optional<crypto::KdfParams> kdf_params;

  bool operator==(const WrappedKeyDTO&) const = default;
};
VARN_JSON_RECORD(WrappedKeyDTO, "wrapped key", VARN_JSON_FIELD(method), VARN_JSON_FIELD(wrapped),
                 VARN_JSON_FIELD(kdf_params));

// The reply of the wrapped-keys listing.
struct WrappedKeysResponse {
  std::vector<WrappedKeyDTO> wrapped_keys;
  std::string wrapped_account_privkeys;
};
VARN_JSON_RECORD(WrappedKeysResponse, "wrapped keys", VARN_JSON_FIELD(wrapped_keys),
                 VARN_JSON_FIELD(wrapped_account_privkeys));

}  // namespace varn::api
