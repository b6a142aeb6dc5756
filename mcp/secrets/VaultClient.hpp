#pragma once

// The only way any part of the server reaches the desktop vault: its eighteen operations.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mcp/secrets/ManagementRecords.hpp"
#include "mcp/secrets/VaultWire.hpp"

namespace varn::mcp {

// The vault's operations. Every call blocks until the vault has answered and may throw: a
// ToolError::upstream for transfer failures and vault-reported errors, a support::JsonDecodeError
// for a reply that does not decode. Arguments are passed on unchanged; replies are returned as
// decoded, so a "refused" decision is an ordinary result.
//
// Implementations must allow concurrent calls from many threads. resolve, preview and list must be
// supplied; every other operation has a default that ignores its arguments and throws
// ToolError::upstream("vault does not support <op>") with the operation's op text (for example
// "vault does not support capture"), before anything is sent.
class VaultClient {
 public:
  virtual ~VaultClient() = default;

  // Asks for a secret's value; `approved` says a human has approved this release.
  virtual VaultResponse resolve(std::string_view ref, bool approved) = 0;
  // Asks for a secret's masked descriptor (type, length, last four characters).
  virtual VaultResponse preview(std::string_view ref) = 0;
  // The stored secrets, optionally narrowed by collection and by a search text, in the vault's
  // order.
  virtual std::vector<VaultListEntry> list(const std::optional<std::string>& collection,
                                           const std::optional<std::string>& query) = 0;

  // Asks the desktop application to capture a new credential for `origin`.
  virtual SecretMetadataOutput captureSecret(std::string_view origin,
                                             const std::optional<std::string>& name);
  virtual SecretMetadataOutput createSecret(const SecretCreateInput& input);
  virtual SecretMetadataOutput getSecret(const SecretGetInput& input);
  virtual SecretMetadataOutput updateSecret(const SecretUpdateInput& input);
  virtual DeleteOutput deleteSecret(const SecretDeleteInput& input);
  virtual GroupListOutput listGroups();
  virtual GroupOutput createGroup(const GroupCreateInput& input);
  virtual GroupOutput getGroup(const GroupGetInput& input);
  virtual GroupOutput updateGroup(const GroupUpdateInput& input);
  virtual DeleteOutput deleteGroup(const GroupDeleteInput& input);
  virtual ProjectListOutput listProjects();
  virtual ProjectOutput createProject(const ProjectCreateInput& input);
  virtual ProjectOutput getProject(const ProjectGetInput& input);
  virtual ProjectOutput updateProject(const ProjectUpdateInput& input);
  virtual DeleteOutput deleteProject(const ProjectDeleteInput& input);

 protected:
  VaultClient() = default;
  VaultClient(const VaultClient&) = default;
  VaultClient& operator=(const VaultClient&) = default;
};

}  // namespace varn::mcp
