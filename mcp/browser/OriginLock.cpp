#include "mcp/browser/OriginLock.hpp"

#include "crypto/otp/PublicSuffixList.hpp"
#include "crypto/otp/RegistrableDomain.hpp"
#include "mcp/browser/BrowserController.hpp"
#include "support/Ascii.hpp"
#include "support/Uri.hpp"
#include "support/Utf8.hpp"

namespace varn::mcp {
namespace {

using crypto::PublicSuffixList;
using crypto::RegistrableDomain;

using support::asciiLower;

// The lower-cased scheme of a target that strictly parses as a URL with a non-empty host; empty
// otherwise. Origins ("https://bank.example:8443") are such URLs too.
std::string targetScheme(std::string_view target) {
  const std::optional<support::UriComponents> parts = support::parseUriReference(target);
  if (!parts || !parts->scheme || !parts->host || parts->host->empty()) return {};
  return asciiLower(*parts->scheme);
}

// Equal registrable domains by the built-in table, confirmed by the public suffix list: a host
// under a hosting suffix the table lacks ("a.github.io") is its own registrable domain there.
bool sameSite(std::string_view first, std::string_view second) {
  const std::optional<std::string> a = RegistrableDomain::registrable(first);
  const std::optional<std::string> b = RegistrableDomain::registrable(second);
  if (!a || !b || *a != *b) return false;
  const std::optional<std::string> hostA = RegistrableDomain::host(first);
  const std::optional<std::string> hostB = RegistrableDomain::host(second);
  return hostA && hostB && PublicSuffixList::sameRegistrableDomain(*hostA, *hostB);
}

// The registrable domain on which the built-in table and the public suffix list agree for `text`:
// the narrower of the two (both end the host, so one ends the other). nullopt when either has none.
std::optional<std::string> agreedSite(std::string_view text) {
  const std::optional<std::string> table = RegistrableDomain::registrable(text);
  const std::optional<std::string> host = RegistrableDomain::host(text);
  if (!table || !host) return std::nullopt;
  const std::optional<std::string> listed = PublicSuffixList::registrableDomain(*host);
  if (!listed) return std::nullopt;
  return table->size() >= listed->size() ? table : listed;
}

std::vector<std::string> cleanedHosts(const std::optional<std::vector<std::string>>& allowedHosts) {
  std::vector<std::string> hosts;
  for (const std::string& entry : allowedHosts.value_or(std::vector<std::string>{})) {
    std::string cleaned = asciiLower(support::trimWhitespace(entry));
    if (!cleaned.empty()) hosts.push_back(std::move(cleaned));
  }
  return hosts;
}

}  // namespace

std::string OriginLock::lockedTo(const std::optional<std::string>& itemURL,
                                 const std::optional<std::vector<std::string>>& allowedHosts) {
  std::string text = support::trimWhitespace(itemURL.value_or(""));
  if (!text.empty()) return text;
  for (const std::string& host : cleanedHosts(allowedHosts)) {
    if (!text.empty()) text += ", ";
    text += host;
  }
  return text;
}

FillBinding OriginLock::binding(const std::optional<std::string>& itemURL,
                                const std::optional<std::vector<std::string>>& allowedHosts) {
  const std::string item = support::trimWhitespace(itemURL.value_or(""));
  FillBinding binding;
  binding.lockedTo = lockedTo(itemURL, allowedHosts);
  binding.https = asciiLower(item.substr(0, 6)) == "https:";
  binding.hosts = cleanedHosts(allowedHosts);
  const auto addSite = [&](std::string_view text) {
    const std::optional<std::string> site = agreedSite(text);
    if (!site) return;
    for (const FillBinding::Site& known : binding.sites) {
      if (known.domain == *site) return;
    }
    binding.sites.push_back({*site, PublicSuffixList::zonesBelow(*site)});
  };
  if (!item.empty()) addSite(item);
  for (const std::string& host : binding.hosts) addSite(host);
  return binding;
}

void OriginLock::check(std::string_view target, const std::optional<std::string>& itemURL,
                       const std::optional<std::vector<std::string>>& allowedHosts,
                       std::string_view ref) {
  const std::string item = support::trimWhitespace(itemURL.value_or(""));
  const std::vector<std::string> hosts = cleanedHosts(allowedHosts);
  if (item.empty() && hosts.empty()) throw BrowserError::itemHasNoURL(std::string(ref));

  const auto mismatch = [&] {
    return BrowserError::originMismatch(lockedTo(itemURL, allowedHosts), std::string(target));
  };

  // Only web pages receive values: a javascript: or data: address can carry the right host and
  // still run script of its own, and an https login never goes to a plain-text page.
  const std::string scheme = targetScheme(target);
  if (scheme != "http" && scheme != "https") throw mismatch();
  if (scheme == "http" && asciiLower(item.substr(0, 6)) == "https:") throw mismatch();

  if (!item.empty() && sameSite(item, target)) return;

  const std::optional<std::string> targetHost = RegistrableDomain::host(target);
  if (!targetHost) throw mismatch();
  for (const std::string& host : hosts) {
    if (host == *targetHost || sameSite(target, host)) return;
  }
  throw mismatch();
}

}  // namespace varn::mcp
