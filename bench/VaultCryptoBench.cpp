// The vault cryptography beside libsodium called directly in the same run (the floor): wrap and
// unwrap of 32 bytes and of 64 KiB, seal and open of a collection key, grant sign and verify,
// item encrypt and decrypt of 1 KiB, and a full unlock by passphrase with the library's own
// Argon2id parameters against crypto_pwhash alone. Goal: every operation within 1.3x of its floor
// (the wrappers add no copies that matter), the unlock within 1.05x of crypto_pwhash.
//
//   vault_crypto_bench [--benchmark_filter=...]
//
// Pairs are named <Operation>/Library and <Operation>/Floor.

#include <sodium.h>

#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <vector>

#include "crypto/vault/Crypto.hpp"
#include "crypto/vault/VaultCrypto.hpp"

namespace {

using varn::crypto::AccountPrivateKeys;
using varn::crypto::Bytes;
using varn::crypto::Crypto;
using varn::crypto::EncryptedItem;
using varn::crypto::KdfParams;
using varn::crypto::SecretBytes;
using varn::crypto::UnlockInput;
using varn::crypto::UnlockMethod;
using varn::crypto::VaultCrypto;
using varn::crypto::WrappedKey;
using varn::support::Uuid;

constexpr std::size_t kNonce = crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;
constexpr std::size_t kTag = crypto_aead_xchacha20poly1305_ietf_ABYTES;

// A libsodium call of a floor must succeed, or its figure means nothing.
void ok(benchmark::State& state, int result) {
  if (result != 0) state.SkipWithError("libsodium failed");
}

// An unlocked vault (made from the primitives, so setting it up costs no Argon2id).
struct Fixture {
  SecretBytes dek = Crypto::randomSecret(32);
  Crypto::AccountKeypair pair = Crypto::generateAccountKeypair();
  Bytes prfOutput = Crypto::randomBytes(32);
  KdfParams prf = KdfParams::hkdfSha256(Crypto::randomBytes(16), "bench");
  Bytes wrappedPriv;
  VaultCrypto crypto;

  Fixture() {
    const SecretBytes kek = Crypto::hkdfSha256(prfOutput, prf.salt, Bytes{'b', 'e', 'n', 'c', 'h'});
    wrappedPriv = Crypto::wrap(
        AccountPrivateKeys{pair.x25519Pub, pair.x25519Priv, pair.ed25519Pub, pair.ed25519Priv}
            .toSecretJson(),
        dek);
    crypto.unlock({WrappedKey{UnlockMethod::prf, prf, Crypto::wrap(dek, kek)}}, wrappedPriv,
                  UnlockInput::prf(prfOutput, prf));
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

// --- wrap and unwrap ---------------------------------------------------------------------------

void Wrap_Library(benchmark::State& state) {
  const Bytes plain(static_cast<std::size_t>(state.range(0)), 7);
  const SecretBytes kek = Crypto::randomSecret(32);
  for (auto _ : state) benchmark::DoNotOptimize(Crypto::wrap(plain, kek));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void Wrap_Floor(benchmark::State& state) {
  const Bytes plain(static_cast<std::size_t>(state.range(0)), 7);
  const SecretBytes kek = Crypto::randomSecret(32);
  Bytes out(plain.size() + kNonce + kTag);
  for (auto _ : state) {
    randombytes_buf(out.data(), kNonce);
    unsigned long long length = 0;
    ok(state, crypto_aead_xchacha20poly1305_ietf_encrypt(out.data() + kNonce, &length, plain.data(),
                                                         plain.size(), nullptr, 0, nullptr,
                                                         out.data(), kek.data()));
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void Unwrap_Library(benchmark::State& state) {
  const SecretBytes kek = Crypto::randomSecret(32);
  const Bytes envelope = Crypto::wrap(Bytes(static_cast<std::size_t>(state.range(0)), 7), kek);
  for (auto _ : state) benchmark::DoNotOptimize(Crypto::unwrap(envelope, kek));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void Unwrap_Floor(benchmark::State& state) {
  const SecretBytes kek = Crypto::randomSecret(32);
  const Bytes envelope = Crypto::wrap(Bytes(static_cast<std::size_t>(state.range(0)), 7), kek);
  Bytes out(envelope.size() - kNonce - kTag);
  for (auto _ : state) {
    unsigned long long length = 0;
    ok(state, crypto_aead_xchacha20poly1305_ietf_decrypt(
                  out.data(), &length, nullptr, envelope.data() + kNonce, envelope.size() - kNonce,
                  nullptr, 0, envelope.data(), kek.data()));
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

BENCHMARK(Wrap_Library)->Arg(32)->Arg(64 * 1024);
BENCHMARK(Wrap_Floor)->Arg(32)->Arg(64 * 1024);
BENCHMARK(Unwrap_Library)->Arg(32)->Arg(64 * 1024);
BENCHMARK(Unwrap_Floor)->Arg(32)->Arg(64 * 1024);

// --- sealed collection keys --------------------------------------------------------------------

void Seal_Library(benchmark::State& state) {
  Fixture& f = fixture();
  const SecretBytes key = Crypto::randomSecret(32);
  for (auto _ : state) benchmark::DoNotOptimize(f.crypto.sealCollectionKey(key, f.pair.x25519Pub));
}

void Seal_Floor(benchmark::State& state) {
  Fixture& f = fixture();
  const SecretBytes key = Crypto::randomSecret(32);
  std::array<std::uint8_t, 32 + crypto_box_SEALBYTES> out{};
  for (auto _ : state) {
    ok(state, crypto_box_seal(out.data(), key.data(), key.size(), f.pair.x25519Pub.data()));
    benchmark::DoNotOptimize(out.data());
  }
}

void Open_Library(benchmark::State& state) {
  Fixture& f = fixture();
  const Bytes sealed = Crypto::seal(Crypto::randomSecret(32), f.pair.x25519Pub);
  for (auto _ : state) benchmark::DoNotOptimize(f.crypto.openSealedCollectionKey(sealed));
}

void Open_Floor(benchmark::State& state) {
  Fixture& f = fixture();
  const Bytes sealed = Crypto::seal(Crypto::randomSecret(32), f.pair.x25519Pub);
  std::array<std::uint8_t, 32> out{};
  for (auto _ : state) {
    ok(state, crypto_box_seal_open(out.data(), sealed.data(), sealed.size(),
                                   f.pair.x25519Pub.data(), f.pair.x25519Priv.data()));
    benchmark::DoNotOptimize(out.data());
  }
}

BENCHMARK(Seal_Library);
BENCHMARK(Seal_Floor);
BENCHMARK(Open_Library);
BENCHMARK(Open_Floor);

// --- grants -----------------------------------------------------------------------------------

const Uuid kCollection = Uuid::random();
const Uuid kOrg = Uuid::random();

// The floor signs and verifies a prebuilt 100-byte message.
Bytes floorMessage(const SecretBytes& key, const Bytes& recipient) {
  Bytes message(kCollection.bytes().begin(), kCollection.bytes().end());
  message.insert(message.end(), {0, 0, 0, 1});
  const auto digest = Crypto::sha256(key);
  message.insert(message.end(), digest.begin(), digest.end());
  message.insert(message.end(), recipient.begin(), recipient.end());
  message.insert(message.end(), kOrg.bytes().begin(), kOrg.bytes().end());
  return message;
}

void Sign_Library(benchmark::State& state) {
  Fixture& f = fixture();
  const SecretBytes key = Crypto::randomSecret(32);
  for (auto _ : state) {
    benchmark::DoNotOptimize(f.crypto.signGrant(kCollection, 1, key, f.pair.x25519Pub, kOrg));
  }
}

void Sign_Floor(benchmark::State& state) {
  Fixture& f = fixture();
  const Bytes message = floorMessage(Crypto::randomSecret(32), f.pair.x25519Pub);
  std::array<std::uint8_t, crypto_sign_BYTES> signature{};
  for (auto _ : state) {
    ok(state, crypto_sign_detached(signature.data(), nullptr, message.data(), message.size(),
                                   f.pair.ed25519Priv.data()));
    benchmark::DoNotOptimize(signature.data());
  }
}

void Verify_Library(benchmark::State& state) {
  Fixture& f = fixture();
  const SecretBytes key = Crypto::randomSecret(32);
  const Bytes signature = f.crypto.signGrant(kCollection, 1, key, f.pair.x25519Pub, kOrg);
  for (auto _ : state) {
    benchmark::DoNotOptimize(VaultCrypto::verifyGrant(signature, kCollection, 1, key,
                                                      f.pair.x25519Pub, kOrg, f.pair.ed25519Pub));
  }
}

void Verify_Floor(benchmark::State& state) {
  Fixture& f = fixture();
  const SecretBytes key = Crypto::randomSecret(32);
  const Bytes message = floorMessage(key, f.pair.x25519Pub);
  const Bytes signature = f.crypto.signGrant(kCollection, 1, key, f.pair.x25519Pub, kOrg);
  for (auto _ : state) {
    benchmark::DoNotOptimize(crypto_sign_verify_detached(signature.data(), message.data(),
                                                         message.size(), f.pair.ed25519Pub.data()));
  }
}

BENCHMARK(Sign_Library);
BENCHMARK(Sign_Floor);
BENCHMARK(Verify_Library);
BENCHMARK(Verify_Floor);

// --- items: a fresh item key, the body under it, the item key under the collection key ----------

void EncryptItem_Library(benchmark::State& state) {
  Fixture& f = fixture();
  const SecretBytes collectionKey = Crypto::randomSecret(32);
  const Bytes body(1024, 3);
  for (auto _ : state)
    benchmark::DoNotOptimize(f.crypto.encryptItem(body, kCollection, collectionKey));
}

void EncryptItem_Floor(benchmark::State& state) {
  const SecretBytes collectionKey = Crypto::randomSecret(32);
  const Bytes body(1024, 3);
  const auto aad = Crypto::itemAAD(1, kCollection);
  std::array<std::uint8_t, 32> itemKey{};
  Bytes blob(body.size() + kNonce + kTag);
  std::array<std::uint8_t, 32 + kNonce + kTag> wrappedKey{};
  for (auto _ : state) {
    randombytes_buf(itemKey.data(), itemKey.size());
    randombytes_buf(blob.data(), kNonce);
    ok(state, crypto_aead_xchacha20poly1305_ietf_encrypt(blob.data() + kNonce, nullptr, body.data(),
                                                         body.size(), aad.data(), aad.size(),
                                                         nullptr, blob.data(), itemKey.data()));
    randombytes_buf(wrappedKey.data(), kNonce);
    ok(state, crypto_aead_xchacha20poly1305_ietf_encrypt(
                  wrappedKey.data() + kNonce, nullptr, itemKey.data(), itemKey.size(), nullptr, 0,
                  nullptr, wrappedKey.data(), collectionKey.data()));
    benchmark::DoNotOptimize(blob.data());
    benchmark::DoNotOptimize(wrappedKey.data());
  }
}

void DecryptItem_Library(benchmark::State& state) {
  Fixture& f = fixture();
  const SecretBytes collectionKey = Crypto::randomSecret(32);
  const EncryptedItem item = f.crypto.encryptItem(Bytes(1024, 3), kCollection, collectionKey);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        f.crypto.decryptItem(item.blob, kCollection, item.wrappedItemKey, collectionKey));
  }
}

void DecryptItem_Floor(benchmark::State& state) {
  Fixture& f = fixture();
  const SecretBytes collectionKey = Crypto::randomSecret(32);
  const EncryptedItem item = f.crypto.encryptItem(Bytes(1024, 3), kCollection, collectionKey);
  const auto aad = Crypto::itemAAD(1, kCollection);
  std::array<std::uint8_t, 32> itemKey{};
  Bytes body(1024);
  const Bytes& w = item.wrappedItemKey;
  const Bytes& b = item.blob.bytes;
  for (auto _ : state) {
    ok(state, crypto_aead_xchacha20poly1305_ietf_decrypt(
                  itemKey.data(), nullptr, nullptr, w.data() + kNonce, w.size() - kNonce, nullptr,
                  0, w.data(), collectionKey.data()));
    ok(state, crypto_aead_xchacha20poly1305_ietf_decrypt(
                  body.data(), nullptr, nullptr, b.data() + kNonce, b.size() - kNonce, aad.data(),
                  aad.size(), b.data(), itemKey.data()));
    benchmark::DoNotOptimize(body.data());
  }
}

BENCHMARK(EncryptItem_Library);
BENCHMARK(EncryptItem_Floor);
BENCHMARK(DecryptItem_Library);
BENCHMARK(DecryptItem_Floor);

// --- unlock by passphrase ----------------------------------------------------------------------

void UnlockPassphrase_Library(benchmark::State& state) {
  static const varn::crypto::NewVault vault = VaultCrypto::createVault("bench passphrase", false);
  VaultCrypto crypto;
  const UnlockInput input = UnlockInput::passphrase("bench passphrase");
  for (auto _ : state) crypto.unlock(vault.wrappedKeys, vault.wrappedAccountPrivKeys, input);
}

void UnlockPassphrase_Floor(benchmark::State& state) {
  const Bytes salt = Crypto::randomBytes(crypto_pwhash_SALTBYTES);
  const char passphrase[] = "bench passphrase";
  std::array<std::uint8_t, 32> key{};
  for (auto _ : state) {
    ok(state, crypto_pwhash(key.data(), key.size(), passphrase, sizeof passphrase - 1, salt.data(),
                            VaultCrypto::kArgon2Iterations,
                            static_cast<std::size_t>(VaultCrypto::kArgon2MemoryKiB) * 1024,
                            crypto_pwhash_ALG_ARGON2ID13));
    benchmark::DoNotOptimize(key.data());
  }
}

BENCHMARK(UnlockPassphrase_Library)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(UnlockPassphrase_Floor)->Unit(benchmark::kMillisecond)->MinTime(3.0);

}  // namespace

BENCHMARK_MAIN();
