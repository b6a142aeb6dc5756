#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace varn::mcp {

// The refusals of the resolve road. what() is the full user-facing message, shown after "error: ".
// Payloads (references, tools, destinations) are inserted unchanged; they are never secret values.
class ResolveError : public std::exception {
 public:
  enum class Case {
    rateLimited,
    refused,
    denied,
    approvalTimeout,
    noValue,
    unbound,
    destinationNotAllowed,
    handleExpired,
    killSwitchActive,
  };

  // "rate limited (<key>) — too many resolves; slow down and retry".
  static ResolveError rateLimited(std::string key);
  // "refused — <ref> is ai_hidden or the vault is locked".
  static ResolveError refused(std::string ref);
  // "denied — the human declined the Touch ID approval for <ref>".
  static ResolveError denied(std::string ref);
  // "approval timed out for <ref> — no answer to the approval prompt. This MCP client may not
  // support elicitation; approve in the Varn app, use an injectable-tier secret, or switch to a
  // client that supports prompts."
  static ResolveError approvalTimeout(std::string ref);
  // "no value returned for <ref>".
  static ResolveError noValue(std::string ref);
  // "<ref> has no <binding> binding, so it can't be injected into <tool>. Add one with
  // secret_update(ref, <binding>=[…]) — or set VARN_ALLOW_UNBOUND_INJECTION=1 on the MCP process
  // to allow unbound injection." `binding` is the key of the binding the credential lacks
  // ("allowed_hosts" for a tool that sends it to a host).
  static ResolveError unbound(std::string ref, std::string tool, std::string_view binding);
  // "destination '<destination>' is not in <ref>'s allowlist — the credential was NOT sent.
  // Update its binding if this destination is legitimate."
  static ResolveError destinationNotAllowed(std::string ref, std::string destination);
  // "handle <ref> is unknown or expired — mint a fresh one with mint_token".
  static ResolveError handleExpired(std::string ref);
  // "kill switch active — Varn is refusing all automated access".
  static ResolveError killSwitchActive();

  Case errorCase() const noexcept { return case_; }
  // The reference (or, for rateLimited, the key) the error names; empty for killSwitchActive.
  const std::string& ref() const noexcept { return first_; }
  // The tool of unbound, the destination of destinationNotAllowed; empty otherwise.
  const std::string& detail() const noexcept { return second_; }
  const char* what() const noexcept override { return description_.c_str(); }
  const std::string& description() const noexcept { return description_; }

  bool operator==(const ResolveError& other) const noexcept {
    return case_ == other.case_ && first_ == other.first_ && second_ == other.second_;
  }

 private:
  ResolveError(Case errorCase, std::string first, std::string second,
               std::string_view binding = {});

  Case case_;
  std::string first_;
  std::string second_;
  std::string description_;
};

}  // namespace varn::mcp
