#pragma once

// The agent provisioning bundle: a self-contained JSON document that gives an agent an account of
// its own (fresh X25519 and Ed25519 key pairs whose private half is wrapped under an agent vault
// key, itself wrapped under a bundle passphrase), the sync server's base address, the agent's
// handle and account identifier, and the collections it may use. Made by
// VaultCrypto::createAgentProvisioningMaterial.
//
// Records coded by the record codec: the bundle's own keys are snake case ("base_url",
// "account_id", "public_keys", "wrapped_keys", "wrapped_account_privkeys"); the nested records
// keep their camel-case keys ("kdfParams", "memoryKiB"). UUIDs are written in upper case and read
// in either; bytes are padded standard Base64; an absent account identifier is left out and read
// from a missing key or null.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/vault/KeyModels.hpp"
#include "support/JsonRecord.hpp"
#include "support/Uuid.hpp"

namespace varn::crypto {

// The record-codec coder of an absolute URL text (a scheme and an RFC 3986 reference, checked by
// support's strict parser): anything else fails with "key \"base_url\" must be an absolute URL".
struct AbsoluteUrlText {
  // True when `text` is an RFC 3986 URI with a scheme.
  [[nodiscard]] static bool isAbsoluteUrl(std::string_view text);
  static support::OrderedJson encode(const std::string& url) { return url; }
  static std::string decode(const support::Json& value, std::string_view key);
};

struct AgentBundlePublicKeys {
  Bytes x25519{};             // 32 bytes
  Bytes ed25519{};            // 32 bytes
  std::string fingerprint{};  // 24 characters

  bool operator==(const AgentBundlePublicKeys&) const = default;
};

VARN_JSON_RECORD(AgentBundlePublicKeys, "AgentBundlePublicKeys",
                 VARN_JSON_FIELD(x25519).coded<Base64Text>(),
                 VARN_JSON_FIELD(ed25519).coded<Base64Text>(), VARN_JSON_FIELD(fingerprint));

struct AgentBundleCollection {
  support::Uuid id{};
  std::string label{};

  bool operator==(const AgentBundleCollection&) const = default;
};

VARN_JSON_RECORD(AgentBundleCollection, "AgentBundleCollection", VARN_JSON_FIELD(id),
                 VARN_JSON_FIELD(label));

struct AgentBundle {
  std::int64_t version = 1;
  std::string baseURL{};  // absolute URL text
  std::string handle{};
  std::optional<support::Uuid> accountID{};
  AgentBundlePublicKeys publicKeys{};
  std::vector<WrappedKey> wrappedKeys{};
  Bytes wrappedAccountPrivKeys{};
  std::vector<AgentBundleCollection> collections{};

  bool operator==(const AgentBundle&) const = default;
};

VARN_JSON_RECORD(
    AgentBundle, "AgentBundle", VARN_JSON_FIELD(version),
    VARN_JSON_FIELD_AS(baseURL, "base_url").coded<AbsoluteUrlText>(), VARN_JSON_FIELD(handle),
    VARN_JSON_FIELD_AS(accountID, "account_id"), VARN_JSON_FIELD_AS(publicKeys, "public_keys"),
    VARN_JSON_FIELD_AS(wrappedKeys, "wrapped_keys"),
    VARN_JSON_FIELD_AS(wrappedAccountPrivKeys, "wrapped_account_privkeys").coded<Base64Text>(),
    VARN_JSON_FIELD(collections));

// The result of provisioning an agent (not a JSON record): its public keys, its private keys
// wrapped under its vault key (the same bytes as in the bundle), and the bundle.
struct AgentProvisioningMaterial {
  AccountPublicKeys accountPublicKeys{};
  Bytes wrappedAccountPrivKeys{};
  AgentBundle bundle{};
};

}  // namespace varn::crypto
