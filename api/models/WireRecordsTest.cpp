// Every wire record read and written again with its exact keys in their exact order, and the
// records' edge cases as tables.

#include <cmath>
#include <functional>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "api/VarnAPIClient.hpp"
#include "api/core/WireCoding.hpp"

namespace varn::api {
namespace {

using ::testing::HasSubstr;

#define U1 "1F0C3A52-6B1D-4E2A-9C3B-0D4E5F6A7B8C"
#define U2 "2A1B3C4D-0000-4000-8000-000000000001"
#define U3 "3A1B3C4D-0000-4000-8000-000000000002"
#define U4 "4A1B3C4D-0000-4000-8000-000000000003"
#define U5 "5A1B3C4D-0000-4000-8000-000000000004"
#define T "2025-03-01T12:00:00Z"

template <typename Record>
std::string reencoded(std::string_view text) {
  return encodeBody(decodeReply<Record>(text));
}

struct RoundTrip {
  const char* name;
  std::function<std::string(std::string_view)> code;
  std::string text;  // written by the record exactly so
};

class RoundTripTest : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(RoundTripTest, WritesTheKeysItReadsInDeclarationOrder) {
  EXPECT_EQ(GetParam().code(GetParam().text), GetParam().text);
}

const std::string kAccount =
    R"({"id":")" U1 R"(","handle":"h","pubkey_x25519":"x","pubkey_ed25519":"e","fingerprint":"f"})";
const std::string kWrappedKey =
    R"({"method":"prf","wrapped":"AQ","kdf_params":{"kind":"hkdfSha256",)"
    R"("salt":"AAEC","memoryKiB":0,"iterations":0,"parallelism":0,"info":"i"}})";

INSTANTIATE_TEST_SUITE_P(
    Records, RoundTripTest,
    ::testing::Values(
        RoundTrip{"AccountDTO", reencoded<AccountDTO>, kAccount},
        RoundTrip{"AccountDTOWithoutFingerprint", reencoded<AccountDTO>,
                  R"({"id":")" U1 R"(","handle":"h","pubkey_x25519":"x","pubkey_ed25519":"e"})"},
        RoundTrip{"MeResponse", reencoded<MeResponse>,
                  R"({"account":)" + kAccount +
                      R"(,"memberships":[{"org_id":")" U2 R"(","role":"owner"}]})"},
        RoundTrip{"OrgDTO", reencoded<OrgDTO>, R"({"id":")" U1 R"(","name_blob":"n"})"},
        RoundTrip{"MemberDTO", reencoded<MemberDTO>,
                  R"({"account_id":")" U1
                  R"(","role":"r","fingerprint":"f","pubkey_x25519":"x","pubkey_ed25519":"e"})"},
        RoundTrip{"MemberDTOWithoutKeys", reencoded<MemberDTO>,
                  R"({"account_id":")" U1 R"(","role":"r","fingerprint":"f"})"},
        RoundTrip{"CollectionDTO", reencoded<CollectionDTO>,
                  R"({"id":")" U1 R"(","parent_id":")" U2
                  R"(","name_blob":"n","sort":-1,"wrapped_key":"k"})"},
        RoundTrip{"AgentDTO", reencoded<AgentDTO>,
                  R"({"account_id":")" U1
                  R"(","slug":"s","display_name":"d","handle":"h","role":"r","fingerprint":"f",)"
                  R"("pubkey_x25519":"x","pubkey_ed25519":"e","disabled_at":")" T
                  R"(","created_at":")" T R"("})"},
        RoundTrip{"AgentPolicyDTO", reencoded<AgentPolicyDTO>,
                  R"({"id":")" U1 R"(","org_id":")" U2 R"(","agent_account_id":")" U3
                  R"(","item_id":")" U4 R"(","collection_id":")" U5
                  R"(","capability":"c","constraints":{"a":[1,2.5,"x",true,null],"b":{}},)"
                  R"("approval":"a","disabled_at":")" T R"(","created_at":")" T R"("})"},
        RoundTrip{"ItemMetaDTO", reencoded<ItemMetaDTO>,
                  R"({"id":")" U1 R"(","type":"t","name_blob":"n","ai_access":"a","revision":9,)"
                  R"("updated_at":")" T R"("})"},
        RoundTrip{"ItemDTO", reencoded<ItemDTO>,
                  R"({"id":")" U1 R"(","collection_id":")" U2
                  R"(","type":"t","name_blob":"n","content_blob":"c",)"
                  R"("crypto_params":{"alg":"x","envelope_version":1},"wrapped_item_key":"k",)"
                  R"("ai_access":"a","revision":9,"updated_at":")" T R"("})"},
        RoundTrip{"ItemWriteBody", reencoded<ItemWriteBody>,
                  R"({"id":")" U1 R"(","name_blob":"n","content_blob":"c","crypto_params":[1,2],)"
                  R"("wrapped_item_key":"k","ai_access":"a"})"},
        RoundTrip{"LoginFinishResponse", reencoded<LoginFinishResponse>,
                  R"({"session_token":"s","expires_at":")" T R"("})"},
        RoundTrip{"SyncResponseDTO", reencoded<SyncResponseDTO>,
                  R"({"now":")" T R"(","items":[{"id":")" U1 R"(","collection_id":")" U2
                  R"(","revision":1,"updated_at":")" T R"(","deleted":false}],)"
                  R"("collections":[{"id":")" U3 R"(","org_id":")" U4 R"(","parent_id":")" U5
                  R"(","name_blob":"n","sort":0,"wrapped_key":"k","updated_at":")" T
                  R"(","deleted":true}]})"},
        RoundTrip{"WrappedKeysResponse", reencoded<WrappedKeysResponse>,
                  R"({"wrapped_keys":[)" + kWrappedKey + R"(],"wrapped_account_privkeys":"w"})"},
        RoundTrip{"InviteCreatedDTO", reencoded<InviteCreatedDTO>,
                  R"({"id":"i","token":"t","role":"r","status":"s","expires_at":")" T R"("})"},
        RoundTrip{"InviteDTO", reencoded<InviteDTO>,
                  R"({"id":"i","role":"r","status":"s","org_label":"o","inviter_label":"l",)"
                  R"("intended_collections":[")" U1 R"("],"masked_email":"m","expires_at":")" T
                  R"(","created_at":")" T R"(","claimed_account_id":")" U2
                  R"(","pubkey_x25519":"x","pubkey_ed25519":"e"})"},
        RoundTrip{"InviteDTOWithoutOptionals", reencoded<InviteDTO>,
                  R"({"id":"i","role":"r","status":"s","org_label":"o","inviter_label":"l",)"
                  R"("expires_at":")" T R"(","created_at":")" T R"("})"},
        RoundTrip{"InviteDTOWithEmptyCollections", reencoded<InviteDTO>,
                  R"({"id":"i","role":"r","status":"s","org_label":"o","inviter_label":"l",)"
                  R"("intended_collections":[],"expires_at":")" T R"(","created_at":")" T R"("})"},
        RoundTrip{"InviteClaimDTO", reencoded<InviteClaimDTO>,
                  R"({"org_id":")" U1 R"(","role":"r","status":"s"})"}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

UUID uuid(const char* text) {
  return *UUID::parse(text);
}

TEST(WireRecordTest, RequestRecordsWriteTheirKeysInDeclarationOrder) {
  const Bytes fbff{0xFB, 0xFF};
  EXPECT_EQ(encodeBody(AgentCollectionGrant(uuid(U1), fbff)),
            R"({"collection_id":")" U1 R"(","wrapped_key":"-_8"})");
  EXPECT_EQ(encodeBody(CollectionGrant(uuid(U1), {})),
            R"({"collection_id":")" U1 R"(","wrapped_key":""})");
  EXPECT_EQ(encodeBody(AgentCreateBody(uuid(U1), "s", "d", "r", "h", fbff, {1}, {}, {})),
            R"({"id":")" U1 R"(","slug":"s","display_name":"d","role":"r","handle":"h",)"
            R"("pubkey_x25519":"-_8","pubkey_ed25519":"AQ","wrapped_account_privkeys":"",)"
            R"("collection_grants":[]})");
  EXPECT_EQ(encodeBody(AgentPolicyCreateBody{uuid(U1), uuid(U2), "c", JSONValue::null(), "a"}),
            R"({"item_id":")" U1 R"(","collection_id":")" U2
            R"(","capability":"c","constraints":null,"approval":"a"})");
  EXPECT_EQ(encodeBody(AgentPolicyCreateBody{std::nullopt, std::nullopt, "c", {}, "a"}),
            R"({"capability":"c","constraints":null,"approval":"a"})");
  EXPECT_EQ(encodeBody(SignedCollectionGrant(uuid(U1), fbff, {})),
            R"({"collection_id":")" U1 R"(","wrapped_key":"-_8","grant_sig":""})");
  EXPECT_EQ(encodeBody(RotateMemberGrant(uuid(U1), {1}, fbff)),
            R"({"account_id":")" U1 R"(","wrapped_key":"AQ","grant_sig":"-_8"})");
  EXPECT_EQ(encodeBody(RotateItemKey(uuid(U1), {1, 2, 3})),
            R"({"item_id":")" U1 R"(","wrapped_item_key":"AQID"})");
}

struct DecodeCase {
  const char* name;
  std::function<void(std::string_view)> decode;
  std::string text;
  std::optional<std::string> error;  // a part of the decoding payload; nullopt: decodes
};

class DecodeEdgeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeEdgeTest, DecodesOrFailsWithTheCodersText) {
  const DecodeCase& c = GetParam();
  if (!c.error) {
    EXPECT_NO_THROW(c.decode(c.text));
    return;
  }
  try {
    c.decode(c.text);
    ADD_FAILURE() << "decoded";
  } catch (const APIError& error) {
    EXPECT_EQ(error.errorCase(), APIError::Case::decoding);
    EXPECT_THAT(error.message(), HasSubstr(*c.error));
  }
}

template <typename Record>
void decodes(std::string_view text) {
  (void)decodeReply<Record>(text);
}

std::string collectionWithSort(const std::string& sort) {
  return R"({"id":")" U1 R"(","name_blob":"n","wrapped_key":"k","sort":)" + sort + "}";
}
std::string policyWith(const std::string& more) {
  return R"({"id":")" U1 R"(","org_id":")" U2 R"(","agent_account_id":")" U3
         R"(","capability":"c","approval":"a","created_at":")" T R"(")" +
         more + "}";
}

INSTANTIATE_TEST_SUITE_P(
    Edges, DecodeEdgeTest,
    ::testing::Values(
        DecodeCase{"AccountFingerprintNull", decodes<AccountDTO>,
                   R"({"id":")" U1
                   R"(","handle":"h","pubkey_x25519":"x","pubkey_ed25519":"e","fingerprint":null})",
                   std::nullopt},
        DecodeCase{"AccountUuidInLowerCase", decodes<AccountDTO>,
                   R"({"id":"1f0c3a52-6b1d-4e2a-9c3b-0d4e5f6a7b8c","handle":"h",)"
                   R"("pubkey_x25519":"x","pubkey_ed25519":"e","extra":[1]})",
                   std::nullopt},
        DecodeCase{"AccountUuidWithBraces", decodes<AccountDTO>,
                   R"({"id":"{1F0C3A52-6B1D-4E2A-9C3B-0D4E5F6A7B8C}","handle":"h",)"
                   R"("pubkey_x25519":"x","pubkey_ed25519":"e"})",
                   "\"id\""},
        DecodeCase{"MemberWithoutFingerprint", decodes<MemberDTO>,
                   R"({"account_id":")" U1 R"(","role":"r"})", "\"fingerprint\""},
        DecodeCase{"MeWithoutMemberships", decodes<MeResponse>,
                   R"({"account":{"id":")" U1
                   R"(","handle":"h","pubkey_x25519":"x","pubkey_ed25519":"e"}})",
                   "\"memberships\""},
        DecodeCase{"MeWithBadAccountNamesThePath", decodes<MeResponse>,
                   R"({"account":{"id":")" U1 R"("},"memberships":[]})", "account: missing"},
        DecodeCase{"SortWithFraction", decodes<CollectionDTO>, collectionWithSort("2.5"),
                   "\"sort\""},
        DecodeCase{"SortAsText", decodes<CollectionDTO>, collectionWithSort("\"2\""), "\"sort\""},
        DecodeCase{"SortPastInt64", decodes<CollectionDTO>,
                   collectionWithSort("9223372036854775808"), "\"sort\""},
        DecodeCase{"SortBelowInt64", decodes<CollectionDTO>,
                   collectionWithSort("-9223372036854775809"), "\"sort\""},
        DecodeCase{"SortWithAFractionADoubleWouldRound", decodes<CollectionDTO>,
                   collectionWithSort("12345678901234567890123e-5"), "\"sort\""},
        DecodeCase{"SortNegative", decodes<CollectionDTO>, collectionWithSort("-1"), std::nullopt},
        DecodeCase{"SortWrittenWithAFractionOfZero", decodes<CollectionDTO>,
                   collectionWithSort("3.0"), std::nullopt},
        DecodeCase{"PolicyWithoutConstraints", decodes<AgentPolicyDTO>, policyWith(""),
                   "\"constraints\""},
        DecodeCase{"PolicyConstraintsNull", decodes<AgentPolicyDTO>,
                   policyWith(R"(,"constraints":null,"disabled_at":null)"), std::nullopt},
        DecodeCase{"PolicyDateWithOffset", decodes<AgentPolicyDTO>,
                   policyWith(R"(,"constraints":1,"disabled_at":"2025-03-01T13:00:00+01:00")"),
                   std::nullopt},
        DecodeCase{"PolicyDateWithoutColonInOffset", decodes<AgentPolicyDTO>,
                   policyWith(R"(,"constraints":1,"disabled_at":"2025-03-01T13:00:00+0100")"),
                   "disabled_at: invalid RFC3339 date: 2025-03-01T13:00:00+0100"},
        DecodeCase{"ItemWithoutCryptoParams", decodes<ItemDTO>,
                   R"({"id":")" U1 R"(","collection_id":")" U2
                   R"(","type":"t","name_blob":"n","content_blob":"c","wrapped_item_key":"k",)"
                   R"("ai_access":"a","revision":1,"updated_at":")" T R"("})",
                   "\"crypto_params\""},
        DecodeCase{"SyncWithoutNow", decodes<SyncResponseDTO>, R"({"items":[]})", "\"now\""},
        DecodeCase{"SyncItemsAnObject", decodes<SyncResponseDTO>,
                   R"({"now":")" T R"(","items":{}})", "\"items\""},
        DecodeCase{"SyncItemWithBadElement", decodes<SyncResponseDTO>,
                   R"({"now":")" T R"(","items":[{"id":")" U1 R"("}]})", "items[0]: missing"},
        DecodeCase{"InviteIdNotAUuid", decodes<InviteDTO>,
                   R"({"id":"x/../y","role":"r","status":"s","org_label":"o","inviter_label":"l",)"
                   R"("expires_at":")" T R"(","created_at":")" T R"("})",
                   std::nullopt},
        DecodeCase{"InviteIntendedCollectionNotAUuid", decodes<InviteDTO>,
                   R"({"id":"i","role":"r","status":"s","org_label":"o","inviter_label":"l",)"
                   R"("intended_collections":["x"],"expires_at":")" T R"(","created_at":")" T
                   R"("})",
                   "intended_collections[0]"},
        DecodeCase{"ClaimOrgIdNotAUuid", decodes<InviteClaimDTO>,
                   R"({"org_id":"acme","role":"r","status":"s"})", "\"org_id\""},
        DecodeCase{"WrappedKeysWithUnknownMethodAndBadBytes", decodes<WrappedKeysResponse>,
                   R"({"wrapped_keys":[{"method":"secureEnclave","wrapped":"*"}],)"
                   R"("wrapped_account_privkeys":""})",
                   std::nullopt},
        DecodeCase{"KdfSaltNotPaddedBase64", decodes<WrappedKeyDTO>,
                   R"({"method":"prf","wrapped":"","kdf_params":{"kind":"argon2id","salt":"AAE",)"
                   R"("memoryKiB":1,"iterations":1,"parallelism":1}})",
                   "\"salt\""}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST(WireRecordTest, AbsentAndNullOptionalsAreLeftOutWhenWrittenAgain) {
  EXPECT_EQ(
      reencoded<AccountDTO>(R"({"id":"1f0c3a52-6b1d-4e2a-9c3b-0d4e5f6a7b8c","handle":"h",)"
                            R"("pubkey_x25519":"x","pubkey_ed25519":"e","fingerprint":null})"),
      R"({"id":")" U1 R"(","handle":"h","pubkey_x25519":"x","pubkey_ed25519":"e"})");
  EXPECT_EQ(reencoded<SyncResponseDTO>(R"({"now":")" T R"("})"),
            R"({"now":")" T R"(","items":[],"collections":[]})");
  EXPECT_EQ(reencoded<SyncResponseDTO>(R"({"now":")" T R"(","items":null,"collections":[{"id":")" U1
                                       R"(","org_id":")" U2 R"(","parent_id":null,"name_blob":"n",)"
                                       R"("sort":1,"wrapped_key":"k","updated_at":")" T
                                       R"(","deleted":false}]})"),
            R"({"now":")" T R"(","items":[],"collections":[{"id":")" U1 R"(","org_id":")" U2
            R"(","name_blob":"n","sort":1,"wrapped_key":"k","updated_at":")" T
            R"(","deleted":false}]})");
  EXPECT_EQ(reencoded<AgentPolicyDTO>(policyWith(R"(,"constraints":null,"disabled_at":null)")),
            R"({"id":")" U1 R"(","org_id":")" U2 R"(","agent_account_id":")" U3
            R"(","capability":"c","constraints":null,"approval":"a","created_at":")" T R"("})");
}

TEST(WireRecordTest, ADateIsWrittenInWholeSeconds) {
  ItemMetaDTO item = decodeReply<ItemMetaDTO>(
      R"({"id":")" U1 R"(","type":"t","name_blob":"n","ai_access":"a","revision":1,)"
      R"("updated_at":"2025-03-01T12:00:00.250Z"})");
  EXPECT_EQ(item.updated_at, *InternetDate::parse(T) + std::chrono::milliseconds(250));
  EXPECT_THAT(encodeBody(item), HasSubstr(R"("updated_at":")" T R"(")"));
}

TEST(WireRecordTest, ABodyThatCannotBeWrittenIsADecodingError) {
  const AgentPolicyCreateBody nan{std::nullopt, std::nullopt, "c",
                                  JSONValue::floating(std::nan("")), "a"};
  const AgentPolicyCreateBody notUtf8{std::nullopt, std::nullopt, "c\xFF", {}, "a"};
  for (const auto& body : {nan, notUtf8}) {
    try {
      (void)encodeBody(body);
      ADD_FAILURE() << "encoded";
    } catch (const APIError& error) {
      EXPECT_EQ(error.errorCase(), APIError::Case::decoding);
    }
  }
}

}  // namespace
}  // namespace varn::api
