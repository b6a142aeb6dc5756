#pragma once

// secret_list and secret_resolve_preview: which secrets exist and what shape one has, without any
// secret value crossing the MCP connection. Neither takes the guarded resolve road (no kill switch,
// rate limit, approval or audit line) and neither ever asks the vault for a value.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "mcp/secrets/VaultClient.hpp"
#include "mcp/tools/ToolServices.hpp"
#include "support/JsonRecord.hpp"

namespace varn::mcp {

// Input of secret_list; both fields are passed to the vault as decoded (null counts as absent).
struct SecretListInput {
  std::optional<std::string> collection{};
  std::optional<std::string> query{};
};
VARN_JSON_RECORD(SecretListInput, "arguments", VARN_JSON_FIELD(collection), VARN_JSON_FIELD(query));

// One listed secret; `ai_access` is the tier text ("injectable", "human_gated", "ai_hidden").
struct SecretListEntryOut {
  std::string ref{};
  std::string name{};
  std::string type{};
  std::string ai_access{};

  bool operator==(const SecretListEntryOut&) const = default;
};
VARN_JSON_RECORD(SecretListEntryOut, "item", VARN_JSON_FIELD(ref), VARN_JSON_FIELD(name),
                 VARN_JSON_FIELD(type), VARN_JSON_FIELD(ai_access));

// Output of secret_list: the vault's entries in the vault's order, duplicates kept.
struct SecretListOutput {
  std::vector<SecretListEntryOut> items{};

  bool operator==(const SecretListOutput&) const = default;
};
VARN_JSON_RECORD(SecretListOutput, "output", VARN_JSON_FIELD(items));

// Input of secret_resolve_preview: a secret reference ("varn://<collection>/<item>/<field>").
struct SecretPreviewInput {
  std::string ref{};
};
VARN_JSON_RECORD(SecretPreviewInput, "arguments", VARN_JSON_FIELD(ref));

// A masked descriptor: the input reference unchanged, and the vault's type, length and last four
// characters ("", 0 and "" when the vault gave none). Never a value.
struct SecretPreviewOutput {
  std::string ref{};
  std::string type{};
  std::int64_t length = 0;
  std::string last4{};

  bool operator==(const SecretPreviewOutput&) const = default;
};
VARN_JSON_RECORD(SecretPreviewOutput, "output", VARN_JSON_FIELD(ref), VARN_JSON_FIELD(type),
                 VARN_JSON_FIELD(length), VARN_JSON_FIELD(last4));

// secret_list: one list call to the vault; its errors pass through unchanged. Blocks for the
// exchange.
[[nodiscard]] SecretListOutput listSecrets(VaultClient& vault, const SecretListInput& input);
using SecretListTool = ServiceTool<VaultClient, &listSecrets>;

// secret_resolve_preview: checks that `ref` parses as a secret reference (throws VarnRefError
// without contacting the vault), then asks the vault for a preview of exactly that text. A
// "refused" decision throws ResolveError::refused(ref); "allowed" and "needs_approval" both answer
// at once, with no approval asked. Any value in the reply is dropped. Vault errors pass through
// unchanged.
[[nodiscard]] SecretPreviewOutput previewSecret(VaultClient& vault,
                                                const SecretPreviewInput& input);
using SecretPreviewTool = ServiceTool<VaultClient, &previewSecret>;

}  // namespace varn::mcp
