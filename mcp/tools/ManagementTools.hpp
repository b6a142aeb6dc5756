#pragma once

// The fourteen management tools: pure pass-throughs that hand the decoded input record to one
// vault operation and return its reply record unchanged. They read or check no field, retry
// nothing and take no part in the guarded resolve road.

#include <memory>
#include <utility>

#include "mcp/secrets/ManagementRecords.hpp"
#include "mcp/secrets/VaultClient.hpp"

namespace varn::mcp {

// A tool that calls `Operation` on the shared vault client with its input. Immutable; safe to run
// concurrently. `vault` must not be null. run() blocks for one vault exchange and lets every error
// of the client through unchanged.
template <typename In, typename Out, Out (VaultClient::*Operation)(const In&)>
class PassThroughTool final {
 public:
  using Input = In;
  using Output = Out;

  explicit PassThroughTool(std::shared_ptr<VaultClient> vault) : vault_(std::move(vault)) {}

  [[nodiscard]] Output run(const Input& input) const { return ((*vault_).*Operation)(input); }

 private:
  std::shared_ptr<VaultClient> vault_;
};

// The same for the two list operations, which take no input.
template <typename Out, Out (VaultClient::*Operation)()>
class PassThroughListTool final {
 public:
  using Output = Out;

  explicit PassThroughListTool(std::shared_ptr<VaultClient> vault) : vault_(std::move(vault)) {}

  [[nodiscard]] Output run() const { return ((*vault_).*Operation)(); }

 private:
  std::shared_ptr<VaultClient> vault_;
};

// secret_create, secret_get, secret_update, secret_delete.
using SecretCreateTool =
    PassThroughTool<SecretCreateInput, SecretMetadataOutput, &VaultClient::createSecret>;
using SecretGetTool =
    PassThroughTool<SecretGetInput, SecretMetadataOutput, &VaultClient::getSecret>;
using SecretUpdateTool =
    PassThroughTool<SecretUpdateInput, SecretMetadataOutput, &VaultClient::updateSecret>;
using SecretDeleteTool =
    PassThroughTool<SecretDeleteInput, DeleteOutput, &VaultClient::deleteSecret>;

// group_list, group_create, group_get, group_update, group_delete.
using GroupListTool = PassThroughListTool<GroupListOutput, &VaultClient::listGroups>;
using GroupCreateTool = PassThroughTool<GroupCreateInput, GroupOutput, &VaultClient::createGroup>;
using GroupGetTool = PassThroughTool<GroupGetInput, GroupOutput, &VaultClient::getGroup>;
using GroupUpdateTool = PassThroughTool<GroupUpdateInput, GroupOutput, &VaultClient::updateGroup>;
using GroupDeleteTool = PassThroughTool<GroupDeleteInput, DeleteOutput, &VaultClient::deleteGroup>;

// project_list, project_create, project_get, project_update, project_delete.
using ProjectListTool = PassThroughListTool<ProjectListOutput, &VaultClient::listProjects>;
using ProjectCreateTool =
    PassThroughTool<ProjectCreateInput, ProjectOutput, &VaultClient::createProject>;
using ProjectGetTool = PassThroughTool<ProjectGetInput, ProjectOutput, &VaultClient::getProject>;
using ProjectUpdateTool =
    PassThroughTool<ProjectUpdateInput, ProjectOutput, &VaultClient::updateProject>;
using ProjectDeleteTool =
    PassThroughTool<ProjectDeleteInput, DeleteOutput, &VaultClient::deleteProject>;

}  // namespace varn::mcp
