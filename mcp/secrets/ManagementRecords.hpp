#pragma once

// The argument and reply records of the vault's fourteen management operations. Each record is at
// once a VaultClient argument or reply, the input or output of the management tool of the same
// name, and a piece of the vault wire: one set of JSON keys (the field names) serves all three.
//
// The records hold no logic: nothing is validated, trimmed or defaulted. They are coded by the
// record codec (support/JsonRecord.hpp, encodeRecord / decodeRecord): decoding is all or nothing
// and throws support::JsonDecodeError naming the key, never quoting a value; encoding writes the
// fields in declaration order and leaves absent optionals out; empty texts and lists are present
// and written. Inputs name themselves "arguments" in errors, replies "reply". Output records
// compare field by field.

#include <optional>
#include <string>
#include <vector>

#include "support/JsonRecord.hpp"

namespace varn::mcp {

// --- inputs
// ---------------------------------------------------------------------------------------

// The most hosts or commands a binding may list, far beyond what one credential needs.
inline constexpr std::size_t kMaxBindingEntries = 256;

// A new secret. `value` goes to the vault and is never returned; `ai_access` and `kind` are free
// text.
struct SecretCreateInput {
  std::string name{};
  std::string field_label{};
  std::string value{};
  std::string kind{};
  std::string ai_access{};
  std::optional<std::string> username{};
  std::optional<std::string> group{};
  std::optional<std::string> project{};
  std::optional<std::string> url{};
  std::optional<std::vector<std::string>> allowed_hosts{};
  std::optional<std::vector<std::string>> allowed_commands{};
};
VARN_JSON_RECORD(SecretCreateInput, "arguments", VARN_JSON_FIELD(name),
                 VARN_JSON_FIELD(field_label), VARN_JSON_FIELD(value), VARN_JSON_FIELD(kind),
                 VARN_JSON_FIELD(ai_access), VARN_JSON_FIELD(username), VARN_JSON_FIELD(group),
                 VARN_JSON_FIELD(project), VARN_JSON_FIELD(url),
                 VARN_JSON_FIELD(allowed_hosts).atMost(kMaxBindingEntries),
                 VARN_JSON_FIELD(allowed_commands).atMost(kMaxBindingEntries));

// A secret named by its reference, passed on unchanged (not parsed).
struct SecretGetInput {
  std::string ref{};
};
VARN_JSON_RECORD(SecretGetInput, "arguments", VARN_JSON_FIELD(ref));

// Changes to a secret: every present field, an empty text or list included, travels to the vault.
struct SecretUpdateInput {
  std::string ref{};
  std::optional<std::string> name{};
  std::optional<std::string> field_label{};
  std::optional<std::string> value{};
  std::optional<std::string> kind{};
  std::optional<std::string> ai_access{};
  std::optional<std::string> username{};
  std::optional<std::string> group{};
  std::optional<std::string> project{};
  std::optional<std::string> url{};
  std::optional<std::vector<std::string>> allowed_hosts{};
  std::optional<std::vector<std::string>> allowed_commands{};
};
VARN_JSON_RECORD(SecretUpdateInput, "arguments", VARN_JSON_FIELD(ref), VARN_JSON_FIELD(name),
                 VARN_JSON_FIELD(field_label), VARN_JSON_FIELD(value), VARN_JSON_FIELD(kind),
                 VARN_JSON_FIELD(ai_access), VARN_JSON_FIELD(username), VARN_JSON_FIELD(group),
                 VARN_JSON_FIELD(project), VARN_JSON_FIELD(url),
                 VARN_JSON_FIELD(allowed_hosts).atMost(kMaxBindingEntries),
                 VARN_JSON_FIELD(allowed_commands).atMost(kMaxBindingEntries));

struct SecretDeleteInput {
  std::string ref{};
};
VARN_JSON_RECORD(SecretDeleteInput, "arguments", VARN_JSON_FIELD(ref));

// A new group, in `project` (the vault's default when absent), nested under `parent` if given.
struct GroupCreateInput {
  std::string name{};
  std::optional<std::string> project{};
  std::optional<std::string> parent{};
};
VARN_JSON_RECORD(GroupCreateInput, "arguments", VARN_JSON_FIELD(name), VARN_JSON_FIELD(project),
                 VARN_JSON_FIELD(parent));

// A group named by its name or id.
struct GroupGetInput {
  std::string group{};
};
VARN_JSON_RECORD(GroupGetInput, "arguments", VARN_JSON_FIELD(group));

struct GroupUpdateInput {
  std::string group{};
  std::optional<std::string> name{};
};
VARN_JSON_RECORD(GroupUpdateInput, "arguments", VARN_JSON_FIELD(group), VARN_JSON_FIELD(name));

struct GroupDeleteInput {
  std::string group{};
};
VARN_JSON_RECORD(GroupDeleteInput, "arguments", VARN_JSON_FIELD(group));

struct ProjectCreateInput {
  std::string name{};
};
VARN_JSON_RECORD(ProjectCreateInput, "arguments", VARN_JSON_FIELD(name));

// A project named by its name or id.
struct ProjectGetInput {
  std::string project{};
};
VARN_JSON_RECORD(ProjectGetInput, "arguments", VARN_JSON_FIELD(project));

struct ProjectUpdateInput {
  std::string project{};
  std::optional<std::string> name{};
};
VARN_JSON_RECORD(ProjectUpdateInput, "arguments", VARN_JSON_FIELD(project), VARN_JSON_FIELD(name));

struct ProjectDeleteInput {
  std::string project{};
};
VARN_JSON_RECORD(ProjectDeleteInput, "arguments", VARN_JSON_FIELD(project));

// The input of the two list operations, which take no argument: any arguments object decodes.
struct NoArguments {};
VARN_JSON_RECORD(NoArguments, "arguments");

// --- outputs
// --------------------------------------------------------------------------------------

// What the vault tells about a secret it captured, created, found or updated. It has no value
// field, so a value given to create or update is never echoed.
struct SecretMetadataOutput {
  std::string id{};
  std::string ref{};
  std::string name{};
  std::string field_label{};
  std::string kind{};
  std::string ai_access{};  // free text, not checked against the tier texts
  std::string group{};
  std::optional<std::string> url{};
  std::optional<std::vector<std::string>> allowed_hosts{};
  std::optional<std::vector<std::string>> allowed_commands{};

  bool operator==(const SecretMetadataOutput&) const = default;
};
VARN_JSON_RECORD(SecretMetadataOutput, "reply", VARN_JSON_FIELD(id), VARN_JSON_FIELD(ref),
                 VARN_JSON_FIELD(name), VARN_JSON_FIELD(field_label), VARN_JSON_FIELD(kind),
                 VARN_JSON_FIELD(ai_access), VARN_JSON_FIELD(group), VARN_JSON_FIELD(url),
                 VARN_JSON_FIELD(allowed_hosts), VARN_JSON_FIELD(allowed_commands));

// The reply of the three deletes; false is an answer, not an error.
struct DeleteOutput {
  bool deleted = false;

  bool operator==(const DeleteOutput&) const = default;
};
VARN_JSON_RECORD(DeleteOutput, "reply", VARN_JSON_FIELD(deleted));

struct GroupOutput {
  std::string id{};
  std::string name{};
  std::string project{};
  std::optional<std::string> parent{};

  bool operator==(const GroupOutput&) const = default;
};
VARN_JSON_RECORD(GroupOutput, "group", VARN_JSON_FIELD(id), VARN_JSON_FIELD(name),
                 VARN_JSON_FIELD(project), VARN_JSON_FIELD(parent));

// Every group, in the vault's order.
struct GroupListOutput {
  std::vector<GroupOutput> groups{};

  bool operator==(const GroupListOutput&) const = default;
};
VARN_JSON_RECORD(GroupListOutput, "reply", VARN_JSON_FIELD(groups));

struct ProjectOutput {
  std::string id{};
  std::string name{};

  bool operator==(const ProjectOutput&) const = default;
};
VARN_JSON_RECORD(ProjectOutput, "project", VARN_JSON_FIELD(id), VARN_JSON_FIELD(name));

// Every project, in the vault's order.
struct ProjectListOutput {
  std::vector<ProjectOutput> projects{};

  bool operator==(const ProjectListOutput&) const = default;
};
VARN_JSON_RECORD(ProjectListOutput, "reply", VARN_JSON_FIELD(projects));

}  // namespace varn::mcp
