#include "api/models/ItemRecords.hpp"

namespace varn::api {
namespace {

// A list that may be absent or null (empty) and is otherwise coded as the rule says.
template <typename T>
std::vector<T> defaultedList(const support::Json& object, std::string_view key) {
  const support::Json* value = support::findPresent(object, key);
  if (value == nullptr) return {};
  return support::JsonCoder<std::vector<T>>::decode(*value, key);
}

}  // namespace

SyncResponseDTO SyncResponseDTO::fromJson(const support::Json& value) {
  support::requireObject(value, "sync reply");
  SyncResponseDTO out;
  const support::Json* now = support::findPresent(value, "now");
  if (now == nullptr) support::throwMissing("now");
  out.now = InternetDateCoder::decode(*now, "now");
  out.items = defaultedList<ItemDelta>(value, "items");
  out.collections = defaultedList<CollectionDelta>(value, "collections");
  return out;
}

}  // namespace varn::api
