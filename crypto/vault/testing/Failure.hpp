#pragma once

// What a call of the vault cryptography throws, as a comparable text: the VarnCryptoError case
// ("decryptFailed"), "StoreFailure", "JsonDecodeError: " and its message, or "none".

#include <functional>
#include <string>

#include "crypto/vault/VarnCryptoError.hpp"
#include "crypto/vault/testing/SoftwareKeyStore.hpp"
#include "support/Json.hpp"

namespace varn::crypto::fakes {

inline std::string failureOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const VarnCryptoError& error) {
    return error.what();
  } catch (const StoreFailure&) {
    return "StoreFailure";
  } catch (const support::JsonDecodeError& error) {
    return "JsonDecodeError: " + error.message();
  }
  return "none";
}

}  // namespace varn::crypto::fakes
