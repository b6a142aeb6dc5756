#pragma once

// The fourteen management tools: pure pass-throughs that hand the decoded input record to one
// vault operation and return its reply record unchanged. They read or check no field, retry
// nothing and take no part in the guarded resolve road.

#include "mcp/secrets/ManagementRecords.hpp"
#include "mcp/secrets/VaultClient.hpp"
#include "mcp/tools/ToolServices.hpp"

namespace varn::mcp {

// One management operation of the vault client's table, run as a tool whose name is the
// operation's text: the vault exchange, every error of the client passing through unchanged.
template <typename Operation>
typename Operation::Output runOperation(VaultClient& vault,
                                        const typename Operation::Input& input) {
  return vault.template run<Operation>(input);
}

// The same for the two list operations, which take no argument.
template <typename Operation>
typename Operation::Output runListOperation(VaultClient& vault) {
  return vault.template run<Operation>(NoArguments{});
}

template <typename Operation>
using ManagementTool = ServiceTool<VaultClient, &runOperation<Operation>>;
template <typename Operation>
using ManagementListTool = ServiceTool<VaultClient, &runListOperation<Operation>>;

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
