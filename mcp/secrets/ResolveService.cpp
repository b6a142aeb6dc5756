#include "mcp/secrets/ResolveService.hpp"

#include "mcp/secrets/VarnRef.hpp"

namespace varn::mcp {

ResolveService::ResolveService(std::shared_ptr<VaultClient> vault,
                               std::shared_ptr<Elicitor> elicitor,
                               std::shared_ptr<RateLimiter> rateLimiter, KillSwitch killSwitch,
                               std::shared_ptr<AuditLog> audit, std::shared_ptr<TokenVault> tokens,
                               WallClock clock)
    : vault_(std::move(vault)),
      elicitor_(std::move(elicitor)),
      rateLimiter_(std::move(rateLimiter)),
      killSwitch_(killSwitch),
      audit_(std::move(audit)),
      tokens_(std::move(tokens)),
      clock_(std::move(clock)) {}

std::string ResolveService::resolveValue(const std::string& ref, const std::string& tool,
                                         std::optional<std::string> upstream) {
  return resolveSecret(ref, tool, std::move(upstream)).value;
}

ResolvedSecret ResolveService::resolveSecret(const std::string& ref, const std::string& tool,
                                             std::optional<std::string> upstream) {
  auto audit = [&](const char* decision) { audit_->append(tool, ref, upstream, decision); };

  // A minted handle is redeemed from the store: never parsed, counted, sent to the vault or
  // approved.
  if (tokens_ && ref.starts_with(TokenVault::kHandlePrefix)) {
    if (killSwitch_.isActive()) {
      audit("kill_switch");
      throw ResolveError::killSwitchActive();
    }
    if (std::optional<ResolvedSecret> secret = tokens_->secret(ref, clock_())) {
      audit("handle_redeemed");
      return std::move(*secret);
    }
    audit("handle_expired");
    throw ResolveError::handleExpired(ref);
  }

  // The parse only validates; the vault receives `ref` exactly as passed.
  (void)VarnRef::parse(ref);

  if (killSwitch_.isActive()) {
    audit("kill_switch");
    throw ResolveError::killSwitchActive();
  }

  try {
    rateLimiter_->check("ref:" + ref, clock_());
    rateLimiter_->check("tool:" + tool, clock_());
  } catch (const RateLimitError&) {
    audit("rate_limited");
    throw ResolveError::rateLimited(ref);  // names the reference whichever key tripped
  }

  VaultResponse reply = vault_->resolve(ref, false);
  switch (reply.decision) {
    case VaultDecision::allowed:
      if (!reply.value) {
        audit("no_value");
        throw ResolveError::noValue(ref);
      }
      audit("allowed");
      return ResolvedSecret{std::move(*reply.value), std::move(reply.allowed_hosts),
                            std::move(reply.allowed_commands)};
    case VaultDecision::refused:
      audit("refused");
      throw ResolveError::refused(ref);
    case VaultDecision::needsApproval:
      break;
  }

  bool approved;
  try {
    approved = elicitor_->requestApproval(ref, tool);
  } catch (...) {
    audit("approval_timeout");
    throw;
  }
  if (!approved) {
    audit("denied");
    throw ResolveError::denied(ref);
  }

  VaultResponse second = vault_->resolve(ref, true);
  if (second.decision != VaultDecision::allowed || !second.value) {
    audit("denied");
    throw ResolveError::denied(ref);
  }
  audit("approved");
  return ResolvedSecret{std::move(*second.value), std::move(second.allowed_hosts),
                        std::move(second.allowed_commands)};
}

}  // namespace varn::mcp
