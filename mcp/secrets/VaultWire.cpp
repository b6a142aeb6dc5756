#include "mcp/secrets/VaultWire.hpp"

#include <array>
#include <utility>

namespace varn::mcp {
namespace {

using support::Json;
using support::OrderedJson;

template <typename E, std::size_t N>
std::optional<E> lookup(const std::array<std::pair<E, std::string_view>, N>& table,
                        std::string_view text) noexcept {
  for (const auto& [value, name] : table) {
    if (name == text) return value;
  }
  return std::nullopt;
}

template <typename E, std::size_t N>
std::string_view nameOf(const std::array<std::pair<E, std::string_view>, N>& table,
                        E value) noexcept {
  for (const auto& [candidate, name] : table) {
    if (candidate == value) return name;
  }
  return {};
}

constexpr std::array<std::pair<VaultDecision, std::string_view>, 3> kDecisions{{
    {VaultDecision::allowed, "allowed"},
    {VaultDecision::needsApproval, "needs_approval"},
    {VaultDecision::refused, "refused"},
}};

constexpr std::array<std::pair<AIAccess, std::string_view>, 3> kAccessTiers{{
    {AIAccess::injectable, "injectable"},
    {AIAccess::humanGated, "human_gated"},
    {AIAccess::aiHidden, "ai_hidden"},
}};

using Op = VaultRequest::Op;
constexpr std::array<std::pair<Op, std::string_view>, 18> kOps{{
    {Op::resolve, "resolve"},
    {Op::preview, "preview"},
    {Op::list, "list"},
    {Op::capture, "capture"},
    {Op::secretCreate, "secret_create"},
    {Op::secretGet, "secret_get"},
    {Op::secretUpdate, "secret_update"},
    {Op::secretDelete, "secret_delete"},
    {Op::groupList, "group_list"},
    {Op::groupCreate, "group_create"},
    {Op::groupGet, "group_get"},
    {Op::groupUpdate, "group_update"},
    {Op::groupDelete, "group_delete"},
    {Op::projectList, "project_list"},
    {Op::projectCreate, "project_create"},
    {Op::projectGet, "project_get"},
    {Op::projectUpdate, "project_update"},
    {Op::projectDelete, "project_delete"},
}};

// A closed-set value: a JSON string holding exactly one of the set's texts. The error names the
// key and the set, never the text found (it came from the peer).
template <typename E>
E requireCase(const Json& object, std::string_view key, std::string_view setName) {
  std::string text = support::requireString(object, key);
  std::optional<E> value = fromString<E>(text);
  if (!value) support::throwWrongType(key, setName);
  return *value;
}

template <typename E>
std::optional<E> optionalCase(const Json& object, std::string_view key, std::string_view setName) {
  std::optional<std::string> text = support::optionalString(object, key);
  if (!text) return std::nullopt;
  std::optional<E> value = fromString<E>(*text);
  if (!value) support::throwWrongType(key, setName);
  return value;
}

constexpr std::string_view kDecisionSet = "one of \"allowed\", \"needs_approval\", \"refused\"";
constexpr std::string_view kAccessSet = "one of \"injectable\", \"human_gated\", \"ai_hidden\"";
constexpr std::string_view kOpSet = "a vault operation text";

}  // namespace

std::string_view toString(VaultDecision decision) noexcept {
  return nameOf(kDecisions, decision);
}

template <>
std::optional<VaultDecision> fromString<VaultDecision>(std::string_view text) noexcept {
  return lookup(kDecisions, text);
}

std::string_view toString(AIAccess access) noexcept {
  return nameOf(kAccessTiers, access);
}

template <>
std::optional<AIAccess> fromString<AIAccess>(std::string_view text) noexcept {
  return lookup(kAccessTiers, text);
}

std::string_view toString(VaultRequest::Op op) noexcept {
  return nameOf(kOps, op);
}

template <>
std::optional<VaultRequest::Op> fromString<VaultRequest::Op>(std::string_view text) noexcept {
  return lookup(kOps, text);
}

// --- VaultRequest
// ---------------------------------------------------------------------------------

VaultRequest VaultRequest::fromJson(const Json& object) {
  support::requireObject(object, "request");
  VaultRequest request;
  request.op = requireCase<Op>(object, "op", kOpSet);
  request.ref = support::optionalString(object, "ref");
  request.approved = support::optionalBool(object, "approved");
  request.collection = support::optionalString(object, "collection");
  request.query = support::optionalString(object, "query");
  request.name = support::optionalString(object, "name");
  request.fieldLabel = support::optionalString(object, "field_label");
  request.value = support::optionalString(object, "value");
  request.kind = support::optionalString(object, "kind");
  request.aiAccess = support::optionalString(object, "ai_access");
  request.username = support::optionalString(object, "username");
  request.group = support::optionalString(object, "group");
  request.project = support::optionalString(object, "project");
  request.parent = support::optionalString(object, "parent");
  request.url = support::optionalString(object, "url");
  request.allowedHosts = support::optionalStringList(object, "allowed_hosts");
  request.allowedCommands = support::optionalStringList(object, "allowed_commands");
  return request;
}

OrderedJson VaultRequest::toJson() const {
  OrderedJson out = OrderedJson::object();
  out["op"] = std::string(toString(op));
  support::putOptional(out, "ref", ref);
  support::putOptional(out, "approved", approved);
  support::putOptional(out, "collection", collection);
  support::putOptional(out, "query", query);
  support::putOptional(out, "name", name);
  support::putOptional(out, "value", value);
  support::putOptional(out, "kind", kind);
  support::putOptional(out, "username", username);
  support::putOptional(out, "group", group);
  support::putOptional(out, "project", project);
  support::putOptional(out, "parent", parent);
  support::putOptional(out, "url", url);
  support::putOptional(out, "field_label", fieldLabel);
  support::putOptional(out, "ai_access", aiAccess);
  support::putOptional(out, "allowed_hosts", allowedHosts);
  support::putOptional(out, "allowed_commands", allowedCommands);
  return out;
}

// --- VaultResponse
// --------------------------------------------------------------------------------

VaultResponse VaultResponse::fromJson(const Json& object) {
  support::requireObject(object, "reply");
  VaultResponse response;
  response.decision = requireCase<VaultDecision>(object, "decision", kDecisionSet);
  response.aiAccess = optionalCase<AIAccess>(object, "ai_access", kAccessSet);
  response.value = support::optionalString(object, "value");
  response.type = support::optionalString(object, "type");
  response.length = support::optionalInt64(object, "length");
  response.last4 = support::optionalString(object, "last4");
  response.url = support::optionalString(object, "url");
  response.allowedHosts = support::optionalStringList(object, "allowed_hosts");
  response.allowedCommands = support::optionalStringList(object, "allowed_commands");
  return response;
}

OrderedJson VaultResponse::toJson() const {
  OrderedJson out = OrderedJson::object();
  out["decision"] = std::string(toString(decision));
  if (aiAccess) out["ai_access"] = std::string(toString(*aiAccess));
  support::putOptional(out, "value", value);
  support::putOptional(out, "type", type);
  support::putOptional(out, "length", length);
  support::putOptional(out, "last4", last4);
  support::putOptional(out, "url", url);
  support::putOptional(out, "allowed_hosts", allowedHosts);
  support::putOptional(out, "allowed_commands", allowedCommands);
  return out;
}

// --- VaultListEntry
// -------------------------------------------------------------------------------

VaultListEntry VaultListEntry::fromJson(const Json& object) {
  support::requireObject(object, "list entry");
  VaultListEntry entry;
  entry.ref = support::requireString(object, "ref");
  entry.name = support::requireString(object, "name");
  entry.type = support::requireString(object, "type");
  entry.aiAccess = requireCase<AIAccess>(object, "ai_access", kAccessSet);
  return entry;
}

OrderedJson VaultListEntry::toJson() const {
  OrderedJson out = OrderedJson::object();
  out["ref"] = ref;
  out["name"] = name;
  out["type"] = type;
  out["ai_access"] = std::string(toString(aiAccess));
  return out;
}

std::vector<VaultListEntry> VaultListEntry::listFromJson(const Json& array) {
  if (!array.is_array()) throw support::JsonDecodeError("list reply must be a JSON array");
  std::vector<VaultListEntry> entries;
  entries.reserve(array.size());
  std::size_t index = 0;
  for (const Json& element : array) {
    try {
      entries.push_back(fromJson(element));
    } catch (const support::JsonDecodeError& error) {
      throw support::JsonDecodeError("[" + std::to_string(index) + "]: " + error.message());
    }
    ++index;
  }
  return entries;
}

}  // namespace varn::mcp
