#include "mcp/secrets/testing/ScriptedVault.hpp"

#include <utility>

namespace varn::mcp::fakes {

using support::Json;
using support::OrderedJson;
using Op = VaultRequest::Op;

void ScriptedVault::record(Op op, OrderedJson arguments) {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.push_back(Call{op, std::move(arguments)});
  if (failAfter >= 0 && static_cast<int>(calls_.size()) > failAfter) throw failure;
}

std::vector<ScriptedVault::Call> ScriptedVault::calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

VaultResponse ScriptedVault::next(std::deque<VaultResponse>& replies) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (replies.empty()) throw ToolError::upstream("no scripted reply");
  VaultResponse reply = std::move(replies.front());
  replies.pop_front();
  return reply;
}

Json ScriptedVault::managementReply(Op op) const {
  auto it = managementReplies.find(op);
  if (it == managementReplies.end()) throw ToolError::upstream("no scripted reply");
  return it->second;
}

VaultResponse ScriptedVault::resolve(std::string_view ref, bool approved) {
  OrderedJson arguments = OrderedJson::object();
  arguments["ref"] = std::string(ref);
  arguments["approved"] = approved;
  record(Op::resolve, std::move(arguments));
  return next(resolveReplies);
}

VaultResponse ScriptedVault::preview(std::string_view ref) {
  OrderedJson arguments = OrderedJson::object();
  arguments["ref"] = std::string(ref);
  record(Op::preview, std::move(arguments));
  return next(previewReplies);
}

std::vector<VaultListEntry> ScriptedVault::list(const std::optional<std::string>& collection,
                                                const std::optional<std::string>& query) {
  OrderedJson arguments = OrderedJson::object();
  support::putOptional(arguments, "collection", collection);
  support::putOptional(arguments, "query", query);
  record(Op::list, std::move(arguments));
  return listReply;
}

SecretMetadataOutput ScriptedVault::captureSecret(std::string_view origin,
                                                  const std::optional<std::string>& name) {
  OrderedJson arguments = OrderedJson::object();
  arguments["origin"] = std::string(origin);
  support::putOptional(arguments, "name", name);
  record(Op::capture, std::move(arguments));
  return SecretMetadataOutput::fromJson(managementReply(Op::capture));
}

SecretMetadataOutput ScriptedVault::createSecret(const SecretCreateInput& input) {
  record(Op::secretCreate, input.toJson());
  return SecretMetadataOutput::fromJson(managementReply(Op::secretCreate));
}

SecretMetadataOutput ScriptedVault::getSecret(const SecretGetInput& input) {
  record(Op::secretGet, input.toJson());
  return SecretMetadataOutput::fromJson(managementReply(Op::secretGet));
}

SecretMetadataOutput ScriptedVault::updateSecret(const SecretUpdateInput& input) {
  record(Op::secretUpdate, input.toJson());
  return SecretMetadataOutput::fromJson(managementReply(Op::secretUpdate));
}

DeleteOutput ScriptedVault::deleteSecret(const SecretDeleteInput& input) {
  record(Op::secretDelete, input.toJson());
  return DeleteOutput::fromJson(managementReply(Op::secretDelete));
}

GroupListOutput ScriptedVault::listGroups() {
  record(Op::groupList, OrderedJson::object());
  return GroupListOutput::fromJson(managementReply(Op::groupList));
}

GroupOutput ScriptedVault::createGroup(const GroupCreateInput& input) {
  record(Op::groupCreate, input.toJson());
  return GroupOutput::fromJson(managementReply(Op::groupCreate));
}

GroupOutput ScriptedVault::getGroup(const GroupGetInput& input) {
  record(Op::groupGet, input.toJson());
  return GroupOutput::fromJson(managementReply(Op::groupGet));
}

GroupOutput ScriptedVault::updateGroup(const GroupUpdateInput& input) {
  record(Op::groupUpdate, input.toJson());
  return GroupOutput::fromJson(managementReply(Op::groupUpdate));
}

DeleteOutput ScriptedVault::deleteGroup(const GroupDeleteInput& input) {
  record(Op::groupDelete, input.toJson());
  return DeleteOutput::fromJson(managementReply(Op::groupDelete));
}

ProjectListOutput ScriptedVault::listProjects() {
  record(Op::projectList, OrderedJson::object());
  return ProjectListOutput::fromJson(managementReply(Op::projectList));
}

ProjectOutput ScriptedVault::createProject(const ProjectCreateInput& input) {
  record(Op::projectCreate, input.toJson());
  return ProjectOutput::fromJson(managementReply(Op::projectCreate));
}

ProjectOutput ScriptedVault::getProject(const ProjectGetInput& input) {
  record(Op::projectGet, input.toJson());
  return ProjectOutput::fromJson(managementReply(Op::projectGet));
}

ProjectOutput ScriptedVault::updateProject(const ProjectUpdateInput& input) {
  record(Op::projectUpdate, input.toJson());
  return ProjectOutput::fromJson(managementReply(Op::projectUpdate));
}

DeleteOutput ScriptedVault::deleteProject(const ProjectDeleteInput& input) {
  record(Op::projectDelete, input.toJson());
  return DeleteOutput::fromJson(managementReply(Op::projectDelete));
}

namespace {

template <typename J>
void printMasked(J json, std::ostream* out) {
  if (json.contains("value")) json["value"] = "<masked>";
  *out << support::dumpCompact(json);
}

}  // namespace

void PrintTo(const ScriptedVault::Call& call, std::ostream* out) {
  *out << toString(call.op) << " ";
  printMasked(call.arguments, out);
}

}  // namespace varn::mcp::fakes

namespace varn::mcp {

void PrintTo(const VaultResponse& response, std::ostream* out) {
  fakes::printMasked(response.toJson(), out);
}

void PrintTo(const VaultRequest& request, std::ostream* out) {
  fakes::printMasked(request.toJson(), out);
}

}  // namespace varn::mcp
