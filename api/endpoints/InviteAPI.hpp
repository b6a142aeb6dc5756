#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "api/core/WireTypes.hpp"
#include "api/endpoints/RequestRecords.hpp"
#include "api/models/AccountRecords.hpp"
#include "api/models/InviteRecords.hpp"

namespace varn::api {

// Members, invites, key rotation and the invite claim. VarnAPIClient is the one implementation;
// each operation is documented there. Every operation blocks and throws only APIError.
class InviteAPI {
 public:
  virtual ~InviteAPI() = default;

  virtual std::vector<MemberDTO> members(UUID orgId) = 0;
  virtual void setMemberRole(UUID orgId, UUID accountId, std::string_view role) = 0;
  virtual void removeMember(UUID orgId, UUID accountId) = 0;
  virtual void addMember(UUID orgId, UUID accountId, std::string_view role,
                         const std::vector<CollectionGrant>& collectionGrants) = 0;
  virtual InviteCreatedDTO createInvite(UUID orgId, std::string_view role,
                                        const std::vector<UUID>& intendedCollections,
                                        std::string_view orgLabel, std::string_view inviterLabel,
                                        const std::optional<std::string>& deliveryEmail,
                                        const std::optional<std::string>& pinnedHandle,
                                        std::optional<std::int64_t> ttlHours) = 0;
  virtual std::vector<InviteDTO> invites(UUID orgId) = 0;
  virtual InviteDTO invite(UUID orgId, std::string_view id) = 0;
  virtual void revokeInvite(UUID orgId, std::string_view id) = 0;
  virtual void grantInvite(UUID orgId, std::string_view id,
                           const std::vector<SignedCollectionGrant>& collectionGrants) = 0;
  virtual void rotateCollection(UUID collectionID, std::int64_t keyEpoch,
                                const std::vector<RotateMemberGrant>& memberGrants,
                                const std::vector<RotateItemKey>& itemKeys) = 0;
  virtual AccountDTO accountByHandle(UUID orgId, std::string_view handle) = 0;
  virtual InviteClaimDTO claimInvite(std::string_view token) = 0;
};

}  // namespace varn::api
