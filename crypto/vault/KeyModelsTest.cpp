#include "crypto/vault/KeyModels.hpp"

#include <gtest/gtest.h>

#include <string>

#include "crypto/vault/VarnCryptoError.hpp"

namespace varn::crypto {
namespace {

using support::decodeRecordText;
using support::dumpCompact;
using support::encodeRecord;

Bytes range(std::size_t n, std::uint8_t first = 0) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(first + i);
  return out;
}

template <typename Record>
std::string decodeError(const std::string& json) {
  try {
    (void)decodeRecordText<Record>(json);
  } catch (const support::JsonDecodeError& error) {
    return error.message();
  }
  return "<decoded>";
}

TEST(Base64Test, WritesPaddedStandardTextAndReadsOnlyThat) {
  EXPECT_EQ(Base64::encode({}), "");
  EXPECT_EQ(Base64::encode(Bytes{'f'}), "Zg==");
  EXPECT_EQ(Base64::encode(Bytes{'f', 'o'}), "Zm8=");
  EXPECT_EQ(Base64::encode(Bytes{0xfb, 0xff, 0xbf}), "+/+/");
  for (std::size_t n = 0; n < 40; ++n) {
    EXPECT_EQ(Base64::decode(Base64::encode(range(n, 250))), range(n, 250)) << n;
    EXPECT_EQ(Base64::decodeSecret(Base64::encode(range(n)))->size(), n);
  }
  for (const char* bad : {"Zg", "Zg=", "Zg===", "Zh==", "Zm9=", "Zm9v\n", " Zm9v", "Zm9v ", "Zm-v",
                          "Zm_v", "Z===", "====", "Zg==Zg==", "Zm8=Zm9v", "Zm\n9v", "Zg=a"}) {
    EXPECT_EQ(Base64::decode(bad), std::nullopt) << bad;
    EXPECT_EQ(Base64::decodeSecret(bad), std::nullopt) << bad;
  }
}

TEST(KeyModelsTest, RecordsWriteTheirCamelCaseKeysAndReadThemBack) {
  const KdfParams argon = KdfParams::argon2id(range(16), 65536, 3, 4);
  const KdfParams hkdf = KdfParams::hkdfSha256(Bytes{1, 2}, "varn/prf-kek/v1");
  const std::string argonText =
      R"({"kind":"argon2id","salt":"AAECAwQFBgcICQoLDA0ODw==","memoryKiB":65536,"iterations":3,)"
      R"("parallelism":4})";
  EXPECT_EQ(dumpCompact(encodeRecord(argon)), argonText);
  EXPECT_EQ(dumpCompact(encodeRecord(hkdf)),
            R"({"kind":"hkdfSha256","salt":"AQI=","memoryKiB":0,"iterations":0,)"
            R"("parallelism":0,"info":"varn/prf-kek/v1"})");
  EXPECT_EQ(decodeRecordText<KdfParams>(argonText), argon);

  const WrappedKey enclave{UnlockMethod::secureEnclave, std::nullopt, Bytes{9}};
  EXPECT_EQ(dumpCompact(encodeRecord(enclave)), R"({"method":"secureEnclave","wrapped":"CQ=="})");
  EXPECT_EQ(decodeRecordText<WrappedKey>(R"({"method":"secureEnclave","kdfParams":null,)"
                                         R"("wrapped":"CQ==","x":1})"),
            enclave);
  const WrappedKey recovery{UnlockMethod::recoveryCode, argon, range(72)};
  EXPECT_EQ(decodeRecordText<WrappedKey>(dumpCompact(encodeRecord(recovery))), recovery);

  const EncryptedBlob blob{2, Bytes{}};
  EXPECT_EQ(dumpCompact(encodeRecord(blob)), R"({"v":2,"bytes":""})");
  EXPECT_EQ(decodeRecordText<EncryptedBlob>(R"({"v":2,"bytes":""})"), blob);

  const AccountPublicKeys pub{range(32), range(32, 32), "E3B0 C442 98FC 1C14 9AFB"};
  EXPECT_EQ(decodeRecordText<AccountPublicKeys>(dumpCompact(encodeRecord(pub))), pub);
  EXPECT_EQ(dumpCompact(encodeRecord(pub)).substr(0, 12), R"({"x25519":"A)");

  AccountPrivateKeys priv{range(32), SecretBytes(range(32, 1)), range(32, 2),
                          SecretBytes(range(64, 3))};
  SecretBytes secretJson = priv.toSecretJson();
  const std::string codecJson = dumpCompact(encodeRecord(priv));
  EXPECT_EQ(std::string(secretJson.data(), secretJson.data() + secretJson.size()), codecJson);
  EXPECT_EQ(codecJson.substr(0, 14), R"({"x25519Pub":")");
  EXPECT_EQ(decodeRecordText<AccountPrivateKeys>(codecJson), priv);
  EXPECT_EQ(AccountPrivateKeys::fromSecretJson(secretJson), priv);
}

TEST(KeyModelsTest, DecodingIsStrict) {
  struct Case {
    std::string error;
    std::string got;
  } cases[] = {
      {R"(key "kind" must be one of "argon2id", "hkdfSha256")",
       decodeError<KdfParams>(
           R"({"kind":"hkdf_sha256","salt":"","memoryKiB":0,"iterations":0,"parallelism":0})")},
      {R"(missing required key "parallelism")",
       decodeError<KdfParams>(R"({"kind":"hkdfSha256","salt":"","memoryKiB":0,"iterations":0})")},
      {R"(key "salt" must be padded standard Base64)",
       decodeError<KdfParams>(
           R"({"kind":"argon2id","salt":"AQI","memoryKiB":0,"iterations":0,"parallelism":0})")},
      {R"(key "memoryKiB" must be an integer within the signed 64-bit range)",
       decodeError<KdfParams>(
           R"({"kind":"argon2id","salt":"","memoryKiB":1.5,"iterations":0,"parallelism":0})")},
      {R"(key "iterations" must be an integer within the signed 64-bit range)",
       decodeError<KdfParams>(R"({"kind":"argon2id","salt":"","memoryKiB":1,)"
                              R"("iterations":9223372036854775808,"parallelism":0})")},
      {R"(key "method" must be one of "passphrase", "prf", "secureEnclave", "recoveryCode", )"
       R"("escrow")",
       decodeError<WrappedKey>(R"({"method":"recovery_code","wrapped":""})")},
      {R"(kdfParams: missing required key "salt")",
       decodeError<WrappedKey>(R"({"method":"prf","kdfParams":{"kind":"argon2id"},"wrapped":""})")},
      {R"(missing required key "wrapped")", decodeError<WrappedKey>(R"({"method":"prf"})")},
      {R"(key "v" must be an integer within the signed 64-bit range)",
       decodeError<EncryptedBlob>(R"({"v":"1","bytes":""})")},
      {"EncryptedBlob must be a JSON object", decodeError<EncryptedBlob>("[]")},
      {R"(missing required key "fingerprint")",
       decodeError<AccountPublicKeys>(R"({"x25519":"","ed25519":""})")},
  };
  for (const Case& c : cases) EXPECT_EQ(c.got, c.error);
}

TEST(KeyModelsTest, ClosedSetsListTheirCasesInOrder) {
  const char* texts[] = {"passphrase", "prf", "secureEnclave", "recoveryCode", "escrow"};
  for (std::size_t i = 0; i < kAllUnlockMethods.size(); ++i) {
    EXPECT_EQ(toString(kAllUnlockMethods[i]), texts[i]);
    EXPECT_EQ(fromString<UnlockMethod>(texts[i]), kAllUnlockMethods[i]);
  }
  EXPECT_EQ(fromString<UnlockMethod>("recovery_code"), std::nullopt);
  EXPECT_EQ(fromString<UnlockMethod>("Passphrase"), std::nullopt);
  EXPECT_EQ(fromString<KdfParams::Kind>("hkdfSha256"), KdfParams::Kind::hkdfSha256);
  EXPECT_EQ(fromString<KdfParams::Kind>("argon2"), std::nullopt);
  EXPECT_EQ(VarnCryptoInfo::version, "0.0.1");
  EXPECT_EQ(UnlockInput::escrow("x").method(), UnlockMethod::escrow);
  EXPECT_EQ(UnlockInput::secureEnclave().secret().size(), 0u);
  EXPECT_EQ(VarnCryptoError::badEnvelopeVersion(2), VarnCryptoError::badEnvelopeVersion(2));
  EXPECT_NE(VarnCryptoError::badEnvelopeVersion(2), VarnCryptoError::badEnvelopeVersion(0));
  EXPECT_STREQ(VarnCryptoError::badEnvelopeVersion(-3).what(), "badEnvelopeVersion(-3)");
  EXPECT_STREQ(VarnCryptoError::decryptFailed().what(), "decryptFailed");
}

std::string fromSecretJsonError(const std::string& text) {
  try {
    Bytes bytes(text.begin(), text.end());
    (void)AccountPrivateKeys::fromSecretJson(bytes);
  } catch (const support::JsonDecodeError& error) {
    return error.message();
  }
  return "<decoded>";
}

TEST(KeyModelsTest, PrivateKeysReadAnyJsonObjectWithoutTheGeneralParser) {
  const std::string keys =
      R"("x25519Pub":"AA==","x25519Priv":"AQ==","ed25519Pub":"Ag==","ed25519Priv":"Aw==")";
  // Escaped slashes and \u escapes, as other JSON writers produce them; unknown members of
  // every kind; white space; a duplicate member (the last wins).
  Bytes text = [] {
    std::string t =
        " {\"x\":[1,-2.5e3,{\"a\":[true,false,null]},\"\\u00e9\\ud83d\\ude00\"],"
        "\"x25519Pub\":\"AA==\",\"x25519Priv\":\"\\/w==\",\"ed25519Pub\" : \"\\u0041g==\"\n,"
        "\"ed25519Priv\":\"Aw==\",\"ed25519Priv\":\"BA==\"} ";
    return Bytes(t.begin(), t.end());
  }();
  AccountPrivateKeys read = AccountPrivateKeys::fromSecretJson(text);
  EXPECT_EQ(read, (AccountPrivateKeys{Bytes{0}, SecretBytes(Bytes{0xff}), Bytes{2},
                                      SecretBytes(Bytes{4})}));
  struct Case {
    std::string text;
    const char* error;
  } cases[] = {
      {"{" + keys + "}", "<decoded>"},
      {"{" + keys + "} x", "the data is not valid JSON"},
      {"{" + keys + ",}", "the data is not valid JSON"},
      {"{" + keys + ",\"a\":01}", "the data is not valid JSON"},
      {"{" + keys + ",\"a\":\"\\x\"}", "the data is not valid JSON"},
      {"{" + keys + ",\"a\":\"\\ud800\"}", "the data is not valid JSON"},
      {"{" + keys + ",\"a\":\"\xff\"}", "the data is not valid JSON"},
      {"{" + keys + ",\"a\":" + std::string(600, '[') + std::string(600, ']') + "}",
       "the data is not valid JSON"},
      {"[]", "the data is not valid JSON"},
      {"", "the data is not valid JSON"},
      {R"({"x25519Pub":"AA==","x25519Priv":null,"ed25519Pub":"Ag==","ed25519Priv":"Aw=="})",
       R"(missing required key "x25519Priv")"},
      {R"({"x25519Pub":"AA==","x25519Priv":"AQ==","ed25519Pub":"Ag=="})",
       R"(missing required key "ed25519Priv")"},
      {R"({"x25519Pub":1,"x25519Priv":"AQ==","ed25519Pub":"Ag==","ed25519Priv":"Aw=="})",
       R"(key "x25519Pub" must be a string)"},
      {R"({"x25519Pub":"AA==","x25519Priv":"AQ=","ed25519Pub":"Ag==","ed25519Priv":"Aw=="})",
       R"(key "x25519Priv" must be padded standard Base64)"},
  };
  for (const Case& c : cases) EXPECT_EQ(fromSecretJsonError(c.text), c.error) << c.text;
}

TEST(SecretBytesTest, CopiesAreDeepMovesEmptyTheSourceAndEqualityIsByContent) {
  SecretBytes a(Bytes{1, 2, 3});
  SecretBytes b = a;
  EXPECT_EQ(a, b);
  EXPECT_NE(a.data(), b.data());
  b.data()[0] = 9;
  EXPECT_NE(a, b);
  SecretBytes c = std::move(a);
  EXPECT_TRUE(a.empty());  // NOLINT(bugprone-use-after-move): moved-from state is specified
  EXPECT_EQ(c.size(), 3u);
  c.truncate(1);
  EXPECT_EQ(c, SecretBytes(Bytes{1}));
  c.wipe();
  EXPECT_EQ(c, SecretBytes());
}

}  // namespace
}  // namespace varn::crypto
