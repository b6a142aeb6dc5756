#include "mcp/secrets/VaultClient.hpp"

#include "mcp/secrets/ToolError.hpp"

namespace varn::mcp {
namespace {

[[noreturn]] void unsupported(VaultRequest::Op op) {
  throw ToolError::upstream("vault does not support " + std::string(toString(op)));
}

}  // namespace

SecretMetadataOutput VaultClient::captureSecret(std::string_view,
                                                const std::optional<std::string>&) {
  unsupported(VaultRequest::Op::capture);
}
SecretMetadataOutput VaultClient::createSecret(const SecretCreateInput&) {
  unsupported(VaultRequest::Op::secretCreate);
}
SecretMetadataOutput VaultClient::getSecret(const SecretGetInput&) {
  unsupported(VaultRequest::Op::secretGet);
}
SecretMetadataOutput VaultClient::updateSecret(const SecretUpdateInput&) {
  unsupported(VaultRequest::Op::secretUpdate);
}
DeleteOutput VaultClient::deleteSecret(const SecretDeleteInput&) {
  unsupported(VaultRequest::Op::secretDelete);
}
GroupListOutput VaultClient::listGroups() {
  unsupported(VaultRequest::Op::groupList);
}
GroupOutput VaultClient::createGroup(const GroupCreateInput&) {
  unsupported(VaultRequest::Op::groupCreate);
}
GroupOutput VaultClient::getGroup(const GroupGetInput&) {
  unsupported(VaultRequest::Op::groupGet);
}
GroupOutput VaultClient::updateGroup(const GroupUpdateInput&) {
  unsupported(VaultRequest::Op::groupUpdate);
}
DeleteOutput VaultClient::deleteGroup(const GroupDeleteInput&) {
  unsupported(VaultRequest::Op::groupDelete);
}
ProjectListOutput VaultClient::listProjects() {
  unsupported(VaultRequest::Op::projectList);
}
ProjectOutput VaultClient::createProject(const ProjectCreateInput&) {
  unsupported(VaultRequest::Op::projectCreate);
}
ProjectOutput VaultClient::getProject(const ProjectGetInput&) {
  unsupported(VaultRequest::Op::projectGet);
}
ProjectOutput VaultClient::updateProject(const ProjectUpdateInput&) {
  unsupported(VaultRequest::Op::projectUpdate);
}
DeleteOutput VaultClient::deleteProject(const ProjectDeleteInput&) {
  unsupported(VaultRequest::Op::projectDelete);
}

}  // namespace varn::mcp
