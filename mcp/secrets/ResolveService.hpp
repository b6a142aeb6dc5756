#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mcp/secrets/AuditLog.hpp"
#include "mcp/secrets/Elicitor.hpp"
#include "mcp/secrets/KillSwitch.hpp"
#include "mcp/secrets/RateLimiter.hpp"
#include "mcp/secrets/ResolveError.hpp"
#include "mcp/secrets/ResolvedSecret.hpp"
#include "mcp/secrets/TokenVault.hpp"
#include "mcp/secrets/VaultClient.hpp"
#include "mcp/secrets/WallClock.hpp"

namespace varn::mcp {

// The one road by which a tool obtains the plain value of a stored secret. In order: redemption of
// a minted handle ("varnh_..."), the reference parse, the kill switch, the rate limits per
// reference and per tool, the vault's decision and, when the vault asks for it, a human approval
// followed by a second, approved request. Every decision leaves one audit line, written before the
// call returns or throws.
//
// Thread-safe and stateless beyond its collaborators: concurrent resolves proceed independently,
// and no lock is held across a vault call or an approval wait. The collaborators are shared with
// the rest of the server and must be thread-safe themselves.
class ResolveService final {
 public:
  // `tokens` absent turns handle redemption off (a "varnh_" text then fails the parse). `clock`
  // is read afresh for the handle lookup and for each rate-limit check.
  ResolveService(std::shared_ptr<VaultClient> vault, std::shared_ptr<Elicitor> elicitor,
                 std::shared_ptr<RateLimiter> rateLimiter, KillSwitch killSwitch,
                 std::shared_ptr<AuditLog> audit, std::shared_ptr<TokenVault> tokens,
                 WallClock clock = systemWallClock);

  ResolveService(const ResolveService&) = delete;
  ResolveService& operator=(const ResolveService&) = delete;

  // Releases the value named by `ref` (a reference or a handle, exactly as the tool received it)
  // to `tool`; `upstream` is where the value is going, recorded in the audit trail only. A value
  // redeemed from a handle carries the handle's expiry.
  // Blocks for the vault's replies and for a human approval (up to the elicitor's timeout).
  // Throws ResolveError for the road's refusals, VarnRefError for a reference that does not parse,
  // and whatever the vault client or the elicitor throws, unchanged.
  [[nodiscard]] ResolvedSecret resolveSecret(const std::string& ref, const std::string& tool,
                                             std::optional<std::string> upstream);

  // Releases the values of several distinct references for one use that needs them all (the
  // environment of one command), in the order given, or none: a reference the road would refuse
  // fails the call before the first value is asked of the vault. Before any value: the parses,
  // the kill switch, every handle's lookup, the rate limits of every reference and of the tool
  // (one hit per reference, taken all together or not at all) and, with two or more stored
  // references, the vault's decision on each (a preview, which carries no value) and every human
  // approval asked for. Then each value, audited as resolveSecret audits it. Only a vault that
  // changes its mind between the decision and the value (or fails in between) fails the call
  // after a value came; the values already released are then wiped. With one reference, this is
  // resolveSecret. Throws what resolveSecret throws; the refusal names the reference it is about
  // (the first stored one when the tool's limit is what lacks room) and is audited under it.
  [[nodiscard]] std::vector<ResolvedSecret> resolveAll(const std::vector<std::string>& refs,
                                                       const std::string& tool,
                                                       const std::optional<std::string>& upstream);

  // resolveSecret without the bindings.
  [[nodiscard]] std::string resolveValue(const std::string& ref, const std::string& tool,
                                         std::optional<std::string> upstream);

 private:
  // The road from the vault's decision on: a resolve request (`approved` when a human approved
  // this release already), then, should the vault ask, a human approval and the approved request.
  [[nodiscard]] ResolvedSecret fromVault(const std::string& ref, const std::string& tool,
                                         const std::optional<std::string>& upstream, bool approved);
  // The human's approval of `ref`, audited when it is not given.
  void requireApproval(const std::string& ref, const std::string& tool,
                       const std::optional<std::string>& upstream);

  const std::shared_ptr<VaultClient> vault_;
  const std::shared_ptr<Elicitor> elicitor_;
  const std::shared_ptr<RateLimiter> rateLimiter_;
  const KillSwitch killSwitch_;
  const std::shared_ptr<AuditLog> audit_;
  const std::shared_ptr<TokenVault> tokens_;
  const WallClock clock_;
};

}  // namespace varn::mcp
