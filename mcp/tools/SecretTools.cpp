#include "mcp/tools/SecretTools.hpp"

#include <utility>

#include "mcp/secrets/ResolveError.hpp"
#include "mcp/secrets/VarnRef.hpp"

namespace varn::mcp {

SecretListOutput listSecrets(VaultClient& vault, const SecretListInput& input) {
  std::vector<VaultListEntry> entries = vault.list(input.collection, input.query);
  SecretListOutput output;
  output.items.reserve(entries.size());
  for (VaultListEntry& entry : entries) {
    output.items.push_back(SecretListEntryOut{std::move(entry.ref), std::move(entry.name),
                                              std::move(entry.type),
                                              std::string(toString(entry.ai_access))});
  }
  return output;
}

SecretPreviewOutput previewSecret(VaultClient& vault, const SecretPreviewInput& input) {
  // Only validates the text; the vault is asked about the reference exactly as given.
  (void)VarnRef::parse(input.ref);
  VaultResponse reply = vault.preview(input.ref);
  if (reply.decision == VaultDecision::refused) throw ResolveError::refused(input.ref);
  return SecretPreviewOutput{input.ref, reply.type.value_or(""), reply.length.value_or(0),
                             reply.last4.value_or("")};
}

}  // namespace varn::mcp
