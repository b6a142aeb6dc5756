// The 36 endpoint operations of VarnAPIClient: each builds its path and body, goes through the one
// request path, and decodes or drops the reply.

#include <string>

#include "api/VarnAPIClient.hpp"
#include "api/core/WireCoding.hpp"

namespace varn::api {
namespace {

// The fixed-shape bodies of the calls; each is built for one request and encoded at once.

struct RegisterBeginBody {
  std::string handle;
  std::string pubkey_x25519;
  std::string pubkey_ed25519;
  std::string wrapped_account_privkeys;
};
VARN_JSON_RECORD(RegisterBeginBody, "register body", VARN_JSON_FIELD(handle),
                 VARN_JSON_FIELD(pubkey_x25519), VARN_JSON_FIELD(pubkey_ed25519),
                 VARN_JSON_FIELD(wrapped_account_privkeys));

struct CreateOrgBody {
  std::optional<UUID> id;
  std::string name_blob;
};
VARN_JSON_RECORD(CreateOrgBody, "organisation body", VARN_JSON_FIELD(id),
                 VARN_JSON_FIELD(name_blob));

struct AddMemberBody {
  UUID account_id;
  std::string role;
  std::vector<CollectionGrant> collection_grants;
};
VARN_JSON_RECORD(AddMemberBody, "member body", VARN_JSON_FIELD(account_id), VARN_JSON_FIELD(role),
                 VARN_JSON_FIELD(collection_grants));

struct CreateInviteBody {
  std::string role;
  std::vector<UUID> intended_collections;
  std::string org_label;
  std::string inviter_label;
  std::optional<std::string> delivery_email;
  std::optional<std::string> pinned_handle;
  std::optional<std::int64_t> ttl_hours;
};
VARN_JSON_RECORD(CreateInviteBody, "invite body", VARN_JSON_FIELD(role),
                 VARN_JSON_FIELD(intended_collections), VARN_JSON_FIELD(org_label),
                 VARN_JSON_FIELD(inviter_label), VARN_JSON_FIELD(delivery_email),
                 VARN_JSON_FIELD(pinned_handle), VARN_JSON_FIELD(ttl_hours));

struct GrantInviteBody {
  std::vector<SignedCollectionGrant> collection_grants;
};
VARN_JSON_RECORD(GrantInviteBody, "grant body", VARN_JSON_FIELD(collection_grants));

struct ClaimInviteBody {
  std::string token;
};
VARN_JSON_RECORD(ClaimInviteBody, "claim body", VARN_JSON_FIELD(token));

struct CreateCollectionBody {
  std::optional<UUID> id;
  std::optional<UUID> parent_id;
  std::string name_blob;
  std::string wrapped_key;
};
VARN_JSON_RECORD(CreateCollectionBody, "collection body", VARN_JSON_FIELD(id),
                 VARN_JSON_FIELD(parent_id), VARN_JSON_FIELD(name_blob),
                 VARN_JSON_FIELD(wrapped_key));

struct PatchCollectionBody {
  std::optional<std::string> name_blob;
  std::optional<UUID> parent_id;
  std::optional<std::int64_t> sort;
};
VARN_JSON_RECORD(PatchCollectionBody, "collection patch", VARN_JSON_FIELD(name_blob),
                 VARN_JSON_FIELD(parent_id), VARN_JSON_FIELD(sort));

struct RotateCollectionBody {
  std::int64_t key_epoch = 0;
  std::vector<RotateMemberGrant> member_grants;
  std::vector<RotateItemKey> item_keys;
};
VARN_JSON_RECORD(RotateCollectionBody, "rotation body", VARN_JSON_FIELD(key_epoch),
                 VARN_JSON_FIELD(member_grants), VARN_JSON_FIELD(item_keys));

struct PutBody {
  std::string name_blob;
  std::string content_blob;
  CryptoParamsDTO crypto_params;
  std::string wrapped_item_key;
  std::string ai_access;
  std::int64_t expected_revision = 0;
};
VARN_JSON_RECORD(PutBody, "item body", VARN_JSON_FIELD(name_blob), VARN_JSON_FIELD(content_blob),
                 VARN_JSON_FIELD(crypto_params), VARN_JSON_FIELD(wrapped_item_key),
                 VARN_JSON_FIELD(ai_access), VARN_JSON_FIELD(expected_revision));

// A one-entry object {"<key>": value}, the body of two calls.
std::string singleEntry(const char* key, std::string_view value) {
  support::OrderedJson body = support::OrderedJson::object();
  body[key] = std::string(value);
  return encodeBody(body);
}

std::string bytesBody(const Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

Bytes replyBytes(const std::string& reply) {
  return Bytes(reply.begin(), reply.end());
}

std::string org(UUID orgId) {
  return "orgs/" + orgId.toString();
}

const std::vector<support::QueryItem> kNoQuery;

}  // namespace

Bytes VarnAPIClient::registerBegin(std::string_view handle, const Bytes& pubkeyX25519,
                                   const Bytes& pubkeyEd25519,
                                   const Bytes& wrappedAccountPrivkeys) {
  const RegisterBeginBody body{std::string(handle), Base64URL::encode(pubkeyX25519),
                               Base64URL::encode(pubkeyEd25519),
                               Base64URL::encode(wrappedAccountPrivkeys)};
  return replyBytes(request("POST", "auth/passkey/register/begin", kNoQuery, encodeBody(body)));
}

AccountDTO VarnAPIClient::registerFinish(const Bytes& attestation) {
  return decodeReply<AccountDTO>(
      request("POST", "auth/passkey/register/finish", kNoQuery, bytesBody(attestation)));
}

Bytes VarnAPIClient::loginBegin(std::string_view handle) {
  return replyBytes(
      request("POST", "auth/passkey/login/begin", kNoQuery, singleEntry("handle", handle)));
}

LoginFinishResponse VarnAPIClient::loginFinish(const Bytes& assertion) {
  auto reply = decodeReply<LoginFinishResponse>(
      request("POST", "auth/passkey/login/finish", kNoQuery, bytesBody(assertion)));
  setSessionToken(reply.session_token);
  return reply;
}

void VarnAPIClient::logout() {
  (void)request("POST", "auth/logout", kNoQuery, std::nullopt);
}

MeResponse VarnAPIClient::me() {
  return decodeReply<MeResponse>(request("GET", "me", kNoQuery, std::nullopt));
}

WrappedKeysResponse VarnAPIClient::wrappedKeys() {
  return decodeReply<WrappedKeysResponse>(
      request("GET", "me/wrapped-keys", kNoQuery, std::nullopt));
}

void VarnAPIClient::addWrappedKey(const crypto::WrappedKey& key) {
  (void)request("POST", "me/wrapped-keys", kNoQuery, encodeBody(WrappedKeyDTO(key)));
}

void VarnAPIClient::deleteWrappedKey(crypto::UnlockMethod method) {
  (void)request("DELETE", "me/wrapped-keys/" + std::string(WireMethod::wireName(method)), kNoQuery,
                std::nullopt);
}

OrgDTO VarnAPIClient::createOrg(std::optional<UUID> id, const Bytes& nameBlob) {
  const CreateOrgBody body{id, Base64URL::encode(nameBlob)};
  return decodeReply<OrgDTO>(request("POST", "orgs", kNoQuery, encodeBody(body)));
}

std::vector<MemberDTO> VarnAPIClient::members(UUID orgId) {
  return decodeReply<std::vector<MemberDTO>>(
      request("GET", org(orgId) + "/members", kNoQuery, std::nullopt));
}

void VarnAPIClient::addMember(UUID orgId, UUID accountId, std::string_view role,
                              const std::vector<CollectionGrant>& collectionGrants) {
  const AddMemberBody body{accountId, std::string(role), collectionGrants};
  (void)request("POST", org(orgId) + "/members", kNoQuery, encodeBody(body));
}

void VarnAPIClient::setMemberRole(UUID orgId, UUID accountId, std::string_view role) {
  (void)request("PATCH", org(orgId) + "/members/" + accountId.toString(), kNoQuery,
                singleEntry("role", role));
}

void VarnAPIClient::removeMember(UUID orgId, UUID accountId) {
  (void)request("DELETE", org(orgId) + "/members/" + accountId.toString(), kNoQuery, std::nullopt);
}

AgentDTO VarnAPIClient::createAgent(UUID orgId, const AgentCreateBody& body) {
  return decodeReply<AgentDTO>(request("POST", org(orgId) + "/agents", kNoQuery, encodeBody(body)));
}

std::vector<AgentDTO> VarnAPIClient::agents(UUID orgId) {
  return decodeReply<std::vector<AgentDTO>>(
      request("GET", org(orgId) + "/agents", kNoQuery, std::nullopt));
}

AgentPolicyDTO VarnAPIClient::createAgentPolicy(UUID orgId, UUID agentAccountId,
                                                const AgentPolicyCreateBody& body) {
  return decodeReply<AgentPolicyDTO>(
      request("POST", org(orgId) + "/agents/" + agentAccountId.toString() + "/policies", kNoQuery,
              encodeBody(body)));
}

std::vector<AgentPolicyDTO> VarnAPIClient::agentPolicies(UUID orgId, UUID agentAccountId) {
  return decodeReply<std::vector<AgentPolicyDTO>>(
      request("GET", org(orgId) + "/agents/" + agentAccountId.toString() + "/policies", kNoQuery,
              std::nullopt));
}

InviteCreatedDTO VarnAPIClient::createInvite(UUID orgId, std::string_view role,
                                             const std::vector<UUID>& intendedCollections,
                                             std::string_view orgLabel,
                                             std::string_view inviterLabel,
                                             const std::optional<std::string>& deliveryEmail,
                                             const std::optional<std::string>& pinnedHandle,
                                             std::optional<std::int64_t> ttlHours) {
  const CreateInviteBody body{std::string(role),
                              intendedCollections,
                              std::string(orgLabel),
                              std::string(inviterLabel),
                              deliveryEmail,
                              pinnedHandle,
                              ttlHours};
  return decodeReply<InviteCreatedDTO>(
      request("POST", org(orgId) + "/invites", kNoQuery, encodeBody(body)));
}

std::vector<InviteDTO> VarnAPIClient::invites(UUID orgId) {
  return decodeReply<std::vector<InviteDTO>>(
      request("GET", org(orgId) + "/invites", kNoQuery, std::nullopt));
}

InviteDTO VarnAPIClient::invite(UUID orgId, std::string_view id) {
  return decodeReply<InviteDTO>(
      request("GET", org(orgId) + "/invites/" + ServerURL::segment(id), kNoQuery, std::nullopt));
}

void VarnAPIClient::revokeInvite(UUID orgId, std::string_view id) {
  (void)request("DELETE", org(orgId) + "/invites/" + ServerURL::segment(id), kNoQuery,
                std::nullopt);
}

void VarnAPIClient::grantInvite(UUID orgId, std::string_view id,
                                const std::vector<SignedCollectionGrant>& collectionGrants) {
  const GrantInviteBody body{collectionGrants};
  (void)request("POST", org(orgId) + "/invites/" + ServerURL::segment(id) + "/grant", kNoQuery,
                encodeBody(body));
}

AccountDTO VarnAPIClient::accountByHandle(UUID orgId, std::string_view handle) {
  return decodeReply<AccountDTO>(
      request("GET", org(orgId) + "/accounts/by-handle/" + ServerURL::segment(handle), kNoQuery,
              std::nullopt));
}

InviteClaimDTO VarnAPIClient::claimInvite(std::string_view token) {
  const ClaimInviteBody body{std::string(token)};
  return decodeReply<InviteClaimDTO>(request("POST", "invites/claim", kNoQuery, encodeBody(body)));
}

std::vector<CollectionDTO> VarnAPIClient::collections(UUID orgId) {
  return decodeReply<std::vector<CollectionDTO>>(
      request("GET", org(orgId) + "/collections", kNoQuery, std::nullopt));
}

CollectionDTO VarnAPIClient::createCollection(UUID orgId, std::optional<UUID> id,
                                              std::optional<UUID> parentId, const Bytes& nameBlob,
                                              const Bytes& wrappedKey) {
  const CreateCollectionBody body{id, parentId, Base64URL::encode(nameBlob),
                                  Base64URL::encode(wrappedKey)};
  return decodeReply<CollectionDTO>(
      request("POST", org(orgId) + "/collections", kNoQuery, encodeBody(body)));
}

void VarnAPIClient::patchCollection(UUID id, const std::optional<Bytes>& nameBlob,
                                    std::optional<UUID> parentId,
                                    std::optional<std::int64_t> sort) {
  PatchCollectionBody body{std::nullopt, parentId, sort};
  if (nameBlob) body.name_blob = Base64URL::encode(*nameBlob);
  (void)request("PATCH", "collections/" + id.toString(), kNoQuery, encodeBody(body));
}

void VarnAPIClient::deleteCollection(UUID id) {
  (void)request("DELETE", "collections/" + id.toString(), kNoQuery, std::nullopt);
}

void VarnAPIClient::rotateCollection(UUID collectionID, std::int64_t keyEpoch,
                                     const std::vector<RotateMemberGrant>& memberGrants,
                                     const std::vector<RotateItemKey>& itemKeys) {
  const RotateCollectionBody body{keyEpoch, memberGrants, itemKeys};
  (void)request("POST", "collections/" + collectionID.toString() + "/rotate", kNoQuery,
                encodeBody(body));
}

std::vector<ItemMetaDTO> VarnAPIClient::items(UUID collectionId) {
  return decodeReply<std::vector<ItemMetaDTO>>(
      request("GET", "collections/" + collectionId.toString() + "/items", kNoQuery, std::nullopt));
}

ItemDTO VarnAPIClient::getItem(UUID id) {
  return decodeReply<ItemDTO>(request("GET", "items/" + id.toString(), kNoQuery, std::nullopt));
}

ItemDTO VarnAPIClient::createItem(UUID collectionId, const ItemWriteBody& body) {
  return decodeReply<ItemDTO>(request("POST", "collections/" + collectionId.toString() + "/items",
                                      kNoQuery, encodeBody(body)));
}

ItemDTO VarnAPIClient::putItem(UUID id, const ItemWriteBody& body, std::int64_t expectedRevision) {
  const PutBody put{body.name_blob,        body.content_blob, body.crypto_params,
                    body.wrapped_item_key, body.ai_access,    expectedRevision};
  return decodeReply<ItemDTO>(request("PUT", "items/" + id.toString(), kNoQuery, encodeBody(put)));
}

void VarnAPIClient::deleteItem(UUID id) {
  (void)request("DELETE", "items/" + id.toString(), kNoQuery, std::nullopt);
}

SyncResponseDTO VarnAPIClient::sync(std::optional<Date> since) {
  std::vector<support::QueryItem> query;
  if (since) query.push_back({"since", InternetDate::format(*since)});
  return decodeReply<SyncResponseDTO>(request("GET", "sync", query, std::nullopt));
}

}  // namespace varn::api
