#include "api/endpoints/RequestRecords.hpp"

#include "api/core/Base64URL.hpp"

namespace varn::api {

CollectionGrant::CollectionGrant(UUID collectionId, const Bytes& wrappedKey)
    : collection_id(collectionId), wrapped_key(Base64URL::encode(wrappedKey)) {}

}  // namespace varn::api
