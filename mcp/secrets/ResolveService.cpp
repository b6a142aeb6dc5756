#include "mcp/secrets/ResolveService.hpp"

#include "mcp/secrets/VarnRef.hpp"
#include "support/Wipe.hpp"

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

  return fromVault(ref, tool, upstream, false);
}

ResolvedSecret ResolveService::fromVault(const std::string& ref, const std::string& tool,
                                         const std::optional<std::string>& upstream,
                                         bool approved) {
  auto audit = [&](const char* decision) { audit_->append(tool, ref, upstream, decision); };
  if (!approved) {
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
    requireApproval(ref, tool, upstream);
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

void ResolveService::requireApproval(const std::string& ref, const std::string& tool,
                                     const std::optional<std::string>& upstream) {
  bool approved;
  try {
    approved = elicitor_->requestApproval(ref, tool);
  } catch (...) {
    audit_->append(tool, ref, upstream, "approval_timeout");
    throw;
  }
  if (!approved) {
    audit_->append(tool, ref, upstream, "denied");
    throw ResolveError::denied(ref);
  }
}

std::vector<ResolvedSecret> ResolveService::resolveAll(const std::vector<std::string>& refs,
                                                       const std::string& tool,
                                                       const std::optional<std::string>& upstream) {
  if (refs.size() <= 1) {
    std::vector<ResolvedSecret> one;
    if (!refs.empty()) one.push_back(resolveSecret(refs.front(), tool, upstream));
    return one;
  }
  const auto isHandle = [&](const std::string& ref) {
    return tokens_ && ref.starts_with(TokenVault::kHandlePrefix);
  };
  std::vector<const std::string*> stored;
  for (const std::string& ref : refs) {
    if (isHandle(ref)) continue;
    (void)VarnRef::parse(ref);
    stored.push_back(&ref);
  }
  if (killSwitch_.isActive()) {
    audit_->append(tool, refs.front(), upstream, "kill_switch");
    throw ResolveError::killSwitchActive();
  }

  // What is known before any value: the handles' entries, the room under the rate limits, the
  // vault's decisions and the human approvals.
  std::vector<std::optional<ResolvedSecret>> released(refs.size());
  struct Wiped {
    std::vector<std::optional<ResolvedSecret>>& values;
    ~Wiped() {
      for (std::optional<ResolvedSecret>& value : values) {
        if (value) support::wipe(value->value);
      }
    }
  } wiped{released};
  for (std::size_t i = 0; i < refs.size(); ++i) {
    if (!isHandle(refs[i])) continue;
    released[i] = tokens_->secret(refs[i], clock_());
    if (!released[i]) {
      audit_->append(tool, refs[i], upstream, "handle_expired");
      throw ResolveError::handleExpired(refs[i]);
    }
  }
  if (!stored.empty()) {
    std::vector<std::string> keys;
    for (const std::string* ref : stored) keys.push_back("ref:" + *ref);
    keys.insert(keys.end(), stored.size(), "tool:" + tool);
    try {
      rateLimiter_->checkAll(keys, clock_());
    } catch (const RateLimitError& error) {
      const std::string& ref =
          error.key().starts_with("ref:") ? error.key().substr(4) : *stored.front();
      audit_->append(tool, ref, upstream, "rate_limited");
      throw ResolveError::rateLimited(ref);
    }
  }
  std::vector<bool> approved(refs.size(), false);
  if (stored.size() >= 2) {
    for (std::size_t i = 0; i < refs.size(); ++i) {
      if (isHandle(refs[i])) continue;
      switch (vault_->preview(refs[i]).decision) {
        case VaultDecision::allowed:
          break;
        case VaultDecision::refused:
          audit_->append(tool, refs[i], upstream, "refused");
          throw ResolveError::refused(refs[i]);
        case VaultDecision::needsApproval:
          requireApproval(refs[i], tool, upstream);
          approved[i] = true;
          break;
      }
    }
  }

  for (std::size_t i = 0; i < refs.size(); ++i) {
    if (released[i]) {
      audit_->append(tool, refs[i], upstream, "handle_redeemed");
    } else {
      released[i] = fromVault(refs[i], tool, upstream, approved[i]);
    }
  }
  std::vector<ResolvedSecret> values;
  values.reserve(refs.size());
  // What a move leaves behind (a short value stays in place) is wiped on the way out.
  for (std::optional<ResolvedSecret>& value : released) values.push_back(std::move(*value));
  return values;
}

}  // namespace varn::mcp
