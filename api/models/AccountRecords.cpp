#include "api/models/AccountRecords.hpp"

namespace varn::api {

AgentCollectionGrant::AgentCollectionGrant(UUID collectionId, const Bytes& wrappedKey)
    : collection_id(collectionId), wrapped_key(Base64URL::encode(wrappedKey)) {}

AgentCreateBody::AgentCreateBody(std::optional<UUID> agentId, std::string agentSlug,
                                 std::string displayName, std::string agentRole,
                                 std::string agentHandle, const Bytes& pubkeyX25519,
                                 const Bytes& pubkeyEd25519, const Bytes& wrappedAccountPrivkeys,
                                 std::vector<AgentCollectionGrant> collectionGrants)
    : id(agentId),
      slug(std::move(agentSlug)),
      display_name(std::move(displayName)),
      role(std::move(agentRole)),
      handle(std::move(agentHandle)),
      pubkey_x25519(Base64URL::encode(pubkeyX25519)),
      pubkey_ed25519(Base64URL::encode(pubkeyEd25519)),
      wrapped_account_privkeys(Base64URL::encode(wrappedAccountPrivkeys)),
      collection_grants(std::move(collectionGrants)) {}

}  // namespace varn::api
