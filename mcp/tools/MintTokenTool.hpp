#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "mcp/secrets/ResolveService.hpp"
#include "mcp/secrets/TokenVault.hpp"
#include "mcp/tools/ToolServices.hpp"
#include "support/JsonRecord.hpp"

namespace varn::mcp {

// Arguments of "mint_token"; every key is required.
struct MintTokenInput {
  std::string root_ref;      // the reference (or an existing handle) the handle stands for
  std::string scope;         // a free label stored with the handle, never interpreted
  std::int64_t ttl_seconds;  // lifetime from the moment of minting; not checked
};
VARN_JSON_RECORD(MintTokenInput, "arguments", VARN_JSON_FIELD(root_ref), VARN_JSON_FIELD(scope),
                 VARN_JSON_FIELD(ttl_seconds));

// Result of "mint_token".
struct MintTokenOutput {
  std::string handle;      // "varnh_" followed by an upper-case UUID
  std::string expires_at;  // ISO 8601 in UTC, whole seconds, "Z"

  bool operator==(const MintTokenOutput&) const = default;
};
VARN_JSON_RECORD(MintTokenOutput, "output", VARN_JSON_FIELD(handle), VARN_JSON_FIELD(expires_at));

// "mint_token": passes the root secret through the resolve road once, under the tool's name, and
// stores its value and bindings under a fresh short-lived handle. A handle minted
// from a handle expires no later than its source, whatever its ttl. The value is never part of the
// result. Immutable; concurrent runs are independent.
class MintTokenTool final {
 public:
  using Input = MintTokenInput;
  using Output = MintTokenOutput;

  // Over the resolve service and the handle store of `services`; `name` is the tool's, under which
  // the resolve road asks and audits.
  MintTokenTool(const ToolServices& services, std::string name);

  // Blocks for the resolve road (possibly a human approval). Throws the road's errors unchanged
  // (ResolveError, VarnRefError, ToolError); nothing is minted then. An expiry beyond the year
  // 9999 prints as 9999-12-31T23:59:59Z (before year 1 as 0001-01-01T00:00:00Z).
  [[nodiscard]] Output run(const Input& input) const;

 private:
  std::string name_;
  std::shared_ptr<ResolveService> resolver_;
  std::shared_ptr<TokenVault> tokens_;
};

}  // namespace varn::mcp
