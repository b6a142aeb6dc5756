#pragma once

// The wire records of accounts, organisations, members, collections, agents and agent policies.
// Each is coded by the wire rule of the record codec (support/JsonRecord.hpp): keys are the
// snake-case field names, written in declaration order; an absent optional is left out and reads
// as absent when missing or null; keys a record does not declare are ignored; UUIDs are written in
// upper case and read in either case; dates are RFC 3339 texts (InternetDate); byte values travel
// as Base64URL text and are held as text. Decoding is all or nothing.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "api/core/Base64URL.hpp"
#include "api/core/InternetDate.hpp"
#include "api/models/JSONValue.hpp"
#include "support/JsonRecord.hpp"

namespace varn::api {

// An account. Decoded and encoded.
struct AccountDTO {
  UUID id;
  std::string handle;
  std::string pubkey_x25519;
  std::string pubkey_ed25519;
  std::optional<std::string> fingerprint;

  bool operator==(const AccountDTO&) const = default;
};
VARN_JSON_RECORD(AccountDTO, "account", VARN_JSON_FIELD(id), VARN_JSON_FIELD(handle),
                 VARN_JSON_FIELD(pubkey_x25519), VARN_JSON_FIELD(pubkey_ed25519),
                 VARN_JSON_FIELD(fingerprint));

// One organisation membership of the signed-in account. Decoded and encoded.
struct MembershipDTO {
  UUID org_id;
  std::string role;

  bool operator==(const MembershipDTO&) const = default;
};
VARN_JSON_RECORD(MembershipDTO, "membership", VARN_JSON_FIELD(org_id), VARN_JSON_FIELD(role));

// The reply of the current-account call; "memberships" is required and may be empty.
struct MeResponse {
  AccountDTO account;
  std::vector<MembershipDTO> memberships;
};
VARN_JSON_RECORD(MeResponse, "me", VARN_JSON_FIELD(account), VARN_JSON_FIELD(memberships));

// An organisation.
struct OrgDTO {
  UUID id;
  std::string name_blob;

  bool operator==(const OrgDTO&) const = default;
};
VARN_JSON_RECORD(OrgDTO, "organisation", VARN_JSON_FIELD(id), VARN_JSON_FIELD(name_blob));

// A member of an organisation: unlike an account, the fingerprint is required and the public keys
// are optional.
struct MemberDTO {
  UUID account_id;
  std::string role;
  std::string fingerprint;
  std::optional<std::string> pubkey_x25519;
  std::optional<std::string> pubkey_ed25519;

  bool operator==(const MemberDTO&) const = default;
};
VARN_JSON_RECORD(MemberDTO, "member", VARN_JSON_FIELD(account_id), VARN_JSON_FIELD(role),
                 VARN_JSON_FIELD(fingerprint), VARN_JSON_FIELD(pubkey_x25519),
                 VARN_JSON_FIELD(pubkey_ed25519));

// A collection.
struct CollectionDTO {
  UUID id;
  std::optional<UUID> parent_id;
  std::string name_blob;
  std::int64_t sort = 0;
  std::string wrapped_key;

  bool operator==(const CollectionDTO&) const = default;
};
VARN_JSON_RECORD(CollectionDTO, "collection", VARN_JSON_FIELD(id), VARN_JSON_FIELD(parent_id),
                 VARN_JSON_FIELD(name_blob), VARN_JSON_FIELD(sort), VARN_JSON_FIELD(wrapped_key));

// A collection key handed to a new agent. Encoded only.
struct AgentCollectionGrant {
  // wrapped_key = Base64URL of the wrapped key bytes.
  AgentCollectionGrant(UUID collectionId, const Bytes& wrappedKey);

  UUID collection_id;
  std::string wrapped_key;

  bool operator==(const AgentCollectionGrant&) const = default;
};
VARN_JSON_RECORD(AgentCollectionGrant, "agent collection grant", VARN_JSON_FIELD(collection_id),
                 VARN_JSON_FIELD(wrapped_key));

// The body that creates an agent account. Encoded only; writes "role" before "handle".
struct AgentCreateBody {
  // The texts and grants unchanged; the three byte values as Base64URL text.
  AgentCreateBody(std::optional<UUID> agentId, std::string agentSlug, std::string displayName,
                  std::string agentRole, std::string agentHandle, const Bytes& pubkeyX25519,
                  const Bytes& pubkeyEd25519, const Bytes& wrappedAccountPrivkeys,
                  std::vector<AgentCollectionGrant> collectionGrants);

  std::optional<UUID> id;
  std::string slug;
  std::string display_name;
  std::string role;
  std::string handle;
  std::string pubkey_x25519;
  std::string pubkey_ed25519;
  std::string wrapped_account_privkeys;
  std::vector<AgentCollectionGrant> collection_grants;

  bool operator==(const AgentCreateBody&) const = default;
};
VARN_JSON_RECORD(AgentCreateBody, "agent", VARN_JSON_FIELD(id), VARN_JSON_FIELD(slug),
                 VARN_JSON_FIELD(display_name), VARN_JSON_FIELD(role), VARN_JSON_FIELD(handle),
                 VARN_JSON_FIELD(pubkey_x25519), VARN_JSON_FIELD(pubkey_ed25519),
                 VARN_JSON_FIELD(wrapped_account_privkeys), VARN_JSON_FIELD(collection_grants));

// An agent account; declares "handle" before "role".
struct AgentDTO {
  UUID account_id;
  std::string slug;
  std::string display_name;
  std::string handle;
  std::string role;
  std::string fingerprint;
  std::string pubkey_x25519;
  std::string pubkey_ed25519;
  std::optional<Date> disabled_at;
  Date created_at;

  bool operator==(const AgentDTO&) const = default;
};
VARN_JSON_RECORD(AgentDTO, "agent", VARN_JSON_FIELD(account_id), VARN_JSON_FIELD(slug),
                 VARN_JSON_FIELD(display_name), VARN_JSON_FIELD(handle), VARN_JSON_FIELD(role),
                 VARN_JSON_FIELD(fingerprint), VARN_JSON_FIELD(pubkey_x25519),
                 VARN_JSON_FIELD(pubkey_ed25519),
                 VARN_JSON_FIELD(disabled_at).coded<InternetDateCoder>(),
                 VARN_JSON_FIELD(created_at).coded<InternetDateCoder>());

// The body that creates an agent policy. Encoded only. The client checks nothing about the item
// and collection ids: both may be absent or present together.
struct AgentPolicyCreateBody {
  std::optional<UUID> item_id;
  std::optional<UUID> collection_id;
  std::string capability;
  JSONValue constraints;
  std::string approval;

  bool operator==(const AgentPolicyCreateBody&) const = default;
};
VARN_JSON_RECORD(AgentPolicyCreateBody, "agent policy", VARN_JSON_FIELD(item_id),
                 VARN_JSON_FIELD(collection_id), VARN_JSON_FIELD(capability),
                 VARN_JSON_FIELD(constraints), VARN_JSON_FIELD(approval));

// An agent policy; "constraints" may hold any JSON value, null included (only a missing key fails).
struct AgentPolicyDTO {
  UUID id;
  UUID org_id;
  UUID agent_account_id;
  std::optional<UUID> item_id;
  std::optional<UUID> collection_id;
  std::string capability;
  JSONValue constraints;
  std::string approval;
  std::optional<Date> disabled_at;
  Date created_at;

  bool operator==(const AgentPolicyDTO&) const = default;
};
VARN_JSON_RECORD(AgentPolicyDTO, "agent policy", VARN_JSON_FIELD(id), VARN_JSON_FIELD(org_id),
                 VARN_JSON_FIELD(agent_account_id), VARN_JSON_FIELD(item_id),
                 VARN_JSON_FIELD(collection_id), VARN_JSON_FIELD(capability),
                 VARN_JSON_FIELD(constraints), VARN_JSON_FIELD(approval),
                 VARN_JSON_FIELD(disabled_at).coded<InternetDateCoder>(),
                 VARN_JSON_FIELD(created_at).coded<InternetDateCoder>());

}  // namespace varn::api
