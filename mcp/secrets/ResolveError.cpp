#include "mcp/secrets/ResolveError.hpp"

namespace varn::mcp {
namespace {

std::string describe(ResolveError::Case errorCase, const std::string& a, const std::string& b,
                     std::string_view binding) {
  using Case = ResolveError::Case;
  switch (errorCase) {
    case Case::rateLimited:
      return "rate limited (" + a + ") \u2014 too many resolves; slow down and retry";
    case Case::refused:
      return "refused \u2014 " + a + " is ai_hidden or the vault is locked";
    case Case::denied:
      return "denied \u2014 the human declined the Touch ID approval for " + a;
    case Case::approvalTimeout:
      return "approval timed out for " + a +
             " \u2014 no answer to the approval prompt. This MCP client may not support "
             "elicitation; approve in the Varn app, use an injectable-tier secret, or switch to a "
             "client that supports prompts.";
    case Case::noValue:
      return "no value returned for " + a;
    case Case::unbound: {
      const std::string key(binding);
      return a + " has no " + key + " binding, so it can't be injected into " + b +
             ". Add one with secret_update(ref, " + key +
             "=[\u2026]) \u2014 or set VARN_ALLOW_UNBOUND_INJECTION=1 on the MCP process to allow "
             "unbound injection.";
    }
    case Case::destinationNotAllowed:
      return "destination '" + b + "' is not in " + a +
             "'s allowlist \u2014 the credential was NOT sent. Update its binding if this "
             "destination is legitimate.";
    case Case::handleExpired:
      return "handle " + a + " is unknown or expired \u2014 mint a fresh one with mint_token";
    case Case::killSwitchActive:
      return "kill switch active \u2014 Varn is refusing all automated access";
  }
  return {};
}

}  // namespace

ResolveError::ResolveError(Case errorCase, std::string first, std::string second,
                           std::string_view binding)
    : case_(errorCase),
      first_(std::move(first)),
      second_(std::move(second)),
      description_(describe(case_, first_, second_, binding)) {}

ResolveError ResolveError::rateLimited(std::string key) {
  return ResolveError(Case::rateLimited, std::move(key), {});
}
ResolveError ResolveError::refused(std::string ref) {
  return ResolveError(Case::refused, std::move(ref), {});
}
ResolveError ResolveError::denied(std::string ref) {
  return ResolveError(Case::denied, std::move(ref), {});
}
ResolveError ResolveError::approvalTimeout(std::string ref) {
  return ResolveError(Case::approvalTimeout, std::move(ref), {});
}
ResolveError ResolveError::noValue(std::string ref) {
  return ResolveError(Case::noValue, std::move(ref), {});
}
ResolveError ResolveError::unbound(std::string ref, std::string tool, std::string_view binding) {
  return ResolveError(Case::unbound, std::move(ref), std::move(tool), binding);
}
ResolveError ResolveError::destinationNotAllowed(std::string ref, std::string destination) {
  return ResolveError(Case::destinationNotAllowed, std::move(ref), std::move(destination));
}
ResolveError ResolveError::handleExpired(std::string ref) {
  return ResolveError(Case::handleExpired, std::move(ref), {});
}
ResolveError ResolveError::killSwitchActive() {
  return ResolveError(Case::killSwitchActive, {}, {});
}

}  // namespace varn::mcp
