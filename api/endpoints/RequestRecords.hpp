#pragma once

// The request records that belong to the client's endpoints, coded by the wire rule of the record
// codec (see api/models/AccountRecords.hpp).

#include <optional>
#include <string>

#include "api/core/WireTypes.hpp"
#include "api/models/CryptoParamsDTO.hpp"
#include "support/JsonRecord.hpp"

namespace varn::api {

// The content of an item to create or replace. Encoded and decoded; the texts are sent unchanged.
// createItem sends "id" when set; putItem never sends it (the path names the item).
struct ItemWriteBody {
  std::optional<UUID> id;
  std::string name_blob;
  std::string content_blob;
  CryptoParamsDTO crypto_params;
  std::string wrapped_item_key;
  std::string ai_access;

  bool operator==(const ItemWriteBody&) const = default;
};
VARN_JSON_RECORD(ItemWriteBody, "item", VARN_JSON_FIELD(id), VARN_JSON_FIELD(name_blob),
                 VARN_JSON_FIELD(content_blob), VARN_JSON_FIELD(crypto_params),
                 VARN_JSON_FIELD(wrapped_item_key), VARN_JSON_FIELD(ai_access));

// A collection key granted to a member being added. Encoded only.
struct CollectionGrant {
  // wrapped_key = Base64URL of the wrapped key bytes.
  CollectionGrant(UUID collectionId, const Bytes& wrappedKey);

  UUID collection_id;
  std::string wrapped_key;

  bool operator==(const CollectionGrant&) const = default;
};
VARN_JSON_RECORD(CollectionGrant, "collection grant", VARN_JSON_FIELD(collection_id),
                 VARN_JSON_FIELD(wrapped_key));

}  // namespace varn::api
