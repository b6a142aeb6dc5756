#include "crypto/vault/AgentBundle.hpp"

#include <gtest/gtest.h>

#include <functional>

#include "crypto/vault/Crypto.hpp"
#include "crypto/vault/VaultCrypto.hpp"
#include "crypto/vault/testing/Failure.hpp"

namespace varn::crypto {
namespace {

using support::Uuid;

using fakes::failureOf;

TEST(AgentBundleTest, ProvisionedAgentUnlocksAFreshVaultWithTheBundleAlone) {
  const Uuid collection = *Uuid::parse("00112233-4455-6677-8899-aabbccddeeff");
  const AgentProvisioningMaterial material = VaultCrypto::createAgentProvisioningMaterial(
      "bundle pass", "https://sync.example/api/", "agent-7", std::nullopt,
      {{collection, "Deploy"}});
  const AgentBundle& bundle = material.bundle;
  EXPECT_EQ(bundle.version, 1);
  EXPECT_EQ(bundle.wrappedAccountPrivKeys, material.wrappedAccountPrivKeys);
  EXPECT_EQ(bundle.publicKeys.x25519, material.accountPublicKeys.x25519);
  EXPECT_EQ(bundle.publicKeys.ed25519, material.accountPublicKeys.ed25519);
  EXPECT_EQ(bundle.publicKeys.fingerprint, material.accountPublicKeys.fingerprint);
  EXPECT_EQ(bundle.publicKeys.fingerprint,
            Crypto::fingerprint(bundle.publicKeys.x25519, bundle.publicKeys.ed25519));
  ASSERT_EQ(bundle.wrappedKeys.size(), 1u);
  const WrappedKey& entry = bundle.wrappedKeys[0];
  EXPECT_EQ(entry.method, UnlockMethod::passphrase);
  EXPECT_EQ(entry.kdfParams, KdfParams::argon2id(entry.kdfParams->salt, 65536, 3, 4));
  EXPECT_EQ(entry.kdfParams->salt.size(), 16u);

  // Its JSON: snake case at the top, camel case inside, no account_id, UUIDs in upper case.
  const std::string json = support::dumpCompact(support::encodeRecord(bundle));
  EXPECT_EQ(json.substr(0, 81),
            R"({"version":1,"base_url":"https://sync.example/api/","handle":"agent-7","public_ke)");
  EXPECT_EQ(json.find("account_id"), std::string::npos);
  EXPECT_NE(json.find(R"("wrapped_keys":[{"method":"passphrase","kdfParams":{"kind":"argon2id",)"),
            std::string::npos);
  EXPECT_NE(json.find(R"("wrapped_account_privkeys":")"), std::string::npos);
  EXPECT_NE(json.find(R"("collections":[{"id":"00112233-4455-6677-8899-AABBCCDDEEFF",)"
                      R"("label":"Deploy"}]})"),
            std::string::npos);
  const AgentBundle read = support::decodeRecordText<AgentBundle>(json);
  EXPECT_EQ(read, bundle);

  VaultCrypto agent;
  EXPECT_EQ(failureOf([&] {
              agent.unlock(read.wrappedKeys, read.wrappedAccountPrivKeys,
                           UnlockInput::passphrase("bundle pas"));
            }),
            "decryptFailed");
  agent.unlock(read.wrappedKeys, read.wrappedAccountPrivKeys,
               UnlockInput::passphrase("bundle pass"));
  const Bytes sealed = Crypto::seal(Bytes{7}, read.publicKeys.x25519);
  EXPECT_EQ(agent.openSealedCollectionKey(sealed), SecretBytes(Bytes{7}));

  const AgentProvisioningMaterial second = VaultCrypto::createAgentProvisioningMaterial(
      "bundle pass", "https://sync.example/api/", "agent-7", Uuid(), {});
  EXPECT_NE(second.bundle.publicKeys, bundle.publicKeys);
  EXPECT_NE(second.bundle.wrappedKeys[0].kdfParams->salt, entry.kdfParams->salt);
  EXPECT_EQ(second.bundle.accountID, Uuid());
  const std::string secondJson = support::dumpCompact(support::encodeRecord(second.bundle));
  EXPECT_NE(secondJson.find(R"("account_id":"00000000-0000-0000-0000-000000000000")"),
            std::string::npos);
  EXPECT_NE(secondJson.find(R"("collections":[]})"), std::string::npos);
  EXPECT_EQ(failureOf([] {
              (void)VaultCrypto::createAgentProvisioningMaterial("p", "/relative", "h",
                                                                 std::nullopt, {});
            }),
            "invalidInput");
}

TEST(AgentBundleTest, DecodingTable) {
  const std::string keys =
      R"("public_keys":{"x25519":"AA==","ed25519":"AQ==","fingerprint":"f"},"wrapped_keys":[],)"
      R"("wrapped_account_privkeys":"")";
  const std::string head = R"({"version":1,"base_url":"https://h/","handle":"h",)" + keys;
  struct Case {
    std::string json;
    const char* result;
  } cases[] = {
      {head + R"(,"collections":[],"account_id":null})", "none"},
      {head + R"(,"collections":[],"account_id":"00112233-4455-6677-8899-aabbccddeeff"})", "none"},
      {head + "}", R"(JsonDecodeError: missing required key "collections")"},
      {head + R"(,"collections":[],"account_id":"x"})",
       R"(JsonDecodeError: key "account_id" must be a UUID text)"},
      {head + R"(,"collections":[{"id":"00112233-4455-6677-8899-aabbccddeeff"}]})",
       R"(JsonDecodeError: collections[0]: missing required key "label")"},
      {R"({"version":1,"base_url":"relative/path","handle":"h",)" + keys + R"(,"collections":[]})",
       R"(JsonDecodeError: key "base_url" must be an absolute URL)"},
      {R"({"version":1,"baseURL":"https://h/","handle":"h",)" + keys + R"(,"collections":[]})",
       R"(JsonDecodeError: missing required key "base_url")"},
      {R"({"version":1,"base_url":"https://h/","handle":"h",)"
       R"("public_keys":{"x25519":"AA==","ed25519":"AQ=="},"wrapped_keys":[],)"
       R"("wrapped_account_privkeys":"","collections":[]})",
       R"(JsonDecodeError: public_keys: missing required key "fingerprint")"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(failureOf([&] { (void)support::decodeRecordText<AgentBundle>(c.json); }), c.result)
        << c.json;
  }
  EXPECT_FALSE(
      support::decodeRecordText<AgentBundle>(head + R"(,"collections":[],"account_id":null})")
          .accountID.has_value());
}

}  // namespace
}  // namespace varn::crypto
