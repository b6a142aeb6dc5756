#pragma once

// The vocabulary of the vault socket: the request record with its operation code, the replies to
// resolve, preview and list, and the vault's two closed value sets.
//
// Records are plain values: copies are independent and compare field by field. Like the management
// records, a member is named as its JSON key, so that an input record's fields go into the request
// fields of the same name. Requests are only encoded and replies only decoded in this server, but
// every record does both with the same keys, through the record codec (support/JsonRecord.hpp).
// Decoding is all or nothing and throws support::JsonDecodeError naming the key; it never quotes a
// value, since a reply may carry a secret.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/JsonRecord.hpp"

namespace varn::mcp {

// The vault's answer to a release request.
enum class VaultDecision { allowed, needsApproval, refused };

// The tier in which an AI agent may use a secret.
enum class AIAccess { injectable, humanGated, aiHidden };

// The texts of both sets, for toString/fromString below and the record codec.
constexpr auto jsonEnumTexts(VaultDecision) {
  return support::EnumTexts<VaultDecision, 3>{{{
      {VaultDecision::allowed, "allowed"},
      {VaultDecision::needsApproval, "needs_approval"},
      {VaultDecision::refused, "refused"},
  }}};
}

constexpr auto jsonEnumTexts(AIAccess) {
  return support::EnumTexts<AIAccess, 3>{{{
      {AIAccess::injectable, "injectable"},
      {AIAccess::humanGated, "human_gated"},
      {AIAccess::aiHidden, "ai_hidden"},
  }}};
}

// The closed value sets read from their exact texts: case-sensitive, nothing trimmed; any other
// text gives nullopt. Specialised for VaultDecision, AIAccess and VaultRequest::Op.
template <typename E>
[[nodiscard]] std::optional<E> fromString(std::string_view text) noexcept;

// "allowed", "needs_approval", "refused".
[[nodiscard]] std::string_view toString(VaultDecision decision) noexcept;
template <>
[[nodiscard]] std::optional<VaultDecision> fromString<VaultDecision>(std::string_view) noexcept;

// "injectable", "human_gated", "ai_hidden".
[[nodiscard]] std::string_view toString(AIAccess access) noexcept;
template <>
[[nodiscard]] std::optional<AIAccess> fromString<AIAccess>(std::string_view) noexcept;

// One request to the vault. A field the sending operation does not set stays absent and is left
// out of the JSON text.
struct VaultRequest {
  // The operation code; its text is the "op" of the request. The texts of secretCreate through
  // projectDelete are the names of the management tools.
  enum class Op {
    resolve,        // "resolve"
    preview,        // "preview"
    list,           // "list"
    capture,        // "capture"
    secretCreate,   // "secret_create"
    secretGet,      // "secret_get"
    secretUpdate,   // "secret_update"
    secretDelete,   // "secret_delete"
    groupList,      // "group_list"
    groupCreate,    // "group_create"
    groupGet,       // "group_get"
    groupUpdate,    // "group_update"
    groupDelete,    // "group_delete"
    projectList,    // "project_list"
    projectCreate,  // "project_create"
    projectGet,     // "project_get"
    projectUpdate,  // "project_update"
    projectDelete,  // "project_delete"
  };

  Op op = Op::resolve;
  std::optional<std::string> ref{};
  std::optional<bool> approved{};
  std::optional<std::string> collection{};
  std::optional<std::string> query{};
  std::optional<std::string> name{};
  std::optional<std::string> field_label{};
  std::optional<std::string> value{};
  std::optional<std::string> kind{};
  // Free text copied from the caller's input; not checked against the AIAccess texts.
  std::optional<std::string> ai_access{};
  std::optional<std::string> username{};
  std::optional<std::string> group{};
  std::optional<std::string> project{};
  std::optional<std::string> parent{};
  std::optional<std::string> url{};
  std::optional<std::vector<std::string>> allowed_hosts{};
  std::optional<std::vector<std::string>> allowed_commands{};

  // "op" must be one of the operation texts; every other key is optional.
  static VaultRequest fromJson(const support::Json& object);
  // Keys in the wire's order: "op", "ref", "approved", "collection", "query", "name", "value",
  // "kind", "username", "group", "project", "parent", "url", "field_label", "ai_access",
  // "allowed_hosts", "allowed_commands". Present fields only; "approved": false is written.
  [[nodiscard]] support::OrderedJson toJson() const;

  bool operator==(const VaultRequest&) const = default;
};

constexpr auto jsonEnumTexts(VaultRequest::Op) {
  using Op = VaultRequest::Op;
  return support::EnumTexts<Op, 18>{{{
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
                                    }},
                                    "a vault operation text"};
}

// The wire's key order, which is not the member order: "field_label" and "ai_access" follow "url".
VARN_JSON_RECORD(VaultRequest, "request", VARN_JSON_FIELD(op), VARN_JSON_FIELD(ref),
                 VARN_JSON_FIELD(approved), VARN_JSON_FIELD(collection), VARN_JSON_FIELD(query),
                 VARN_JSON_FIELD(name), VARN_JSON_FIELD(value), VARN_JSON_FIELD(kind),
                 VARN_JSON_FIELD(username), VARN_JSON_FIELD(group), VARN_JSON_FIELD(project),
                 VARN_JSON_FIELD(parent), VARN_JSON_FIELD(url), VARN_JSON_FIELD(field_label),
                 VARN_JSON_FIELD(ai_access), VARN_JSON_FIELD(allowed_hosts),
                 VARN_JSON_FIELD(allowed_commands));

// The operation's text, as in the comments of VaultRequest::Op.
[[nodiscard]] std::string_view toString(VaultRequest::Op op) noexcept;
template <>
[[nodiscard]] std::optional<VaultRequest::Op> fromString<VaultRequest::Op>(
    std::string_view) noexcept;

// The reply to resolve and preview. Only `decision` is required. `value` is the released secret:
// it must never reach a tool result, a log line or an error text.
struct VaultResponse {
  VaultDecision decision = VaultDecision::refused;
  std::optional<AIAccess> ai_access{};
  std::optional<std::string> value{};
  std::optional<std::string> type{};
  std::optional<std::int64_t> length{};
  std::optional<std::string> last4{};
  std::optional<std::string> url{};
  std::optional<std::vector<std::string>> allowed_hosts{};
  std::optional<std::vector<std::string>> allowed_commands{};

  // "decision" must be one of its three texts; a present "ai_access" one of the tier texts;
  // "length" an integer within the signed 64-bit range.
  static VaultResponse fromJson(const support::Json& object);
  // Keys in declaration order: "decision", "ai_access", "value", "type", "length", "last4",
  // "url", "allowed_hosts", "allowed_commands"; present fields only.
  [[nodiscard]] support::OrderedJson toJson() const;

  bool operator==(const VaultResponse&) const = default;
};

VARN_JSON_RECORD(VaultResponse, "reply", VARN_JSON_FIELD(decision), VARN_JSON_FIELD(ai_access),
                 VARN_JSON_FIELD(value), VARN_JSON_FIELD(type), VARN_JSON_FIELD(length),
                 VARN_JSON_FIELD(last4), VARN_JSON_FIELD(url), VARN_JSON_FIELD(allowed_hosts),
                 VARN_JSON_FIELD(allowed_commands));

// One secret of a list reply. All four keys are required.
struct VaultListEntry {
  std::string ref{};
  std::string name{};
  std::string type{};
  AIAccess ai_access = AIAccess::aiHidden;

  static VaultListEntry fromJson(const support::Json& object);
  // Keys "ref", "name", "type", "ai_access".
  [[nodiscard]] support::OrderedJson toJson() const;

  // The list reply: a bare JSON array of entries, kept in its order. One entry that fails to
  // decode fails the whole list, and the error names its index.
  static std::vector<VaultListEntry> listFromJson(const support::Json& array);

  bool operator==(const VaultListEntry&) const = default;
};

VARN_JSON_RECORD(VaultListEntry, "list entry", VARN_JSON_FIELD(ref), VARN_JSON_FIELD(name),
                 VARN_JSON_FIELD(type), VARN_JSON_FIELD(ai_access));

}  // namespace varn::mcp
