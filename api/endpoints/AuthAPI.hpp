#pragma once

#include <string_view>

#include "api/core/WireTypes.hpp"
#include "api/models/AccountRecords.hpp"
#include "api/models/ItemRecords.hpp"
#include "api/models/WrappedKeyDTO.hpp"
#include "crypto/vault/KeyModels.hpp"

namespace varn::api {

// Passkey registration and sign-in, the current account and its wrapped keys. VarnAPIClient is
// the one implementation; each operation is documented there. Every operation blocks and throws
// only APIError.
class AuthAPI {
 public:
  virtual ~AuthAPI() = default;

  virtual Bytes registerBegin(std::string_view handle, const Bytes& pubkeyX25519,
                              const Bytes& pubkeyEd25519, const Bytes& wrappedAccountPrivkeys) = 0;
  virtual AccountDTO registerFinish(const Bytes& attestation) = 0;
  virtual Bytes loginBegin(std::string_view handle) = 0;
  virtual LoginFinishResponse loginFinish(const Bytes& assertion) = 0;
  virtual MeResponse me() = 0;
  virtual WrappedKeysResponse wrappedKeys() = 0;
  virtual void addWrappedKey(const crypto::WrappedKey& key) = 0;
};

}  // namespace varn::api
