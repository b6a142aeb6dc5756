#include "crypto/vault/Crypto.hpp"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <sodium.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "crypto/otp/Base32.hpp"
#include "crypto/otp/UnicodeText.hpp"
#include "support/Ascii.hpp"
#include "support/Wipe.hpp"

namespace varn::crypto {
namespace {

static_assert(Crypto::kKeyBytes == crypto_box_PUBLICKEYBYTES);
static_assert(Crypto::kKeyBytes == crypto_box_SECRETKEYBYTES);
static_assert(Crypto::kKeyBytes == crypto_sign_PUBLICKEYBYTES);
static_assert(Crypto::kSignSecretBytes == crypto_sign_SECRETKEYBYTES);
static_assert(Crypto::kSignatureBytes == crypto_sign_BYTES);
static_assert(Crypto::kSaltBytes == crypto_pwhash_SALTBYTES);
static_assert(Crypto::kKeyBytes == crypto_aead_xchacha20poly1305_ietf_KEYBYTES);
static_assert(Crypto::kNonceBytes == crypto_aead_xchacha20poly1305_ietf_NPUBBYTES);
static_assert(Crypto::kTagBytes == crypto_aead_xchacha20poly1305_ietf_ABYTES);
static_assert(Crypto::kSealOverhead == crypto_box_SEALBYTES);
// memoryKiB * 1024 of the largest accepted value fits in size_t with room to spare.
static_assert(static_cast<unsigned long long>(Crypto::kMaxArgon2MemoryKiB) * 1024 <= SIZE_MAX);

[[noreturn]] void fatal(const char* message) noexcept {
  std::fputs(message, stderr);
  std::fputc('\n', stderr);
  std::abort();
}

// libsodium's own initialisation, once per process. Without it randombytes cannot be trusted, so
// a failure is the random source's fatal failure.
void ensureSodium() noexcept {
  static std::once_flag once;
  std::call_once(once, [] {
    if (sodium_init() < 0) fatal("libsodium randombytes failed");
  });
}

// A pointer libsodium and OpenSSL may read zero bytes from: an empty span may carry null.
const std::uint8_t* nonNull(std::span<const std::uint8_t> bytes) noexcept {
  static const std::uint8_t kNothing = 0;
  return bytes.empty() ? &kNothing : bytes.data();
}

// The HKDF implementation, fetched once; a fetched EVP_KDF may be shared by threads.
EVP_KDF* hkdfImplementation() {
  static EVP_KDF* const kdf = EVP_KDF_fetch(nullptr, OSSL_KDF_NAME_HKDF, nullptr);
  return kdf;
}

// SHA-256, fetched once: passing EVP_sha256() makes OpenSSL 3 look the implementation up on every
// call. A fetched EVP_MD may be shared by threads.
const EVP_MD* sha256Implementation() {
  static const EVP_MD* const md = [] {
    const EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return fetched != nullptr ? fetched : EVP_sha256();
  }();
  return md;
}

}  // namespace

Bytes Crypto::randomBytes(std::size_t count) {
  ensureSodium();
  Bytes out(count);
  if (count > 0) randombytes_buf(out.data(), count);
  return out;
}

SecretBytes Crypto::randomSecret(std::size_t count) {
  ensureSodium();
  SecretBytes out(count);
  if (count > 0) randombytes_buf(out.data(), count);
  return out;
}

Crypto::AccountKeypair Crypto::generateAccountKeypair() {
  ensureSodium();
  AccountKeypair pair{Bytes(kKeyBytes), SecretBytes(kKeyBytes), Bytes(kKeyBytes),
                      SecretBytes(kSignSecretBytes)};
  if (crypto_box_keypair(pair.x25519Pub.data(), pair.x25519Priv.data()) != 0) {
    throw VarnCryptoError::kdfFailed();
  }
  if (crypto_sign_keypair(pair.ed25519Pub.data(), pair.ed25519Priv.data()) != 0) {
    throw VarnCryptoError::kdfFailed();
  }
  return pair;
}

std::string Crypto::fingerprint(std::span<const std::uint8_t> x25519,
                                std::span<const std::uint8_t> ed25519) {
  Bytes joined(x25519.begin(), x25519.end());
  joined.insert(joined.end(), ed25519.begin(), ed25519.end());
  const std::array<std::uint8_t, 32> digest = sha256(joined);
  std::string hex;
  for (std::size_t i = 0; i < 10; ++i) support::appendHexUpper(hex, digest[i]);
  return grouped(hex, 4, " ");
}

SecretBytes Crypto::normalizeCode(std::string_view code) {
  std::string upper = uppercased(code);
  SecretBytes out(upper.size());
  std::size_t length = 0;
  for (char c : upper) {
    if (c != '-' && c != ' ') out.data()[length++] = static_cast<std::uint8_t>(c);
  }
  support::wipe(upper);
  out.truncate(length);
  return out;
}

SecretBytes Crypto::argon2id(std::span<const std::uint8_t> passphrase, const KdfParams& params) {
  if (params.kind != KdfParams::Kind::argon2id) throw VarnCryptoError::kdfFailed();
  if (params.salt.size() != kSaltBytes) throw VarnCryptoError::kdfFailed();
  // Stored parameters are untrusted: bound them before anything is multiplied or allocated.
  if (params.memoryKiB < 1 || params.memoryKiB > kMaxArgon2MemoryKiB || params.iterations < 1 ||
      params.iterations > kMaxArgon2Iterations) {
    throw VarnCryptoError::kdfFailed();
  }
  ensureSodium();
  SecretBytes key(kKeyBytes);
  const auto memoryBytes = static_cast<std::size_t>(params.memoryKiB) * 1024;
  if (crypto_pwhash(key.data(), key.size(), reinterpret_cast<const char*>(nonNull(passphrase)),
                    passphrase.size(), params.salt.data(),
                    static_cast<unsigned long long>(params.iterations), memoryBytes,
                    crypto_pwhash_ALG_ARGON2ID13) != 0) {
    throw VarnCryptoError::kdfFailed();
  }
  return key;
}

SecretBytes Crypto::hkdfSha256(std::span<const std::uint8_t> ikm,
                               std::span<const std::uint8_t> salt,
                               std::span<const std::uint8_t> info) {
  EVP_KDF* kdf = hkdfImplementation();
  EVP_KDF_CTX* context = kdf == nullptr ? nullptr : EVP_KDF_CTX_new(kdf);
  if (context == nullptr) throw VarnCryptoError::kdfFailed();
  char digest[] = "SHA256";
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<std::uint8_t*>(nonNull(ikm)),
                                        ikm.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT,
                                        const_cast<std::uint8_t*>(nonNull(salt)), salt.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO,
                                        const_cast<std::uint8_t*>(nonNull(info)), info.size()),
      OSSL_PARAM_construct_end(),
  };
  SecretBytes key(kKeyBytes);
  const int ok = EVP_KDF_derive(context, key.data(), key.size(), params);
  EVP_KDF_CTX_free(context);  // clears the key material it copied
  if (ok != 1) throw VarnCryptoError::kdfFailed();
  return key;
}

std::array<std::uint8_t, 32> Crypto::sha256(std::span<const std::uint8_t> data) {
  std::array<std::uint8_t, 32> digest{};
  unsigned int length = 0;
  if (EVP_Digest(nonNull(data), data.size(), digest.data(), &length, sha256Implementation(),
                 nullptr) != 1) {
    // Only an allocation failure inside OpenSSL gets here; a wrong digest must never be returned.
    fatal("SHA-256 failed");
  }
  return digest;
}

Bytes Crypto::seal(std::span<const std::uint8_t> message, std::span<const std::uint8_t> toX25519) {
  if (toX25519.size() != kKeyBytes) throw VarnCryptoError::wrapFailed();
  ensureSodium();
  Bytes out(message.size() + kSealOverhead);
  if (crypto_box_seal(out.data(), nonNull(message), message.size(), toX25519.data()) != 0) {
    throw VarnCryptoError::wrapFailed();
  }
  return out;
}

Bytes Crypto::wrap(std::span<const std::uint8_t> plaintext, std::span<const std::uint8_t> kek,
                   std::span<const std::uint8_t> aad) {
  if (kek.size() != kKeyBytes) throw VarnCryptoError::invalidInput();
  if (plaintext.size() > crypto_aead_xchacha20poly1305_ietf_MESSAGEBYTES_MAX - kWrapOverhead) {
    throw VarnCryptoError::wrapFailed();
  }
  ensureSodium();
  Bytes out(plaintext.size() + kWrapOverhead);
  randombytes_buf(out.data(), kNonceBytes);
  unsigned long long length = 0;
  if (crypto_aead_xchacha20poly1305_ietf_encrypt(
          out.data() + kNonceBytes, &length, nonNull(plaintext), plaintext.size(),
          aad.empty() ? nullptr : aad.data(), aad.size(), nullptr, out.data(), kek.data()) != 0) {
    throw VarnCryptoError::wrapFailed();
  }
  return out;
}

SecretBytes Crypto::unwrap(std::span<const std::uint8_t> envelope,
                           std::span<const std::uint8_t> kek, std::span<const std::uint8_t> aad) {
  if (kek.size() != kKeyBytes) throw VarnCryptoError::invalidInput();
  if (envelope.size() < kWrapOverhead) throw VarnCryptoError::decryptFailed();
  ensureSodium();
  SecretBytes out(envelope.size() - kWrapOverhead);
  unsigned long long length = 0;
  std::uint8_t empty = 0;
  if (crypto_aead_xchacha20poly1305_ietf_decrypt(
          out.empty() ? &empty : out.data(), &length, nullptr, envelope.data() + kNonceBytes,
          envelope.size() - kNonceBytes, aad.empty() ? nullptr : aad.data(), aad.size(),
          envelope.data(), kek.data()) != 0) {
    throw VarnCryptoError::decryptFailed();
  }
  return out;
}

std::array<std::uint8_t, Crypto::kItemAADBytes> Crypto::itemAAD(
    std::uint32_t version, const support::Uuid& itemID) noexcept {
  std::array<std::uint8_t, kItemAADBytes> aad{};
  aad[0] = static_cast<std::uint8_t>(version >> 24);
  aad[1] = static_cast<std::uint8_t>(version >> 16);
  aad[2] = static_cast<std::uint8_t>(version >> 8);
  aad[3] = static_cast<std::uint8_t>(version);
  std::copy(itemID.bytes().begin(), itemID.bytes().end(), aad.begin() + 4);
  return aad;
}

}  // namespace varn::crypto
