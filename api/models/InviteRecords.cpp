#include "api/models/InviteRecords.hpp"

#include "api/core/Base64URL.hpp"

namespace varn::api {

SignedCollectionGrant::SignedCollectionGrant(UUID collectionId, const Bytes& wrappedKey,
                                             const Bytes& grantSig)
    : collection_id(collectionId),
      wrapped_key(Base64URL::encode(wrappedKey)),
      grant_sig(Base64URL::encode(grantSig)) {}

RotateMemberGrant::RotateMemberGrant(UUID accountId, const Bytes& wrappedKey, const Bytes& grantSig)
    : account_id(accountId),
      wrapped_key(Base64URL::encode(wrappedKey)),
      grant_sig(Base64URL::encode(grantSig)) {}

RotateItemKey::RotateItemKey(UUID itemId, const Bytes& wrappedItemKey)
    : item_id(itemId), wrapped_item_key(Base64URL::encode(wrappedItemKey)) {}

}  // namespace varn::api
