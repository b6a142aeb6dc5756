#pragma once

#include "mcp/tools/ManagementTools.hpp"
#include "mcp/tools/SecretTools.hpp"

namespace varn::mcp {

// The one table of the server's tools, in dispatch order. Immutable after construction: built once
// at start-up, before the server, and shared read-only by every tool call. Each tool holds the
// services it uses (the vault client, shared by pointer), so copying the table copies pointers.
//
// http_call, run_command, mint_token and totp_code, and the eight browser tools, come with their
// own components; until then the dispatch answers their names with an error (see MCPServer).
struct MCPTools {
  SecretListTool secretList;
  SecretPreviewTool secretPreview;
  SecretCreateTool secretCreate;
  SecretGetTool secretGet;
  SecretUpdateTool secretUpdate;
  SecretDeleteTool secretDelete;
  GroupListTool groupList;
  GroupCreateTool groupCreate;
  GroupGetTool groupGet;
  GroupUpdateTool groupUpdate;
  GroupDeleteTool groupDelete;
  ProjectListTool projectList;
  ProjectCreateTool projectCreate;
  ProjectGetTool projectGet;
  ProjectUpdateTool projectUpdate;
  ProjectDeleteTool projectDelete;

  // Every tool over one vault client, as the start-up builds them. `vault` must not be null.
  [[nodiscard]] static MCPTools overVault(const std::shared_ptr<VaultClient>& vault) {
    return MCPTools{SecretListTool(vault),    SecretPreviewTool(vault), SecretCreateTool(vault),
                    SecretGetTool(vault),     SecretUpdateTool(vault),  SecretDeleteTool(vault),
                    GroupListTool(vault),     GroupCreateTool(vault),   GroupGetTool(vault),
                    GroupUpdateTool(vault),   GroupDeleteTool(vault),   ProjectListTool(vault),
                    ProjectCreateTool(vault), ProjectGetTool(vault),    ProjectUpdateTool(vault),
                    ProjectDeleteTool(vault)};
  }
};

}  // namespace varn::mcp
