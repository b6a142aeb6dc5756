#include "mcp/tools/SecretTools.hpp"

#include <utility>

#include "mcp/secrets/ResolveError.hpp"
#include "mcp/secrets/VarnRef.hpp"

namespace varn::mcp {

SecretListTool::SecretListTool(std::shared_ptr<VaultClient> vault) : vault_(std::move(vault)) {}

SecretListOutput SecretListTool::run(const SecretListInput& input) const {
  std::vector<VaultListEntry> entries = vault_->list(input.collection, input.query);
  SecretListOutput output;
  output.items.reserve(entries.size());
  for (VaultListEntry& entry : entries) {
    output.items.push_back(SecretListEntryOut{std::move(entry.ref), std::move(entry.name),
                                              std::move(entry.type),
                                              std::string(toString(entry.ai_access))});
  }
  return output;
}

SecretPreviewTool::SecretPreviewTool(std::shared_ptr<VaultClient> vault)
    : vault_(std::move(vault)) {}

SecretPreviewOutput SecretPreviewTool::run(const SecretPreviewInput& input) const {
  // Only validates the text; the vault is asked about the reference exactly as given.
  (void)VarnRef::parse(input.ref);
  VaultResponse reply = vault_->preview(input.ref);
  if (reply.decision == VaultDecision::refused) throw ResolveError::refused(input.ref);
  return SecretPreviewOutput{input.ref, reply.type.value_or(""), reply.length.value_or(0),
                             reply.last4.value_or("")};
}

}  // namespace varn::mcp
