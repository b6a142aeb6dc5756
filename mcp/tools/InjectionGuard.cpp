#include "mcp/tools/InjectionGuard.hpp"

#include <optional>

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include "crypto/otp/PublicSuffixList.hpp"
#include "crypto/otp/RegistrableDomain.hpp"
#include "mcp/secrets/ResolveError.hpp"
#include "support/Utf8.hpp"

namespace varn::mcp {
namespace {

// Full Unicode lower-casing with the root locale.
std::string lowerCased(std::string_view text) {
  icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  unicode.toLower(icu::Locale::getRoot());
  std::string out;
  unicode.toUTF8String(out);
  return out;
}

// The entries left after trimming spaces and tabs, blank ones dropped, in their order.
std::vector<std::string> nonBlankEntries(const std::optional<std::vector<std::string>>& list) {
  std::vector<std::string> out;
  if (!list) return out;
  for (const auto& entry : *list) {
    std::string trimmed = support::trimWhitespace(entry);
    if (!trimmed.empty()) out.push_back(std::move(trimmed));
  }
  return out;
}

}  // namespace

bool InjectionGuard::allowUnbound(const std::map<std::string, std::string>& environment) {
  auto found = environment.find(allowUnboundEnvKey);
  if (found == environment.end()) return false;
  std::string value = lowerCased(found->second);
  return value == "1" || value == "true" || value == "yes";
}

void InjectionGuard::checkHost(const ResolvedSecret& secret, std::string_view targetHost,
                               std::string_view ref, std::string_view tool, bool allowUnbound) {
  std::vector<std::string> entries = nonBlankEntries(secret.allowedHosts);
  if (entries.empty()) {
    if (allowUnbound) return;
    throw ResolveError::unbound(std::string(ref), std::string(tool), "allowed_hosts");
  }
  const std::string host = lowerCased(targetHost);
  std::optional<std::string> hostDomain;
  bool hostDomainKnown = false;
  for (const auto& entry : entries) {
    const std::string bound = lowerCased(entry);
    if (bound == host) return;
    if (!hostDomainKnown) {
      hostDomain = crypto::RegistrableDomain::registrable(host);
      hostDomainKnown = true;
    }
    if (!hostDomain) continue;
    std::optional<std::string> boundDomain = crypto::RegistrableDomain::registrable(bound);
    if (!boundDomain || *boundDomain != *hostDomain) continue;
    // The built-in table does not know most shared-hosting suffixes, under which each customer's
    // name is a tenant of its own (myproj.supabase.co): the system's list must agree.
    std::optional<std::string> boundHost = crypto::RegistrableDomain::host(bound);
    if (boundHost && crypto::PublicSuffixList::sameRegistrableDomain(host, *boundHost)) return;
  }
  throw ResolveError::destinationNotAllowed(std::string(ref), std::string(targetHost));
}

void InjectionGuard::checkCommand(const ResolvedSecret& secret,
                                  const std::vector<std::string>& argv, std::string_view ref,
                                  std::string_view tool, bool allowUnbound) {
  std::vector<std::string> entries = nonBlankEntries(secret.allowedCommands);
  if (entries.empty()) {
    if (allowUnbound) return;
    throw ResolveError::unbound(std::string(ref), std::string(tool), "allowed_commands");
  }
  std::string commandLine;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    if (i > 0) commandLine += ' ';
    commandLine += argv[i];
  }
  for (const auto& entry : entries) {
    if (commandLine.starts_with(entry)) return;
  }
  throw ResolveError::destinationNotAllowed(std::string(ref), argv.empty() ? "" : argv.front());
}

}  // namespace varn::mcp
