#include "crypto/vault/VaultCrypto.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <optional>
#include <string_view>
#include <thread>
#include <type_traits>

#include "crypto/vault/Crypto.hpp"
#include "crypto/vault/testing/Failure.hpp"
#include "crypto/vault/testing/SoftwareKeyStore.hpp"

namespace varn::crypto {
namespace {

using fakes::SoftwareKeyStore;
using support::Uuid;

using fakes::failureOf;

// Groups of 4 Base32 characters joined by `separator`, `groups` of them, the last `lastSize` long.
bool isGroupedBase32(std::string_view text, char separator, std::size_t groups,
                     std::size_t lastSize) {
  if (text.size() != (groups - 1) * 5 + lastSize) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool base32 = (c >= 'A' && c <= 'Z') || (c >= '2' && c <= '7');
    if (i % 5 == 4 ? c != separator : !base32) return false;
  }
  return true;
}

Bytes bytesOf(const SecretBytes& secret) {
  return Bytes(secret.data(), secret.data() + secret.size());
}

// A vault made from the primitives without Argon2id, unlockable by prf: tests that need many
// unlocks or two distinct vaults use it.
struct PrfVault {
  SecretBytes dek = Crypto::randomSecret(32);
  Crypto::AccountKeypair pair = Crypto::generateAccountKeypair();
  Bytes output = Crypto::randomBytes(32);
  KdfParams kdf = KdfParams::hkdfSha256(Crypto::randomBytes(16), "test-info");
  std::vector<WrappedKey> keys;
  Bytes wrappedPriv;

  PrfVault() {
    const SecretBytes kek =
        Crypto::hkdfSha256(output, kdf.salt, Bytes{'t', 'e', 's', 't', '-', 'i', 'n', 'f', 'o'});
    keys.push_back(WrappedKey{UnlockMethod::prf, kdf, Crypto::wrap(dek, kek)});
    wrappedPriv = Crypto::wrap(
        AccountPrivateKeys{pair.x25519Pub, pair.x25519Priv, pair.ed25519Pub, pair.ed25519Priv}
            .toSecretJson(),
        dek);
  }
  UnlockInput input() const { return UnlockInput::prf(output, kdf); }
};

// One vault with an escrow phrase, made once: each creation costs three Argon2id derivations.
class VaultCryptoTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    vault_ = new NewVault(VaultCrypto::createVault("pässword", true));
  }
  static void TearDownTestSuite() {
    delete vault_;
    vault_ = nullptr;
  }
  static const NewVault& vault() { return *vault_; }

  static NewVault* vault_;
};
NewVault* VaultCryptoTest::vault_ = nullptr;

// The recovery code and the escrow phrase each open the vault key, so they are wiped when dropped.
static_assert(std::is_same_v<decltype(NewVault::recoveryCode), SecretBytes>);
static_assert(std::is_same_v<decltype(NewVault::recoveryPhrase), std::optional<SecretBytes>>);

TEST_F(VaultCryptoTest, CreatedVaultHoldsThreeEntriesWithOwnSaltsAndWellFormedCodes) {
  const NewVault& v = vault();
  ASSERT_EQ(v.wrappedKeys.size(), 3u);
  const UnlockMethod methods[] = {UnlockMethod::passphrase, UnlockMethod::recoveryCode,
                                  UnlockMethod::escrow};
  for (std::size_t i = 0; i < 3; ++i) {
    const WrappedKey& key = v.wrappedKeys[i];
    EXPECT_EQ(key.method, methods[i]);
    ASSERT_TRUE(key.kdfParams.has_value());
    EXPECT_EQ(*key.kdfParams, KdfParams::argon2id(key.kdfParams->salt, 65536, 3, 4));
    EXPECT_EQ(key.kdfParams->salt.size(), 16u);
    EXPECT_EQ(key.wrapped.size(), 72u);
  }
  EXPECT_NE(v.wrappedKeys[0].kdfParams->salt, v.wrappedKeys[1].kdfParams->salt);
  EXPECT_NE(v.wrappedKeys[1].kdfParams->salt, v.wrappedKeys[2].kdfParams->salt);
  EXPECT_TRUE(isGroupedBase32(v.recoveryCode.text(), '-', 8, 4));
  ASSERT_TRUE(v.recoveryPhrase.has_value());
  EXPECT_TRUE(isGroupedBase32(v.recoveryPhrase->text(), ' ', 13, 4));
  EXPECT_TRUE(v.recoveryPhrase->text().back() == 'A' || v.recoveryPhrase->text().back() == 'Q');
  EXPECT_EQ(v.accountPublicKeys.fingerprint,
            Crypto::fingerprint(v.accountPublicKeys.x25519, v.accountPublicKeys.ed25519));
  // The private keys' JSON (four Base64 values of 32, 32, 32 and 64 bytes) in an envelope.
  const std::string emptyJson =
      R"({"x25519Pub":"","x25519Priv":"","ed25519Pub":"","ed25519Priv":""})";
  EXPECT_EQ(v.wrappedAccountPrivKeys.size(), emptyJson.size() + 3 * 44 + 88 + 40);
}

TEST_F(VaultCryptoTest, UnlocksByPassphraseRecoveryCodeAndEscrowAndKeepsStateOnWrongSecrets) {
  const NewVault& v = vault();
  std::string typedCode;  // lower case, no dashes
  for (char c : v.recoveryCode.text()) {
    if (c != '-') typedCode += static_cast<char>(std::tolower(c));
  }
  std::string phraseWithDashes(v.recoveryPhrase->text());
  std::replace(phraseWithDashes.begin(), phraseWithDashes.end(), ' ', '-');
  VaultCrypto crypto;
  EXPECT_EQ(failureOf([&] {
              crypto.unlock(v.wrappedKeys, v.wrappedAccountPrivKeys,
                            UnlockInput::passphrase("passwörd"));
            }),
            "decryptFailed");
  EXPECT_FALSE(crypto.isUnlocked());
  for (const UnlockInput& input :
       {UnlockInput::passphrase("pässword"), UnlockInput::recoveryCode(typedCode),
        UnlockInput::escrow(phraseWithDashes)}) {
    crypto.lock();
    crypto.unlock(v.wrappedKeys, v.wrappedAccountPrivKeys, input);
    ASSERT_TRUE(crypto.isUnlocked());
    const Bytes sealed = Crypto::seal(Bytes{1, 2, 3}, v.accountPublicKeys.x25519);
    EXPECT_EQ(bytesOf(crypto.openSealedCollectionKey(sealed)), (Bytes{1, 2, 3}));
  }
  // A wrong secret leaves an unlocked vault unlocked with its old keys.
  const Bytes wrapped = crypto.wrapCollectionKeyToSelf(Bytes(32, 7));
  EXPECT_EQ(failureOf([&] {
              crypto.unlock(v.wrappedKeys, v.wrappedAccountPrivKeys,
                            UnlockInput::recoveryCode("AAAA-" + typedCode.substr(4)));
            }),
            "decryptFailed");
  EXPECT_EQ(bytesOf(crypto.unwrapCollectionKey(wrapped)), Bytes(32, 7));
}

TEST_F(VaultCryptoTest, UnlockRequestsThatCannotBeServed) {
  const NewVault& v = vault();
  WrappedKey bare = v.wrappedKeys[0];
  bare.kdfParams.reset();
  WrappedKey hostile = v.wrappedKeys[0];
  hostile.kdfParams->memoryKiB = std::int64_t{1} << 40;
  const std::vector<WrappedKey> onlyCodes(v.wrappedKeys.begin() + 1, v.wrappedKeys.end());
  const std::vector<WrappedKey> bareFirst = {bare, v.wrappedKeys[0]};
  const std::vector<WrappedKey> hostileFirst = {hostile, v.wrappedKeys[0]};
  const UnlockInput passphrase = UnlockInput::passphrase("pässword");
  VaultCrypto crypto;
  struct Case {
    const char* what;
    std::function<void()> call;
    const char* error;
  } cases[] = {
      {"no passphrase entry",
       [&] { crypto.unlock(onlyCodes, v.wrappedAccountPrivKeys, passphrase); }, "invalidInput"},
      {"entry without parameters, only the first is tried",
       [&] { crypto.unlock(bareFirst, v.wrappedAccountPrivKeys, passphrase); }, "invalidInput"},
      {"hostile parameters",
       [&] { crypto.unlock(hostileFirst, v.wrappedAccountPrivKeys, passphrase); }, "kdfFailed"},
      {"no prf entry",
       [&] {
         crypto.unlock(v.wrappedKeys, v.wrappedAccountPrivKeys,
                       UnlockInput::prf(Bytes{1}, KdfParams{}));
       },
       "invalidInput"},
      {"altered private keys",
       [&] {
         Bytes altered = v.wrappedAccountPrivKeys;
         altered.back() ^= 1;
         crypto.unlock(v.wrappedKeys, altered, passphrase);
       },
       "decryptFailed"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(failureOf(c.call), c.error) << c.what;
    EXPECT_FALSE(crypto.isUnlocked()) << c.what;
  }
}

TEST(VaultCryptoPrfTest, PrfEntriesUseTheirInfoAndPrivateKeysMustBeTheirJson) {
  PrfVault prf;
  VaultCrypto crypto;
  crypto.unlock(prf.keys, prf.wrappedPriv, prf.input());
  // An entry made without info uses the default label, and opens only without info again.
  KdfParams noInfo = prf.kdf;
  noInfo.info.reset();
  const WrappedKey added = crypto.addUnlockMethod(UnlockInput::prf(prf.output, noInfo));
  EXPECT_EQ(added.kdfParams, noInfo);
  const SecretBytes kek = Crypto::hkdfSha256(
      prf.output, prf.kdf.salt,
      Bytes{'v', 'a', 'r', 'n', '/', 'p', 'r', 'f', '-', 'k', 'e', 'k', '/', 'v', '1'});
  EXPECT_EQ(Crypto::unwrap(added.wrapped, kek), prf.dek);
  VaultCrypto other;
  other.unlock({added}, prf.wrappedPriv, UnlockInput::prf(prf.output, noInfo));
  EXPECT_EQ(failureOf([&] { other.unlock({added}, prf.wrappedPriv, prf.input()); }),
            "decryptFailed");
  EXPECT_EQ(failureOf([&] {
              other.unlock(prf.keys, Crypto::wrap(Bytes{'{', '}'}, prf.dek), prf.input());
            }),
            R"(JsonDecodeError: missing required key "x25519Pub")");
}

TEST(VaultCryptoStoreTest, SecureEnclaveUnlockAndAddThroughTheStore) {
  PrfVault prf;
  auto store = std::make_shared<SoftwareKeyStore>(/*hasKeyAtStart=*/false);
  VaultCrypto crypto(store);
  EXPECT_EQ(failureOf([&] { (void)crypto.addUnlockMethod(UnlockInput::secureEnclave()); }),
            "notUnlocked");
  crypto.unlock(prf.keys, prf.wrappedPriv, prf.input());
  const WrappedKey entry = crypto.addUnlockMethod(UnlockInput::secureEnclave());
  EXPECT_EQ(store->createKeyCalls, 1);
  EXPECT_EQ(entry.method, UnlockMethod::secureEnclave);
  EXPECT_FALSE(entry.kdfParams.has_value());
  (void)crypto.addUnlockMethod(UnlockInput::secureEnclave());
  EXPECT_EQ(store->createKeyCalls, 1);  // the key exists now

  VaultCrypto fresh(store);
  const std::vector<WrappedKey> keys = {prf.keys[0], entry};
  fresh.unlock(keys, prf.wrappedPriv, UnlockInput::secureEnclave());
  EXPECT_TRUE(fresh.isUnlocked());
  fresh.lock();
  store->unwrapSize = 31;  // a store that hands back a 31-byte key
  EXPECT_EQ(failureOf([&] { fresh.unlock(keys, prf.wrappedPriv, UnlockInput::secureEnclave()); }),
            "invalidInput");
  EXPECT_FALSE(fresh.isUnlocked());
  store->unwrapSize = 32;
  store->failing = true;
  EXPECT_EQ(failureOf([&] { fresh.unlock(keys, prf.wrappedPriv, UnlockInput::secureEnclave()); }),
            "StoreFailure");
  EXPECT_EQ(failureOf([&] { (void)crypto.addUnlockMethod(UnlockInput::secureEnclave()); }),
            "StoreFailure");
  VaultCrypto noStore;
  EXPECT_EQ(failureOf([&] { noStore.unlock(keys, prf.wrappedPriv, UnlockInput::secureEnclave()); }),
            "invalidInput");
  noStore.unlock(keys, prf.wrappedPriv, prf.input());
  EXPECT_EQ(failureOf([&] { (void)noStore.addUnlockMethod(UnlockInput::secureEnclave()); }),
            "invalidInput");
  EXPECT_EQ(failureOf([&] {
              noStore.unlock({prf.keys[0]}, prf.wrappedPriv, UnlockInput::secureEnclave());
            }),
            "invalidInput");
}

TEST_F(VaultCryptoTest, AddedPassphraseEntryUnlocksAFreshActor) {
  const NewVault& v = vault();
  VaultCrypto crypto;
  crypto.unlock(v.wrappedKeys, v.wrappedAccountPrivKeys,
                UnlockInput::escrow(v.recoveryPhrase->text()));
  std::vector<WrappedKey> keys = {crypto.addUnlockMethod(UnlockInput::passphrase("second"))};
  EXPECT_NE(keys[0].kdfParams->salt, v.wrappedKeys[0].kdfParams->salt);
  VaultCrypto fresh;
  fresh.unlock(keys, v.wrappedAccountPrivKeys, UnlockInput::passphrase("second"));
  EXPECT_TRUE(fresh.isUnlocked());
  fresh.lock();
  EXPECT_FALSE(fresh.isUnlocked());
  EXPECT_EQ(failureOf([&] { (void)fresh.addUnlockMethod(UnlockInput::passphrase("x")); }),
            "notUnlocked");
}

// --- collection keys, items, grants -------------------------------------------------------------

class VaultCryptoKeysTest : public ::testing::Test {
 protected:
  void SetUp() override { crypto.unlock(prf.keys, prf.wrappedPriv, prf.input()); }

  PrfVault prf;
  VaultCrypto crypto;
  const Uuid item = *Uuid::parse("00112233-4455-6677-8899-AABBCCDDEEFF");
  const Uuid collection = Uuid::random();
  const Uuid org = Uuid::random();
};

TEST_F(VaultCryptoKeysTest, EveryStatefulOperationNeedsTheUnlockedState) {
  const SecretBytes key = crypto.newCollectionKey();
  const Bytes wrapped = crypto.wrapCollectionKeyToSelf(key);
  const Bytes sealed = crypto.sealCollectionKey(key, prf.pair.x25519Pub);
  const EncryptedItem encrypted = crypto.encryptItem(Bytes(5, 1), item, key);
  crypto.lock();
  const std::function<void()> needsState[] = {
      [&] { (void)crypto.newCollectionKey(); },
      [&] { (void)crypto.wrapCollectionKeyToSelf(key); },
      [&] { (void)crypto.unwrapCollectionKey(wrapped); },
      [&] { (void)crypto.sealCollectionKey(key, Bytes(31)); },  // locked is checked first
      [&] { (void)crypto.openSealedCollectionKey(sealed); },
      [&] { (void)crypto.signGrant(collection, 1, key, prf.pair.x25519Pub, org); },
  };
  for (const auto& call : needsState) EXPECT_EQ(failureOf(call), "notUnlocked");
  // Item operations need no state.
  EXPECT_EQ(bytesOf(crypto.decryptItem(encrypted.blob, item, encrypted.wrappedItemKey, key)),
            Bytes(5, 1));
  EXPECT_EQ(crypto.rewrapItemKey(encrypted.wrappedItemKey, key, Bytes(32, 9)).size(), 72u);
  EXPECT_EQ(crypto.encryptItem({}, item, key).blob.bytes.size(), 40u);
}

TEST_F(VaultCryptoKeysTest, SizesAndRoundTrips) {
  const SecretBytes key = crypto.newCollectionKey();
  ASSERT_EQ(key.size(), 32u);
  const Bytes wrapped = crypto.wrapCollectionKeyToSelf(key);
  EXPECT_EQ(wrapped.size(), 72u);
  EXPECT_EQ(crypto.unwrapCollectionKey(wrapped), key);
  const Bytes sealed = crypto.sealCollectionKey(key, prf.pair.x25519Pub);
  EXPECT_EQ(sealed.size(), 80u);
  EXPECT_EQ(crypto.openSealedCollectionKey(sealed), key);
  for (std::size_t n : {0u, 1u, 1024u}) {
    const EncryptedItem e = crypto.encryptItem(Bytes(n, 3), item, key);
    EXPECT_EQ(e.blob.v, 1);
    EXPECT_EQ(e.blob.bytes.size(), n + 40);
    EXPECT_EQ(e.wrappedItemKey.size(), 72u);
    EXPECT_EQ(bytesOf(crypto.decryptItem(e.blob, item, e.wrappedItemKey, key)), Bytes(n, 3));
  }
  // The body is bound to the item-AAD of version 1 and the item's UUID.
  const EncryptedItem e = crypto.encryptItem(Bytes{42}, item, key);
  const SecretBytes itemKey = Crypto::unwrap(e.wrappedItemKey, key);
  EXPECT_EQ(bytesOf(Crypto::unwrap(e.blob.bytes, itemKey, Crypto::itemAAD(1, item))), Bytes{42});
}

TEST_F(VaultCryptoKeysTest, BadInputFailsWithItsCase) {
  const SecretBytes key = crypto.newCollectionKey();
  const SecretBytes otherKey = crypto.newCollectionKey();
  const EncryptedItem e = crypto.encryptItem(Bytes{1, 2}, item, key);
  const Bytes rewrapped = crypto.rewrapItemKey(e.wrappedItemKey, key, otherKey);
  EXPECT_EQ(bytesOf(crypto.decryptItem(e.blob, item, rewrapped, otherKey)), (Bytes{1, 2}));
  PrfVault stranger;
  const Bytes sealedToStranger = Crypto::seal(key, stranger.pair.x25519Pub);
  struct Case {
    const char* what;
    std::function<void()> call;
    const char* error;
  } cases[] = {
      {"version 0, wrong key too",
       [&] {
         (void)crypto.decryptItem({0, e.blob.bytes}, item, e.wrappedItemKey, Bytes(3));
       },
       "badEnvelopeVersion(0)"},
      {"version 2",
       [&] {
         (void)crypto.decryptItem({2, e.blob.bytes}, item, e.wrappedItemKey, key);
       },
       "badEnvelopeVersion(2)"},
      {"another item's UUID",
       [&] { (void)crypto.decryptItem(e.blob, collection, e.wrappedItemKey, key); },
       "decryptFailed"},
      {"old key after rewrap", [&] { (void)crypto.decryptItem(e.blob, item, rewrapped, key); },
       "decryptFailed"},
      {"31-byte collection key", [&] { (void)crypto.encryptItem(Bytes{1}, item, Bytes(31)); },
       "invalidInput"},
      {"33-byte collection key",
       [&] { (void)crypto.decryptItem(e.blob, item, e.wrappedItemKey, Bytes(33)); },
       "invalidInput"},
      {"31-byte recipient", [&] { (void)crypto.sealCollectionKey(key, Bytes(31)); }, "wrapFailed"},
      {"box for another account", [&] { (void)crypto.openSealedCollectionKey(sealedToStranger); },
       "decryptFailed"},
      {"truncated box", [&] { (void)crypto.openSealedCollectionKey(Bytes(47)); }, "decryptFailed"},
      {"altered wrapped key",
       [&] {
         Bytes w = crypto.wrapCollectionKeyToSelf(key);
         w[30] ^= 4;
         (void)crypto.unwrapCollectionKey(w);
       },
       "decryptFailed"},
  };
  for (const Case& c : cases) EXPECT_EQ(failureOf(c.call), c.error) << c.what;
}

TEST_F(VaultCryptoKeysTest, GrantVerifiesOnlyWithExactlyItsFields) {
  const SecretBytes key = crypto.newCollectionKey();
  const Bytes recipient = Crypto::generateAccountKeypair().x25519Pub;
  const Bytes signature = crypto.signGrant(collection, 1, key, recipient, org);
  ASSERT_EQ(signature.size(), 64u);
  const Bytes& granter = prf.pair.ed25519Pub;
  EXPECT_TRUE(VaultCrypto::verifyGrant(signature, collection, 1, key, recipient, org, granter));
  Bytes altered = signature;
  altered[10] ^= 1;
  const struct {
    const char* what;
    bool verified;
  } cases[] = {
      {"epoch 2", VaultCrypto::verifyGrant(signature, collection, 2, key, recipient, org, granter)},
      {"swapped UUIDs",
       VaultCrypto::verifyGrant(signature, org, 1, key, recipient, collection, granter)},
      {"other key",
       VaultCrypto::verifyGrant(signature, collection, 1, Bytes(32), recipient, org, granter)},
      {"other recipient",
       VaultCrypto::verifyGrant(signature, collection, 1, key, Bytes(32), org, granter)},
      {"other granter", VaultCrypto::verifyGrant(signature, collection, 1, key, recipient, org,
                                                 Crypto::generateAccountKeypair().ed25519Pub)},
      {"altered signature",
       VaultCrypto::verifyGrant(altered, collection, 1, key, recipient, org, granter)},
      {"short signature", VaultCrypto::verifyGrant(std::span(signature).first(63), collection, 1,
                                                   key, recipient, org, granter)},
      {"short granter key", VaultCrypto::verifyGrant(signature, collection, 1, key, recipient, org,
                                                     std::span(granter).first(31))},
  };
  for (const auto& c : cases) EXPECT_FALSE(c.verified) << c.what;
  EXPECT_EQ(VaultCrypto::fingerprint({}, {}), "E3B0 C442 98FC 1C14 9AFB");
}

// Threads unlock with one of two vaults, lock, and use the state at once: every operation sees
// the state of one whole unlock (or none), never a mix.
TEST(VaultCryptoConcurrencyTest, UnlockAndLockFromSeveralThreads) {
  const PrfVault a, b;
  VaultCrypto crypto;
  const Bytes key(32, 5);
  const Bytes sealedToA = Crypto::seal(key, a.pair.x25519Pub);
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        try {
          switch ((t + i) % 4) {
            case 0:
              crypto.unlock(a.keys, a.wrappedPriv, a.input());
              break;
            case 1:
              crypto.unlock(b.keys, b.wrappedPriv, b.input());
              break;
            case 2:
              crypto.lock();
              break;
            default: {
              const Bytes wrapped = crypto.wrapCollectionKeyToSelf(key);
              const bool underA =
                  failureOf([&] { (void)Crypto::unwrap(wrapped, a.dek); }) == "none";
              const bool underB =
                  failureOf([&] { (void)Crypto::unwrap(wrapped, b.dek); }) == "none";
              if (underA == underB) ++bad;
              try {
                if (crypto.openSealedCollectionKey(sealedToA) != SecretBytes(key)) ++bad;
              } catch (const VarnCryptoError& error) {
                if (error.errorCase() == VarnCryptoError::Case::invalidInput) ++bad;
              }
            }
          }
        } catch (const VarnCryptoError& error) {
          if (error.errorCase() != VarnCryptoError::Case::notUnlocked) ++bad;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(bad, 0);
}

}  // namespace
}  // namespace varn::crypto
