#pragma once

// The wire records of items, sign-in and incremental sync, coded by the wire rule of the record
// codec (see AccountRecords.hpp). SyncResponseDTO alone departs from it when decoding: its lists
// default to empty.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "api/core/InternetDate.hpp"
#include "api/core/WireTypes.hpp"
#include "api/models/CryptoParamsDTO.hpp"
#include "support/JsonRecord.hpp"

namespace varn::api {

// One entry of an item listing.
struct ItemMetaDTO {
  UUID id;
  std::string type;
  std::string name_blob;
  std::string ai_access;
  std::int64_t revision = 0;
  Date updated_at;

  bool operator==(const ItemMetaDTO&) const = default;
};
VARN_JSON_RECORD(ItemMetaDTO, "item", VARN_JSON_FIELD(id), VARN_JSON_FIELD(type),
                 VARN_JSON_FIELD(name_blob), VARN_JSON_FIELD(ai_access), VARN_JSON_FIELD(revision),
                 VARN_JSON_FIELD(updated_at).coded<InternetDateCoder>());

// A full item. "crypto_params" may hold any JSON value, null included; only a missing key fails.
// The texts are the server's and the host's; the client neither checks nor decodes them.
struct ItemDTO {
  UUID id;
  UUID collection_id;
  std::string type;
  std::string name_blob;
  std::string content_blob;
  CryptoParamsDTO crypto_params;
  std::string wrapped_item_key;
  std::string ai_access;
  std::int64_t revision = 0;
  Date updated_at;

  bool operator==(const ItemDTO&) const = default;
};
VARN_JSON_RECORD(ItemDTO, "item", VARN_JSON_FIELD(id), VARN_JSON_FIELD(collection_id),
                 VARN_JSON_FIELD(type), VARN_JSON_FIELD(name_blob), VARN_JSON_FIELD(content_blob),
                 VARN_JSON_FIELD(crypto_params), VARN_JSON_FIELD(wrapped_item_key),
                 VARN_JSON_FIELD(ai_access), VARN_JSON_FIELD(revision),
                 VARN_JSON_FIELD(updated_at).coded<InternetDateCoder>());

// The reply of the passkey sign-in finish.
struct LoginFinishResponse {
  std::string session_token;
  Date expires_at;
};
VARN_JSON_RECORD(LoginFinishResponse, "login", VARN_JSON_FIELD(session_token),
                 VARN_JSON_FIELD(expires_at).coded<InternetDateCoder>());

// The reply of an incremental sync.
struct SyncResponseDTO {
  // An item changed since the requested time.
  struct ItemDelta {
    UUID id;
    UUID collection_id;
    std::int64_t revision = 0;
    Date updated_at;
    bool deleted = false;
  };

  // A collection changed since the requested time.
  struct CollectionDelta {
    UUID id;
    UUID org_id;
    std::optional<UUID> parent_id;
    std::string name_blob;
    std::int64_t sort = 0;
    std::string wrapped_key;
    Date updated_at;
    bool deleted = false;
  };

  // Reads "now" (required) and the two lists, each of which may be absent or null (an empty
  // list); an element that fails fails the whole reply. Throws support::JsonDecodeError.
  [[nodiscard]] static SyncResponseDTO fromJson(const support::Json& value);

  Date now;
  std::vector<ItemDelta> items;
  std::vector<CollectionDelta> collections;
};
VARN_JSON_RECORD(SyncResponseDTO::ItemDelta, "item delta", VARN_JSON_FIELD(id),
                 VARN_JSON_FIELD(collection_id), VARN_JSON_FIELD(revision),
                 VARN_JSON_FIELD(updated_at).coded<InternetDateCoder>(), VARN_JSON_FIELD(deleted));
VARN_JSON_RECORD(SyncResponseDTO::CollectionDelta, "collection delta", VARN_JSON_FIELD(id),
                 VARN_JSON_FIELD(org_id), VARN_JSON_FIELD(parent_id), VARN_JSON_FIELD(name_blob),
                 VARN_JSON_FIELD(sort), VARN_JSON_FIELD(wrapped_key),
                 VARN_JSON_FIELD(updated_at).coded<InternetDateCoder>(), VARN_JSON_FIELD(deleted));
// Encoding follows the rule: "now", then both lists, always written ([] when empty).
VARN_JSON_RECORD(SyncResponseDTO, "sync reply", VARN_JSON_FIELD(now).coded<InternetDateCoder>(),
                 VARN_JSON_FIELD(items), VARN_JSON_FIELD(collections));

}  // namespace varn::api
