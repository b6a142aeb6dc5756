#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "api/core/APIError.hpp"
#include "api/core/HttpSession.hpp"
#include "api/core/InternetDate.hpp"
#include "api/core/ServerURL.hpp"
#include "api/core/WireTypes.hpp"
#include "api/endpoints/AuthAPI.hpp"
#include "api/endpoints/BootstrapAPI.hpp"
#include "api/endpoints/InviteAPI.hpp"
#include "api/endpoints/RequestRecords.hpp"
#include "api/models/AccountRecords.hpp"
#include "api/models/InviteRecords.hpp"
#include "api/models/ItemRecords.hpp"
#include "api/models/WrappedKeyDTO.hpp"
#include "crypto/vault/KeyModels.hpp"

namespace varn::api {

// The HTTP/JSON client of the sync server: one blocking operation per server call, with typed
// request and reply records and one error type.
//
// Every call goes through one request path: the path is joined to the base URL; the header
// "Content-Type: application/json" is sent on every request, and "Authorization: Bearer <token>"
// while a session token is set; a 2xx reply's body is returned (and decoded into the call's
// record), any other status becomes APIError::from(status, body). Failures: a failed exchange is
// APIError::transport(-1, <the session's text>); a base URL that is not an absolute http(s) URL
// gives transport(-1, "non-HTTP response"); a session token holding CR, LF or NUL gives
// transport(-1, ...) before anything is sent (the text never quotes the token); a reply body over
// 64 MiB gives transport(status, "response too large"); a body that does not encode or a reply
// that does not decode gives decoding(<the coder's text>). Nothing is retried and no token is
// refreshed; redirects are the session's business.
//
// Thread-safe: any number of calls may run at once. The token is read when a request is built; a
// token set meanwhile affects only requests built afterwards. The session must be safe to call
// from several threads (CurlHttpSession is).
class VarnAPIClient final : public AuthAPI, public BootstrapAPI, public InviteAPI {
 public:
  // Keeps both; the session token starts absent. Nothing is sent. A base URL that is not an
  // absolute http(s) URL makes every call fail as above.
  VarnAPIClient(std::string_view baseURL, std::shared_ptr<HttpSession> session);

  // Replaces the session token; nullopt removes it, so later requests carry no Authorization.
  void setSessionToken(std::optional<std::string> token);

  // 1. POST auth/passkey/register/begin {handle, pubkey_x25519, pubkey_ed25519,
  //    wrapped_account_privkeys} (byte values as Base64URL); returns the reply bytes unchanged.
  Bytes registerBegin(std::string_view handle, const Bytes& pubkeyX25519,
                      const Bytes& pubkeyEd25519, const Bytes& wrappedAccountPrivkeys) override;
  // 2. POST auth/passkey/register/finish with the attestation bytes as the body.
  AccountDTO registerFinish(const Bytes& attestation) override;
  // 3. POST auth/passkey/login/begin {"handle": handle}; returns the reply bytes unchanged.
  Bytes loginBegin(std::string_view handle) override;
  // 4. POST auth/passkey/login/finish with the assertion bytes as the body. On success the reply's
  //    session_token becomes the client's token (its expiry is not looked at); on failure the
  //    token stays as it was.
  LoginFinishResponse loginFinish(const Bytes& assertion) override;
  // 5. POST auth/logout; the reply is dropped. The token stays set.
  void logout();
  // 6. GET me.
  MeResponse me() override;
  // 7. GET me/wrapped-keys.
  WrappedKeysResponse wrappedKeys() override;
  // 8. POST me/wrapped-keys with WrappedKeyDTO(key); the reply is dropped.
  void addWrappedKey(const crypto::WrappedKey& key) override;
  // 9. DELETE me/wrapped-keys/<wire name of the method>; the reply is dropped.
  void deleteWrappedKey(crypto::UnlockMethod method);
  // 10. POST orgs {id (when given), name_blob}.
  OrgDTO createOrg(std::optional<UUID> id, const Bytes& nameBlob) override;
  // 11. GET orgs/{org}/members.
  std::vector<MemberDTO> members(UUID orgId) override;
  // 12. POST orgs/{org}/members {account_id, role, collection_grants}; the reply is dropped.
  void addMember(UUID orgId, UUID accountId, std::string_view role,
                 const std::vector<CollectionGrant>& collectionGrants) override;
  // 13. PATCH orgs/{org}/members/{account} {"role": role}; the reply is dropped.
  void setMemberRole(UUID orgId, UUID accountId, std::string_view role) override;
  // 14. DELETE orgs/{org}/members/{account}; the reply is dropped.
  void removeMember(UUID orgId, UUID accountId) override;
  // 15. POST orgs/{org}/agents with the body.
  AgentDTO createAgent(UUID orgId, const AgentCreateBody& body);
  // 16. GET orgs/{org}/agents.
  std::vector<AgentDTO> agents(UUID orgId);
  // 17. POST orgs/{org}/agents/{agent}/policies with the body.
  AgentPolicyDTO createAgentPolicy(UUID orgId, UUID agentAccountId,
                                   const AgentPolicyCreateBody& body);
  // 18. GET orgs/{org}/agents/{agent}/policies.
  std::vector<AgentPolicyDTO> agentPolicies(UUID orgId, UUID agentAccountId);
  // 19. POST orgs/{org}/invites {role, intended_collections, org_label, inviter_label,
  //     delivery_email, pinned_handle, ttl_hours}; the last three only when given.
  InviteCreatedDTO createInvite(UUID orgId, std::string_view role,
                                const std::vector<UUID>& intendedCollections,
                                std::string_view orgLabel, std::string_view inviterLabel,
                                const std::optional<std::string>& deliveryEmail,
                                const std::optional<std::string>& pinnedHandle,
                                std::optional<std::int64_t> ttlHours) override;
  // 20. GET orgs/{org}/invites.
  std::vector<InviteDTO> invites(UUID orgId) override;
  // 21. GET orgs/{org}/invites/{id}; the id is one encoded path segment (ServerURL::segment).
  InviteDTO invite(UUID orgId, std::string_view id) override;
  // 22. DELETE orgs/{org}/invites/{id}; the reply is dropped.
  void revokeInvite(UUID orgId, std::string_view id) override;
  // 23. POST orgs/{org}/invites/{id}/grant {collection_grants}; the reply is dropped.
  void grantInvite(UUID orgId, std::string_view id,
                   const std::vector<SignedCollectionGrant>& collectionGrants) override;
  // 24. GET orgs/{org}/accounts/by-handle/{handle}; the handle is one encoded path segment.
  AccountDTO accountByHandle(UUID orgId, std::string_view handle) override;
  // 25. POST invites/claim {token}.
  InviteClaimDTO claimInvite(std::string_view token) override;
  // 26. GET orgs/{org}/collections.
  std::vector<CollectionDTO> collections(UUID orgId);
  // 27. POST orgs/{org}/collections {id, parent_id, name_blob, wrapped_key}; absent ids left out.
  CollectionDTO createCollection(UUID orgId, std::optional<UUID> id, std::optional<UUID> parentId,
                                 const Bytes& nameBlob, const Bytes& wrappedKey) override;
  // 28. PATCH collections/{id} {name_blob, parent_id, sort}, each only when given (so {} when
  //     nothing is); the reply is dropped.
  void patchCollection(UUID id, const std::optional<Bytes>& nameBlob, std::optional<UUID> parentId,
                       std::optional<std::int64_t> sort);
  // 29. DELETE collections/{id}; the reply is dropped.
  void deleteCollection(UUID id);
  // 30. POST collections/{id}/rotate {key_epoch, member_grants, item_keys}; the reply is dropped.
  void rotateCollection(UUID collectionID, std::int64_t keyEpoch,
                        const std::vector<RotateMemberGrant>& memberGrants,
                        const std::vector<RotateItemKey>& itemKeys) override;
  // 31. GET collections/{id}/items.
  std::vector<ItemMetaDTO> items(UUID collectionId);
  // 32. GET items/{id}.
  ItemDTO getItem(UUID id);
  // 33. POST collections/{id}/items with the body ("id" when set).
  ItemDTO createItem(UUID collectionId, const ItemWriteBody& body);
  // 34. PUT items/{id} with the body's five content fields and expected_revision (the body's id is
  //     not sent). A 409 reply is APIError::conflict with the server's revision.
  ItemDTO putItem(UUID id, const ItemWriteBody& body, std::int64_t expectedRevision);
  // 35. DELETE items/{id}; the reply is dropped.
  void deleteItem(UUID id);
  // 36. GET sync, with the one query item since=<InternetDate::format(since)> when given.
  SyncResponseDTO sync(std::optional<Date> since);

 private:
  // The one place where HTTP happens: returns the body of a 2xx reply, throws APIError otherwise.
  std::string request(std::string_view method, std::string_view path,
                      const std::vector<support::QueryItem>& query,
                      std::optional<std::string> body);

  const std::optional<ServerURL> baseURL_;
  const std::shared_ptr<HttpSession> session_;
  std::mutex mutex_;
  std::optional<std::string> sessionToken_;  // guarded by mutex_
};

}  // namespace varn::api
