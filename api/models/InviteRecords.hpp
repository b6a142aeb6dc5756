#pragma once

// The wire records of organisation invites and collection key rotation, coded by the wire rule of
// the record codec (see AccountRecords.hpp). An invite's id is free text, not a UUID; the
// endpoints put it into their paths as one encoded segment.

#include <optional>
#include <string>
#include <vector>

#include "api/core/InternetDate.hpp"
#include "api/core/WireTypes.hpp"
#include "support/JsonRecord.hpp"

namespace varn::api {

// A collection key granted to an invitee, with its signature. Encoded only.
struct SignedCollectionGrant {
  // wrapped_key and grant_sig = Base64URL of the wrapped key bytes and of the signature bytes.
  SignedCollectionGrant(UUID collectionId, const Bytes& wrappedKey, const Bytes& grantSig);

  UUID collection_id;
  std::string wrapped_key;
  std::string grant_sig;
};
VARN_JSON_RECORD(SignedCollectionGrant, "signed collection grant", VARN_JSON_FIELD(collection_id),
                 VARN_JSON_FIELD(wrapped_key), VARN_JSON_FIELD(grant_sig));

// The reply of invite creation.
struct InviteCreatedDTO {
  std::string id;
  std::string token;
  std::string role;
  std::string status;
  Date expires_at;

  bool operator==(const InviteCreatedDTO&) const = default;
};
VARN_JSON_RECORD(InviteCreatedDTO, "invite", VARN_JSON_FIELD(id), VARN_JSON_FIELD(token),
                 VARN_JSON_FIELD(role), VARN_JSON_FIELD(status),
                 VARN_JSON_FIELD(expires_at).coded<InternetDateCoder>());

// An invite as listed or fetched. An empty "intended_collections" list is distinct from an absent
// one.
struct InviteDTO {
  std::string id;
  std::string role;
  std::string status;
  std::string org_label;
  std::string inviter_label;
  std::optional<std::vector<UUID>> intended_collections;
  std::optional<std::string> masked_email;
  Date expires_at;
  Date created_at;
  std::optional<UUID> claimed_account_id;
  std::optional<std::string> pubkey_x25519;
  std::optional<std::string> pubkey_ed25519;

  bool operator==(const InviteDTO&) const = default;
};
VARN_JSON_RECORD(InviteDTO, "invite", VARN_JSON_FIELD(id), VARN_JSON_FIELD(role),
                 VARN_JSON_FIELD(status), VARN_JSON_FIELD(org_label),
                 VARN_JSON_FIELD(inviter_label), VARN_JSON_FIELD(intended_collections),
                 VARN_JSON_FIELD(masked_email),
                 VARN_JSON_FIELD(expires_at).coded<InternetDateCoder>(),
                 VARN_JSON_FIELD(created_at).coded<InternetDateCoder>(),
                 VARN_JSON_FIELD(claimed_account_id), VARN_JSON_FIELD(pubkey_x25519),
                 VARN_JSON_FIELD(pubkey_ed25519));

// The reply of an invite claim.
struct InviteClaimDTO {
  UUID org_id;
  std::string role;
  std::string status;

  bool operator==(const InviteClaimDTO&) const = default;
};
VARN_JSON_RECORD(InviteClaimDTO, "invite claim", VARN_JSON_FIELD(org_id), VARN_JSON_FIELD(role),
                 VARN_JSON_FIELD(status));

// One member's new collection key in a rotation. Encoded only.
struct RotateMemberGrant {
  // wrapped_key and grant_sig = Base64URL of the bytes.
  RotateMemberGrant(UUID accountId, const Bytes& wrappedKey, const Bytes& grantSig);

  UUID account_id;
  std::string wrapped_key;
  std::string grant_sig;

  bool operator==(const RotateMemberGrant&) const = default;
};
VARN_JSON_RECORD(RotateMemberGrant, "member grant", VARN_JSON_FIELD(account_id),
                 VARN_JSON_FIELD(wrapped_key), VARN_JSON_FIELD(grant_sig));

// One item's re-wrapped item key in a rotation. Encoded only.
struct RotateItemKey {
  // wrapped_item_key = Base64URL of the bytes.
  RotateItemKey(UUID itemId, const Bytes& wrappedItemKey);

  UUID item_id;
  std::string wrapped_item_key;

  bool operator==(const RotateItemKey&) const = default;
};
VARN_JSON_RECORD(RotateItemKey, "item key", VARN_JSON_FIELD(item_id),
                 VARN_JSON_FIELD(wrapped_item_key));

}  // namespace varn::api
