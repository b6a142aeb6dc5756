#pragma once

// The fourteen management tools: pure pass-throughs that hand the decoded input record to one
// vault operation and return its reply record unchanged. They read or check no field, retry
// nothing and take no part in the guarded resolve road.

#include <memory>
#include <utility>

#include "mcp/secrets/ManagementRecords.hpp"
#include "mcp/secrets/VaultClient.hpp"

namespace varn::mcp {

// The tool of one management operation of the vault client's table; its name is the operation's
// text. Immutable; safe to run concurrently. `vault` must not be null. run() blocks for one vault
// exchange and lets every error of the client through unchanged.
template <typename Operation>
class ManagementTool final {
 public:
  using Input = typename Operation::Input;
  using Output = typename Operation::Output;

  explicit ManagementTool(std::shared_ptr<VaultClient> vault) : vault_(std::move(vault)) {}

  [[nodiscard]] Output run(const Input& input) const {
    return vault_->template run<Operation>(input);
  }

 private:
  std::shared_ptr<VaultClient> vault_;
};

// The same for the two list operations, which take no argument.
template <typename Operation>
class ManagementListTool final {
 public:
  using Output = typename Operation::Output;

  explicit ManagementListTool(std::shared_ptr<VaultClient> vault) : vault_(std::move(vault)) {}

  [[nodiscard]] Output run() const { return vault_->template run<Operation>(NoArguments{}); }

 private:
  std::shared_ptr<VaultClient> vault_;
};

using SecretCreateTool = ManagementTool<SecretCreateOperation>;
using SecretGetTool = ManagementTool<SecretGetOperation>;
using SecretUpdateTool = ManagementTool<SecretUpdateOperation>;
using SecretDeleteTool = ManagementTool<SecretDeleteOperation>;
using GroupListTool = ManagementListTool<GroupListOperation>;
using GroupCreateTool = ManagementTool<GroupCreateOperation>;
using GroupGetTool = ManagementTool<GroupGetOperation>;
using GroupUpdateTool = ManagementTool<GroupUpdateOperation>;
using GroupDeleteTool = ManagementTool<GroupDeleteOperation>;
using ProjectListTool = ManagementListTool<ProjectListOperation>;
using ProjectCreateTool = ManagementTool<ProjectCreateOperation>;
using ProjectGetTool = ManagementTool<ProjectGetOperation>;
using ProjectUpdateTool = ManagementTool<ProjectUpdateOperation>;
using ProjectDeleteTool = ManagementTool<ProjectDeleteOperation>;

}  // namespace varn::mcp
