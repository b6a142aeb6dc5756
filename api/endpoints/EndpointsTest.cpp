// Every endpoint called once, end to end, against a local fake sync server: the request as the
// server received it (method, raw path, query, Content-Type, Authorization, body bytes) and the
// reply as decoded.

#include <functional>
#include <memory>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "api/VarnAPIClient.hpp"
#include "api/endpoints/testing/FakeSyncServer.hpp"

namespace varn::api {
namespace {

using fakes::FakeSyncServer;

UUID uuid(const char* text) {
  return *UUID::parse(text);
}
Date at(const char* text) {
  return *InternetDate::parse(text);
}
Bytes bytes(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

#define ORG "1F0C3A52-6B1D-4E2A-9C3B-0D4E5F6A7B8C"
#define ACC "2A1B3C4D-0000-4000-8000-000000000001"
#define COL "3A1B3C4D-0000-4000-8000-000000000002"
#define PAR "4A1B3C4D-0000-4000-8000-000000000003"
#define ITEM "5A1B3C4D-0000-4000-8000-000000000004"
#define AGENT "6A1B3C4D-0000-4000-8000-000000000005"
#define POL "7A1B3C4D-0000-4000-8000-000000000006"
#define NOW "2025-03-01T12:00:00Z"

const Bytes kFBFF{0xFB, 0xFF};

// Replies are written with lower-case UUIDs: they are read in either case.
const std::string kAccountJson =
    R"({"id":"2a1b3c4d-0000-4000-8000-000000000001","handle":"alice",)"
    R"("pubkey_x25519":"eA","pubkey_ed25519":"ZQ","fingerprint":"FP"})";
const AccountDTO kAccount{uuid(ACC), "alice", "eA", "ZQ", "FP"};
const std::string kCollectionJson =
    R"({"id":")" COL R"(","parent_id":")" PAR R"(","name_blob":"AQ","sort":2,"wrapped_key":"Ag"})";
const CollectionDTO kCollection{uuid(COL), uuid(PAR), "AQ", 2, "Ag"};
const std::string kAgentJson =
    R"({"account_id":")" AGENT R"(","slug":"bot","display_name":"Bot",)"
    R"("handle":"bot-handle","role":"agent","fingerprint":"FP",)"
    R"("pubkey_x25519":"AQ","pubkey_ed25519":"Ag","created_at":")" NOW R"("})";
const AgentDTO kAgent{uuid(AGENT), "bot", "Bot", "bot-handle", "agent",
                      "FP",        "AQ",  "Ag",  std::nullopt, at(NOW)};
const std::string kPolicyJson =
    R"({"id":")" POL R"(","org_id":")" ORG R"(","agent_account_id":")" AGENT R"(","item_id":")" ITEM
    R"(","capability":"read","constraints":{"max":1},"approval":"always","created_at":")" NOW
    R"("})";
const JSONValue kConstraints = JSONValue::object({{"max", JSONValue::integer(1)}});
const AgentPolicyDTO kPolicy{uuid(POL), uuid(ORG),    uuid(AGENT), uuid(ITEM),   std::nullopt,
                             "read",    kConstraints, "always",    std::nullopt, at(NOW)};
const std::string kInviteJson = R"({"id":"inv-1","role":"member","status":"pending",)"
                                R"("org_label":"Org","inviter_label":"Alice","expires_at":")" NOW
                                R"(","created_at":")" NOW R"("})";
const InviteDTO kInvite{"inv-1", "member",     "pending",    "Org",
                        "Alice", std::nullopt, std::nullopt, at(NOW),
                        at(NOW), std::nullopt, std::nullopt, std::nullopt};
const std::string kItemJson = R"({"id":")" ITEM R"(","collection_id":")" COL
                              R"(","type":"login","name_blob":"n","content_blob":"c",)"
                              R"("crypto_params":{"envelope_version":1},"wrapped_item_key":"k",)"
                              R"("ai_access":"injectable","revision":7,"updated_at":")" NOW R"("})";
const ItemDTO kItem{uuid(ITEM),         uuid(COL), "login",      "n", "c",
                    CryptoParamsDTO(1), "k",       "injectable", 7,   at(NOW)};
const ItemWriteBody kWrite{uuid(ITEM), "n", "c", CryptoParamsDTO(1), "k", "injectable"};
const std::string kWriteJson = R"("name_blob":"n","content_blob":"c",)"
                               R"("crypto_params":{"envelope_version":1},"wrapped_item_key":"k",)"
                               R"("ai_access":"injectable")";

struct EndpointCase {
  const char* name;
  std::function<void(VarnAPIClient&)> call;  // calls once and checks the decoded reply
  std::string method;
  std::string path;
  std::string body;  // the exact bytes the server must receive
  std::string reply = "{}";
  std::string query = "";
};

void PrintTo(const EndpointCase& c, std::ostream* out) {
  *out << c.name;
}

class EndpointTest : public ::testing::TestWithParam<EndpointCase> {};

TEST_P(EndpointTest, SendsTheRequestAndDecodesTheReply) {
  const EndpointCase& c = GetParam();
  FakeSyncServer server;
  server.reply({200, c.reply});
  VarnAPIClient client(server.url("/api"), std::make_shared<CurlHttpSession>());
  client.setSessionToken("tok");

  c.call(client);

  auto received = server.received();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].method, c.method);
  EXPECT_EQ(received[0].path, "/api/" + c.path);
  EXPECT_EQ(received[0].query, c.query);
  EXPECT_EQ(received[0].body, c.body);
  EXPECT_EQ(received[0].header("Content-Type"), "application/json");
  EXPECT_EQ(received[0].header("Authorization"), "Bearer tok");
}

INSTANTIATE_TEST_SUITE_P(
    AllThirtySix, EndpointTest,
    ::testing::Values(
        EndpointCase{"registerBegin",
                     [](VarnAPIClient& c) {
                       EXPECT_EQ(c.registerBegin("alice", kFBFF, {1}, {2, 3}),
                                 bytes(R"({"challenge":"x"})"));
                     },
                     "POST", "auth/passkey/register/begin",
                     R"({"handle":"alice","pubkey_x25519":"-_8","pubkey_ed25519":"AQ",)"
                     R"("wrapped_account_privkeys":"AgM"})",
                     R"({"challenge":"x"})"},
        EndpointCase{
            "registerFinish",
            [](VarnAPIClient& c) { EXPECT_EQ(c.registerFinish(bytes("att\x01\xff")), kAccount); },
            "POST", "auth/passkey/register/finish", "att\x01\xff", kAccountJson},
        EndpointCase{"loginBegin",
                     [](VarnAPIClient& c) { EXPECT_EQ(c.loginBegin("alice"), bytes("opts")); },
                     "POST", "auth/passkey/login/begin", R"({"handle":"alice"})", "opts"},
        EndpointCase{"loginFinish",
                     [](VarnAPIClient& c) {
                       LoginFinishResponse reply = c.loginFinish(bytes("assertion"));
                       EXPECT_EQ(reply.session_token, "tok2");
                       EXPECT_EQ(reply.expires_at, at(NOW));
                     },
                     "POST", "auth/passkey/login/finish", "assertion",
                     R"({"session_token":"tok2","expires_at":")" NOW R"("})"},
        EndpointCase{"logout", [](VarnAPIClient& c) { c.logout(); }, "POST", "auth/logout", ""},
        EndpointCase{"me",
                     [](VarnAPIClient& c) {
                       MeResponse me = c.me();
                       EXPECT_EQ(me.account, kAccount);
                       EXPECT_THAT(me.memberships,
                                   ::testing::ElementsAre(MembershipDTO{uuid(ORG), "owner"}));
                     },
                     "GET", "me", "",
                     R"({"account":)" + kAccountJson +
                         R"(,"memberships":[{"org_id":")" ORG R"(","role":"owner"}]})"},
        EndpointCase{
            "wrappedKeys",
            [](VarnAPIClient& c) {
              WrappedKeysResponse keys = c.wrappedKeys();
              ASSERT_EQ(keys.wrapped_keys.size(), 1u);
              EXPECT_EQ(
                  keys.wrapped_keys[0].toModel(),
                  (crypto::WrappedKey{
                      crypto::UnlockMethod::recoveryCode,
                      crypto::KdfParams{
                          crypto::KdfParams::Kind::argon2id, {0, 1, 2}, 65536, 3, 4, std::nullopt},
                      kFBFF}));
              EXPECT_EQ(keys.wrapped_account_privkeys, "w");
            },
            "GET", "me/wrapped-keys", "",
            R"({"wrapped_keys":[{"method":"recovery_code","wrapped":"-_8","kdf_params":)"
            R"({"kind":"argon2id","salt":"AAEC","memoryKiB":65536,"iterations":3,)"
            R"("parallelism":4}}],"wrapped_account_privkeys":"w"})"},
        EndpointCase{"addWrappedKey",
                     [](VarnAPIClient& c) {
                       c.addWrappedKey(crypto::WrappedKey{crypto::UnlockMethod::secureEnclave,
                                                          std::nullopt, kFBFF});
                     },
                     "POST", "me/wrapped-keys", R"({"method":"secure_enclave","wrapped":"-_8"})"},
        EndpointCase{
            "deleteWrappedKey",
            [](VarnAPIClient& c) { c.deleteWrappedKey(crypto::UnlockMethod::recoveryCode); },
            "DELETE", "me/wrapped-keys/recovery_code", ""},
        EndpointCase{"createOrg",
                     [](VarnAPIClient& c) {
                       EXPECT_EQ(c.createOrg(uuid(ORG), {1}), (OrgDTO{uuid(ORG), "AQ"}));
                     },
                     "POST", "orgs", R"({"id":")" ORG R"(","name_blob":"AQ"})",
                     R"({"id":")" ORG R"(","name_blob":"AQ"})"},
        EndpointCase{"members",
                     [](VarnAPIClient& c) {
                       EXPECT_THAT(c.members(uuid(ORG)),
                                   ::testing::ElementsAre(
                                       MemberDTO{uuid(ACC), "admin", "FP", std::nullopt, "Ag"}));
                     },
                     "GET", "orgs/" ORG "/members", "",
                     R"([{"account_id":")" ACC
                     R"(","role":"admin","fingerprint":"FP","pubkey_ed25519":"Ag"}])"},
        EndpointCase{"addMember",
                     [](VarnAPIClient& c) {
                       c.addMember(uuid(ORG), uuid(ACC), "admin",
                                   {CollectionGrant(uuid(COL), kFBFF)});
                     },
                     "POST", "orgs/" ORG "/members",
                     R"({"account_id":")" ACC R"(","role":"admin","collection_grants":)"
                     R"([{"collection_id":")" COL R"(","wrapped_key":"-_8"}]})"},
        EndpointCase{"setMemberRole",
                     [](VarnAPIClient& c) { c.setMemberRole(uuid(ORG), uuid(ACC), "viewer"); },
                     "PATCH", "orgs/" ORG "/members/" ACC, R"({"role":"viewer"})"},
        EndpointCase{"removeMember", [](VarnAPIClient& c) { c.removeMember(uuid(ORG), uuid(ACC)); },
                     "DELETE", "orgs/" ORG "/members/" ACC, ""},
        EndpointCase{
            "createAgent",
            [](VarnAPIClient& c) {
              EXPECT_EQ(
                  c.createAgent(uuid(ORG), AgentCreateBody(std::nullopt, "bot", "Bot", "agent",
                                                           "bot-handle", {1}, {2}, {3},
                                                           {AgentCollectionGrant(uuid(COL), {4})})),
                  kAgent);
            },
            "POST", "orgs/" ORG "/agents",
            R"({"slug":"bot","display_name":"Bot","role":"agent","handle":"bot-handle",)"
            R"("pubkey_x25519":"AQ","pubkey_ed25519":"Ag","wrapped_account_privkeys":"Aw",)"
            R"("collection_grants":[{"collection_id":")" COL R"(","wrapped_key":"BA"}]})",
            kAgentJson},
        EndpointCase{"agents",
                     [](VarnAPIClient& c) {
                       EXPECT_THAT(c.agents(uuid(ORG)), ::testing::ElementsAre(kAgent));
                     },
                     "GET", "orgs/" ORG "/agents", "", "[" + kAgentJson + "]"},
        EndpointCase{"createAgentPolicy",
                     [](VarnAPIClient& c) {
                       EXPECT_EQ(c.createAgentPolicy(
                                     uuid(ORG), uuid(AGENT),
                                     {uuid(ITEM), std::nullopt, "read", kConstraints, "always"}),
                                 kPolicy);
                     },
                     "POST", "orgs/" ORG "/agents/" AGENT "/policies",
                     R"({"item_id":")" ITEM
                     R"(","capability":"read","constraints":{"max":1},"approval":"always"})",
                     kPolicyJson},
        EndpointCase{"agentPolicies",
                     [](VarnAPIClient& c) {
                       EXPECT_THAT(c.agentPolicies(uuid(ORG), uuid(AGENT)),
                                   ::testing::ElementsAre(kPolicy));
                     },
                     "GET", "orgs/" ORG "/agents/" AGENT "/policies", "", "[" + kPolicyJson + "]"},
        EndpointCase{"createInvite",
                     [](VarnAPIClient& c) {
                       EXPECT_EQ(c.createInvite(uuid(ORG), "member", {uuid(COL)}, "Org", "Alice",
                                                std::nullopt, std::nullopt, std::nullopt),
                                 (InviteCreatedDTO{"inv-1", "t", "member", "pending", at(NOW)}));
                     },
                     "POST", "orgs/" ORG "/invites",
                     R"({"role":"member","intended_collections":[")" COL
                     R"("],"org_label":"Org","inviter_label":"Alice"})",
                     R"({"id":"inv-1","token":"t","role":"member","status":"pending",)"
                     R"("expires_at":")" NOW R"("})"},
        EndpointCase{"invites",
                     [](VarnAPIClient& c) {
                       EXPECT_THAT(c.invites(uuid(ORG)), ::testing::ElementsAre(kInvite));
                     },
                     "GET", "orgs/" ORG "/invites", "", "[" + kInviteJson + "]"},
        EndpointCase{"invite",
                     [](VarnAPIClient& c) { EXPECT_EQ(c.invite(uuid(ORG), "inv-1"), kInvite); },
                     "GET", "orgs/" ORG "/invites/inv-1", "", kInviteJson},
        EndpointCase{"revokeInvite", [](VarnAPIClient& c) { c.revokeInvite(uuid(ORG), "inv-1"); },
                     "DELETE", "orgs/" ORG "/invites/inv-1", ""},
        EndpointCase{"grantInvite",
                     [](VarnAPIClient& c) {
                       c.grantInvite(uuid(ORG), "inv-1",
                                     {SignedCollectionGrant(uuid(COL), kFBFF, {})});
                     },
                     "POST", "orgs/" ORG "/invites/inv-1/grant",
                     R"({"collection_grants":[{"collection_id":")" COL
                     R"(","wrapped_key":"-_8","grant_sig":""}]})"},
        EndpointCase{"accountByHandle",
                     [](VarnAPIClient& c) {
                       EXPECT_EQ(c.accountByHandle(uuid(ORG), "alice smith"), kAccount);
                     },
                     "GET", "orgs/" ORG "/accounts/by-handle/alice%20smith", "", kAccountJson},
        EndpointCase{
            "claimInvite",
            [](VarnAPIClient& c) {
              EXPECT_EQ(c.claimInvite("tok-x"), (InviteClaimDTO{uuid(ORG), "member", "claimed"}));
            },
            "POST", "invites/claim", R"({"token":"tok-x"})",
            R"({"org_id":"1f0c3a52-6b1d-4e2a-9c3b-0d4e5f6a7b8c","role":"member",)"
            R"("status":"claimed"})"},
        EndpointCase{"collections",
                     [](VarnAPIClient& c) {
                       EXPECT_THAT(c.collections(uuid(ORG)), ::testing::ElementsAre(kCollection));
                     },
                     "GET", "orgs/" ORG "/collections", "", "[" + kCollectionJson + "]"},
        EndpointCase{
            "createCollection",
            [](VarnAPIClient& c) {
              EXPECT_EQ(c.createCollection(uuid(ORG), uuid(COL), uuid(PAR), {1}, {2}), kCollection);
            },
            "POST", "orgs/" ORG "/collections",
            R"({"id":")" COL R"(","parent_id":")" PAR R"(","name_blob":"AQ","wrapped_key":"Ag"})",
            kCollectionJson},
        EndpointCase{"patchCollection",
                     [](VarnAPIClient& c) {
                       c.patchCollection(uuid(COL), std::nullopt, std::nullopt, std::nullopt);
                     },
                     "PATCH", "collections/" COL, "{}"},
        EndpointCase{"deleteCollection", [](VarnAPIClient& c) { c.deleteCollection(uuid(COL)); },
                     "DELETE", "collections/" COL, ""},
        EndpointCase{"rotateCollection",
                     [](VarnAPIClient& c) {
                       c.rotateCollection(uuid(COL), 2, {RotateMemberGrant(uuid(ACC), {1}, {2})},
                                          {RotateItemKey(uuid(ITEM), {3})});
                     },
                     "POST", "collections/" COL "/rotate",
                     R"({"key_epoch":2,"member_grants":[{"account_id":")" ACC
                     R"(","wrapped_key":"AQ","grant_sig":"Ag"}],"item_keys":[{"item_id":")" ITEM
                     R"(","wrapped_item_key":"Aw"}]})"},
        EndpointCase{"items",
                     [](VarnAPIClient& c) {
                       EXPECT_THAT(c.items(uuid(COL)),
                                   ::testing::ElementsAre(ItemMetaDTO{uuid(ITEM), "login", "n",
                                                                      "injectable", 7, at(NOW)}));
                     },
                     "GET", "collections/" COL "/items", "",
                     R"([{"id":")" ITEM R"(","type":"login","name_blob":"n",)"
                     R"("ai_access":"injectable","revision":7,"updated_at":")" NOW R"("}])"},
        EndpointCase{"getItem", [](VarnAPIClient& c) { EXPECT_EQ(c.getItem(uuid(ITEM)), kItem); },
                     "GET", "items/" ITEM, "", kItemJson},
        EndpointCase{"createItem",
                     [](VarnAPIClient& c) { EXPECT_EQ(c.createItem(uuid(COL), kWrite), kItem); },
                     "POST", "collections/" COL "/items",
                     R"({"id":")" ITEM R"(",)" + kWriteJson + "}", kItemJson},
        EndpointCase{
            "putItem", [](VarnAPIClient& c) { EXPECT_EQ(c.putItem(uuid(ITEM), kWrite, 7), kItem); },
            "PUT", "items/" ITEM, "{" + kWriteJson + R"(,"expected_revision":7})", kItemJson},
        EndpointCase{"deleteItem", [](VarnAPIClient& c) { c.deleteItem(uuid(ITEM)); }, "DELETE",
                     "items/" ITEM, "", ""},
        EndpointCase{"sync",
                     [](VarnAPIClient& c) {
                       SyncResponseDTO reply = c.sync(at("2025-03-01T12:00:00.750Z"));
                       EXPECT_EQ(reply.now, at(NOW));
                       ASSERT_EQ(reply.items.size(), 1u);
                       EXPECT_EQ(reply.items[0].id, uuid(ITEM));
                       EXPECT_TRUE(reply.items[0].deleted);
                       ASSERT_EQ(reply.collections.size(), 1u);
                       EXPECT_EQ(reply.collections[0].parent_id, std::nullopt);
                       EXPECT_EQ(reply.collections[0].sort, -1);
                     },
                     "GET", "sync", "",
                     R"({"now":")" NOW R"(","items":[{"id":")" ITEM R"(","collection_id":")" COL
                     R"(","revision":3,"updated_at":")" NOW R"(","deleted":true}],)"
                     R"("collections":[{"id":")" COL R"(","org_id":")" ORG
                     R"(","name_blob":"AQ","sort":-1,"wrapped_key":"Ag","updated_at":")" NOW
                     R"(","deleted":false}]})",
                     "since=2025-03-01T12:00:00Z"}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST(EndpointBodyTest, OptionalArgumentsAreWrittenOnlyWhenGiven) {
  FakeSyncServer server;
  server.reply({200, R"({"id":")" ORG R"(","name_blob":""})"});
  server.reply(
      {200, R"({"id":"i","token":"t","role":"r","status":"s","expires_at":")" NOW R"("})"});
  VarnAPIClient client(server.url(), std::make_shared<CurlHttpSession>());
  (void)client.createOrg(std::nullopt, {});
  (void)client.createInvite(uuid(ORG), "r", {}, "o", "i", "a@b.c", "bob", 48);
  client.patchCollection(uuid(COL), Bytes{1}, uuid(PAR), 0);
  auto received = server.received();
  ASSERT_EQ(received.size(), 3u);
  EXPECT_EQ(received[0].body, R"({"name_blob":""})");
  EXPECT_EQ(received[1].body,
            R"({"role":"r","intended_collections":[],"org_label":"o","inviter_label":"i",)"
            R"("delivery_email":"a@b.c","pinned_handle":"bob","ttl_hours":48})");
  EXPECT_EQ(received[2].body, R"({"name_blob":"AQ","parent_id":")" PAR R"(","sort":0})");
}

}  // namespace
}  // namespace varn::api
