#include "mcp/secrets/VaultWire.hpp"

namespace varn::mcp {

std::string_view toString(VaultDecision decision) noexcept {
  return jsonEnumTexts(decision).toString(decision);
}

template <>
std::optional<VaultDecision> fromString<VaultDecision>(std::string_view text) noexcept {
  return jsonEnumTexts(VaultDecision{}).fromString(text);
}

std::string_view toString(AIAccess access) noexcept {
  return jsonEnumTexts(access).toString(access);
}

template <>
std::optional<AIAccess> fromString<AIAccess>(std::string_view text) noexcept {
  return jsonEnumTexts(AIAccess{}).fromString(text);
}

std::string_view toString(VaultRequest::Op op) noexcept {
  return jsonEnumTexts(op).toString(op);
}

template <>
std::optional<VaultRequest::Op> fromString<VaultRequest::Op>(std::string_view text) noexcept {
  return jsonEnumTexts(VaultRequest::Op{}).fromString(text);
}

VARN_JSON_RECORD_MEMBERS(VaultRequest);
VARN_JSON_RECORD_MEMBERS(VaultResponse);
VARN_JSON_RECORD_MEMBERS(VaultListEntry);

std::vector<VaultListEntry> VaultListEntry::listFromJson(const support::Json& array) {
  if (!array.is_array()) throw support::JsonDecodeError("list reply must be a JSON array");
  // Elements are named by their index alone: "[1]: missing required key \"type\"".
  return support::JsonCoder<std::vector<VaultListEntry>>::decode(array, "");
}

}  // namespace varn::mcp
