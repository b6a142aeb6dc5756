// The C++ side of the cross-check of libVarnCrypto against other libsodium and NaCl
// implementations (tests/crypto/cross-check.mjs). Two commands, JSON on standard input and output,
// bytes as padded standard Base64:
//
//   crypto_oracle produce    writes what our library makes: a sealed box, a signed grant, an
//                            envelope with associated data, an encrypted item, Argon2id keys, and
//                            the state of an unlocked vault for the consume step
//   crypto_oracle consume    reads what the other side made with that state (a sealed box to the
//                            vault's account, an envelope, an item, a grant) and reports, per
//                            check, what our library made of it
//
// Test data only: every key here is made for the run and printed on purpose.

#include <iostream>
#include <iterator>
#include <string>

#include "crypto/vault/Crypto.hpp"
#include "crypto/vault/VaultCrypto.hpp"

namespace {

using namespace varn::crypto;
using varn::support::Json;
using varn::support::OrderedJson;
using varn::support::Uuid;

std::string b64(std::span<const std::uint8_t> bytes) {
  return Base64::encode(bytes);
}

Bytes bytes(const Json& object, const char* key) {
  std::optional<Bytes> decoded = Base64::decode(object.at(key).get<std::string>());
  if (!decoded) throw std::runtime_error(std::string("bad Base64 in ") + key);
  return *decoded;
}

Bytes textBytes(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

OrderedJson produce() {
  OrderedJson out;
  const Uuid collection = Uuid::random();
  const Uuid org = Uuid::random();
  const Uuid item = Uuid::random();

  // A vault unlockable by prf, so the consume step can unlock it again without Argon2id.
  const SecretBytes dek = Crypto::randomSecret(32);
  const Crypto::AccountKeypair pair = Crypto::generateAccountKeypair();
  const Bytes prfOutput = Crypto::randomBytes(32);
  const KdfParams kdf = KdfParams::hkdfSha256(Crypto::randomBytes(16), "cross-check");
  VaultCrypto crypto;
  {
    // Bootstrap the prf entry through the library itself: unlock needs an entry, so the first
    // entry is made from the primitives, then addUnlockMethod makes the one we hand out.
    const std::string info = *kdf.info;
    const SecretBytes kek = Crypto::hkdfSha256(prfOutput, kdf.salt, textBytes(info));
    const std::vector<WrappedKey> bootstrap = {
        WrappedKey{UnlockMethod::prf, kdf, Crypto::wrap(dek, kek)}};
    const Bytes wrappedPriv = Crypto::wrap(
        AccountPrivateKeys{pair.x25519Pub, pair.x25519Priv, pair.ed25519Pub, pair.ed25519Priv}
            .toSecretJson(),
        dek);
    crypto.unlock(bootstrap, wrappedPriv, UnlockInput::prf(prfOutput, kdf));
    out["vault"] = {
        {"wrappedKeys", Json::parse(varn::support::dumpCompact(varn::support::encodeRecord(
                            crypto.addUnlockMethod(UnlockInput::prf(prfOutput, kdf)))))},
        {"wrappedAccountPrivKeys", b64(wrappedPriv)},
        {"prfOutput", b64(prfOutput)},
        {"kdf", Json::parse(varn::support::dumpCompact(varn::support::encodeRecord(kdf)))},
        {"x25519Pub", b64(pair.x25519Pub)},
        {"ed25519Pub", b64(pair.ed25519Pub)},
        {"dek", b64(dek)}};
  }

  // A sealed collection key to a recipient whose secret key the other side gets.
  const Crypto::AccountKeypair recipient = Crypto::generateAccountKeypair();
  const SecretBytes collectionKey = crypto.newCollectionKey();
  out["sealed"] = {{"recipientPub", b64(recipient.x25519Pub)},
                   {"recipientPriv", b64(recipient.x25519Priv)},
                   {"box", b64(crypto.sealCollectionKey(collectionKey, recipient.x25519Pub))},
                   {"message", b64(collectionKey)}};

  // A grant signed by the vault's account.
  const std::uint32_t epoch = 0xA1B2C3D4;
  out["grant"] = {{"collectionID", collection.toString()},
                  {"keyEpoch", epoch},
                  {"collectionKey", b64(collectionKey)},
                  {"recipientX25519", b64(recipient.x25519Pub)},
                  {"orgID", org.toString()},
                  {"granterEd25519", b64(pair.ed25519Pub)},
                  {"signature", b64(crypto.signGrant(collection, epoch, collectionKey,
                                                     recipient.x25519Pub, org))}};

  // An envelope with associated data, and one without.
  const SecretBytes kek = Crypto::randomSecret(32);
  const Bytes plain = textBytes("the plaintext of an envelope");
  const Bytes aad = textBytes("associated");
  out["envelope"] = {{"kek", b64(kek)},
                     {"aad", b64(aad)},
                     {"plaintext", b64(plain)},
                     {"withAAD", b64(Crypto::wrap(plain, kek, aad))},
                     {"withoutAAD", b64(Crypto::wrap(plain, kek))}};

  // An encrypted item under the collection key.
  const EncryptedItem encrypted = crypto.encryptItem(textBytes("item body"), item, collectionKey);
  out["item"] = {{"itemID", item.toString()},
                 {"collectionKey", b64(collectionKey)},
                 {"v", encrypted.blob.v},
                 {"bytes", b64(encrypted.blob.bytes)},
                 {"wrappedItemKey", b64(encrypted.wrappedItemKey)},
                 {"plaintext", b64(textBytes("item body"))}};

  // Argon2id: the known vector, and a fresh salt with this library's constants.
  Bytes fixedSalt(16);
  for (std::size_t i = 0; i < 16; ++i) fixedSalt[i] = static_cast<std::uint8_t>(i);
  const KdfParams fixed = KdfParams::argon2id(fixedSalt, 65536, 3, 4);
  const KdfParams fresh = KdfParams::argon2id(Crypto::randomBytes(16), 65536, 3, 4);
  const std::string passphrase = "pässphrase with ünïcode";
  out["argon2id"] = {{{"passphrase", b64(textBytes("correct horse"))},
                      {"salt", b64(fixed.salt)},
                      {"memoryKiB", fixed.memoryKiB},
                      {"iterations", fixed.iterations},
                      {"key", b64(Crypto::argon2id(textBytes("correct horse"), fixed))}},
                     {{"passphrase", b64(textBytes(passphrase))},
                      {"salt", b64(fresh.salt)},
                      {"memoryKiB", fresh.memoryKiB},
                      {"iterations", fresh.iterations},
                      {"key", b64(Crypto::argon2id(textBytes(passphrase), fresh))}}};
  return out;
}

// Runs one check; its result is "ok" or what went wrong (the error case or "mismatch").
template <typename F>
std::string check(F body) {
  try {
    return body() ? "ok" : "mismatch";
  } catch (const std::exception& error) {
    return error.what();
  }
}

OrderedJson consume(const Json& in) {
  const Json& vault = in.at("vault");
  VaultCrypto crypto;
  const std::vector<WrappedKey> keys = {
      varn::support::decodeRecord<WrappedKey>(vault.at("wrappedKeys"))};
  crypto.unlock(keys, bytes(vault, "wrappedAccountPrivKeys"),
                UnlockInput::prf(bytes(vault, "prfOutput"),
                                 varn::support::decodeRecord<KdfParams>(vault.at("kdf"))));
  OrderedJson out;
  const Json& sealed = in.at("sealed");
  out["sealed"] = check([&] {
    return crypto.openSealedCollectionKey(bytes(sealed, "box")) ==
           SecretBytes(bytes(sealed, "message"));
  });
  const Json& envelope = in.at("envelope");
  out["envelope"] = check([&] {
    return Crypto::unwrap(bytes(envelope, "withAAD"), bytes(envelope, "kek"),
                          bytes(envelope, "aad")) == SecretBytes(bytes(envelope, "plaintext"));
  });
  out["envelopeWrongAAD"] = check([&] {
    (void)Crypto::unwrap(bytes(envelope, "withAAD"), bytes(envelope, "kek"));
    return true;
  });
  const Json& item = in.at("item");
  out["item"] = check([&] {
    const EncryptedBlob blob{item.at("v").get<std::int64_t>(), bytes(item, "bytes")};
    return crypto.decryptItem(blob, *Uuid::parse(item.at("itemID").get<std::string>()),
                              bytes(item, "wrappedItemKey"), bytes(item, "collectionKey")) ==
           SecretBytes(bytes(item, "plaintext"));
  });
  const Json& grant = in.at("grant");
  auto verify = [&](std::uint32_t epoch) {
    return VaultCrypto::verifyGrant(
        bytes(grant, "signature"), *Uuid::parse(grant.at("collectionID").get<std::string>()), epoch,
        bytes(grant, "collectionKey"), bytes(grant, "recipientX25519"),
        *Uuid::parse(grant.at("orgID").get<std::string>()), bytes(grant, "granterEd25519"));
  };
  out["grant"] = check([&] { return verify(grant.at("keyEpoch").get<std::uint32_t>()); });
  out["grantOtherEpoch"] =
      check([&] { return verify(grant.at("keyEpoch").get<std::uint32_t>() + 1); });
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc == 2 ? argv[1] : "";
  try {
    if (command == "produce") {
      std::cout << varn::support::dumpCompact(produce()) << "\n";
      return 0;
    }
    if (command == "consume") {
      const std::string input((std::istreambuf_iterator<char>(std::cin)), {});
      std::cout << varn::support::dumpCompact(consume(varn::support::parseJsonOrThrow(input)))
                << "\n";
      return 0;
    }
  } catch (const std::exception& error) {
    std::cerr << "crypto_oracle: " << error.what() << "\n";
    return 1;
  }
  std::cerr << "usage: crypto_oracle produce|consume\n";
  return 2;
}
