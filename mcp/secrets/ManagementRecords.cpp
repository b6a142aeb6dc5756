#include "mcp/secrets/ManagementRecords.hpp"

namespace varn::mcp {

using support::Json;
using support::optionalString;
using support::optionalStringList;
using support::OrderedJson;
using support::putOptional;
using support::requireString;

namespace {

// The one-key records: a single required text under `key`.
OrderedJson oneText(const char* key, const std::string& value) {
  OrderedJson out = OrderedJson::object();
  out[key] = value;
  return out;
}

template <typename Record>
OrderedJson encodeList(const std::vector<Record>& records) {
  OrderedJson out = OrderedJson::array();
  for (const Record& record : records) out.push_back(record.toJson());
  return out;
}

}  // namespace

// --- inputs
// ---------------------------------------------------------------------------------------

SecretCreateInput SecretCreateInput::fromJson(const Json& object) {
  support::requireObject(object, "arguments");
  SecretCreateInput input;
  input.name = requireString(object, "name");
  input.field_label = requireString(object, "field_label");
  input.value = requireString(object, "value");
  input.kind = requireString(object, "kind");
  input.ai_access = requireString(object, "ai_access");
  input.username = optionalString(object, "username");
  input.group = optionalString(object, "group");
  input.project = optionalString(object, "project");
  input.url = optionalString(object, "url");
  input.allowed_hosts = optionalStringList(object, "allowed_hosts");
  input.allowed_commands = optionalStringList(object, "allowed_commands");
  return input;
}

OrderedJson SecretCreateInput::toJson() const {
  OrderedJson out = OrderedJson::object();
  out["name"] = name;
  out["field_label"] = field_label;
  out["value"] = value;
  out["kind"] = kind;
  out["ai_access"] = ai_access;
  putOptional(out, "username", username);
  putOptional(out, "group", group);
  putOptional(out, "project", project);
  putOptional(out, "url", url);
  putOptional(out, "allowed_hosts", allowed_hosts);
  putOptional(out, "allowed_commands", allowed_commands);
  return out;
}

SecretGetInput SecretGetInput::fromJson(const Json& object) {
  support::requireObject(object, "arguments");
  return SecretGetInput{requireString(object, "ref")};
}

OrderedJson SecretGetInput::toJson() const {
  return oneText("ref", ref);
}

SecretUpdateInput SecretUpdateInput::fromJson(const Json& object) {
  support::requireObject(object, "arguments");
  SecretUpdateInput input;
  input.ref = requireString(object, "ref");
  input.name = optionalString(object, "name");
  input.field_label = optionalString(object, "field_label");
  input.value = optionalString(object, "value");
  input.kind = optionalString(object, "kind");
  input.ai_access = optionalString(object, "ai_access");
  input.username = optionalString(object, "username");
  input.group = optionalString(object, "group");
  input.project = optionalString(object, "project");
  input.url = optionalString(object, "url");
  input.allowed_hosts = optionalStringList(object, "allowed_hosts");
  input.allowed_commands = optionalStringList(object, "allowed_commands");
  return input;
}

OrderedJson SecretUpdateInput::toJson() const {
  OrderedJson out = OrderedJson::object();
  out["ref"] = ref;
  putOptional(out, "name", name);
  putOptional(out, "field_label", field_label);
  putOptional(out, "value", value);
  putOptional(out, "kind", kind);
  putOptional(out, "ai_access", ai_access);
  putOptional(out, "username", username);
  putOptional(out, "group", group);
  putOptional(out, "project", project);
  putOptional(out, "url", url);
  putOptional(out, "allowed_hosts", allowed_hosts);
  putOptional(out, "allowed_commands", allowed_commands);
  return out;
}

SecretDeleteInput SecretDeleteInput::fromJson(const Json& object) {
  support::requireObject(object, "arguments");
  return SecretDeleteInput{requireString(object, "ref")};
}

OrderedJson SecretDeleteInput::toJson() const {
  return oneText("ref", ref);
}

GroupCreateInput GroupCreateInput::fromJson(const Json& object) {
  support::requireObject(object, "arguments");
  GroupCreateInput input;
  input.name = requireString(object, "name");
  input.project = optionalString(object, "project");
  input.parent = optionalString(object, "parent");
  return input;
}

OrderedJson GroupCreateInput::toJson() const {
  OrderedJson out = oneText("name", name);
  putOptional(out, "project", project);
  putOptional(out, "parent", parent);
  return out;
}

GroupGetInput GroupGetInput::fromJson(const Json& object) {
  support::requireObject(object, "arguments");
  return GroupGetInput{requireString(object, "group")};
}

OrderedJson GroupGetInput::toJson() const {
  return oneText("group", group);
}

GroupUpdateInput GroupUpdateInput::fromJson(const Json& object) {
  support::requireObject(object, "arguments");
  GroupUpdateInput input;
  input.group = requireString(object, "group");
  input.name = optionalString(object, "name");
  return input;
}

OrderedJson GroupUpdateInput::toJson() const {
  OrderedJson out = oneText("group", group);
  putOptional(out, "name", name);
  return out;
}

GroupDeleteInput GroupDeleteInput::fromJson(const Json& object) {
  support::requireObject(object, "arguments");
  return GroupDeleteInput{requireString(object, "group")};
}

OrderedJson GroupDeleteInput::toJson() const {
  return oneText("group", group);
}

ProjectCreateInput ProjectCreateInput::fromJson(const Json& object) {
  support::requireObject(object, "arguments");
  return ProjectCreateInput{requireString(object, "name")};
}

OrderedJson ProjectCreateInput::toJson() const {
  return oneText("name", name);
}

ProjectGetInput ProjectGetInput::fromJson(const Json& object) {
  support::requireObject(object, "arguments");
  return ProjectGetInput{requireString(object, "project")};
}

OrderedJson ProjectGetInput::toJson() const {
  return oneText("project", project);
}

ProjectUpdateInput ProjectUpdateInput::fromJson(const Json& object) {
  support::requireObject(object, "arguments");
  ProjectUpdateInput input;
  input.project = requireString(object, "project");
  input.name = optionalString(object, "name");
  return input;
}

OrderedJson ProjectUpdateInput::toJson() const {
  OrderedJson out = oneText("project", project);
  putOptional(out, "name", name);
  return out;
}

ProjectDeleteInput ProjectDeleteInput::fromJson(const Json& object) {
  support::requireObject(object, "arguments");
  return ProjectDeleteInput{requireString(object, "project")};
}

OrderedJson ProjectDeleteInput::toJson() const {
  return oneText("project", project);
}

// --- outputs
// --------------------------------------------------------------------------------------

SecretMetadataOutput SecretMetadataOutput::fromJson(const Json& object) {
  support::requireObject(object, "reply");
  SecretMetadataOutput output;
  output.id = requireString(object, "id");
  output.ref = requireString(object, "ref");
  output.name = requireString(object, "name");
  output.field_label = requireString(object, "field_label");
  output.kind = requireString(object, "kind");
  output.ai_access = requireString(object, "ai_access");
  output.group = requireString(object, "group");
  output.url = optionalString(object, "url");
  output.allowed_hosts = optionalStringList(object, "allowed_hosts");
  output.allowed_commands = optionalStringList(object, "allowed_commands");
  return output;
}

OrderedJson SecretMetadataOutput::toJson() const {
  OrderedJson out = OrderedJson::object();
  out["id"] = id;
  out["ref"] = ref;
  out["name"] = name;
  out["field_label"] = field_label;
  out["kind"] = kind;
  out["ai_access"] = ai_access;
  out["group"] = group;
  putOptional(out, "url", url);
  putOptional(out, "allowed_hosts", allowed_hosts);
  putOptional(out, "allowed_commands", allowed_commands);
  return out;
}

DeleteOutput DeleteOutput::fromJson(const Json& object) {
  support::requireObject(object, "reply");
  return DeleteOutput{support::requireBool(object, "deleted")};
}

OrderedJson DeleteOutput::toJson() const {
  OrderedJson out = OrderedJson::object();
  out["deleted"] = deleted;
  return out;
}

GroupOutput GroupOutput::fromJson(const Json& object) {
  support::requireObject(object, "group");
  GroupOutput output;
  output.id = requireString(object, "id");
  output.name = requireString(object, "name");
  output.project = requireString(object, "project");
  output.parent = optionalString(object, "parent");
  return output;
}

OrderedJson GroupOutput::toJson() const {
  OrderedJson out = OrderedJson::object();
  out["id"] = id;
  out["name"] = name;
  out["project"] = project;
  putOptional(out, "parent", parent);
  return out;
}

GroupListOutput GroupListOutput::fromJson(const Json& object) {
  support::requireObject(object, "reply");
  return GroupListOutput{support::requireList(object, "groups", &GroupOutput::fromJson)};
}

OrderedJson GroupListOutput::toJson() const {
  OrderedJson out = OrderedJson::object();
  out["groups"] = encodeList(groups);
  return out;
}

ProjectOutput ProjectOutput::fromJson(const Json& object) {
  support::requireObject(object, "project");
  ProjectOutput output;
  output.id = requireString(object, "id");
  output.name = requireString(object, "name");
  return output;
}

OrderedJson ProjectOutput::toJson() const {
  OrderedJson out = OrderedJson::object();
  out["id"] = id;
  out["name"] = name;
  return out;
}

ProjectListOutput ProjectListOutput::fromJson(const Json& object) {
  support::requireObject(object, "reply");
  return ProjectListOutput{support::requireList(object, "projects", &ProjectOutput::fromJson)};
}

OrderedJson ProjectListOutput::toJson() const {
  OrderedJson out = OrderedJson::object();
  out["projects"] = encodeList(projects);
  return out;
}

}  // namespace varn::mcp
