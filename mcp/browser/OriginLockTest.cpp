#include "mcp/browser/OriginLock.hpp"

#include <algorithm>

#include <gtest/gtest.h>

#include "crypto/otp/PublicSuffixList.hpp"
#include "crypto/otp/RegistrableDomain.hpp"
#include "mcp/browser/BrowserController.hpp"
#include "support/Ascii.hpp"
#include "support/Uri.hpp"

namespace varn::mcp {
namespace {

using Hosts = std::optional<std::vector<std::string>>;

struct LockCase {
  const char* name;
  std::string target;
  std::optional<std::string> itemURL;
  Hosts allowedHosts;
  // Empty: the check passes; otherwise the text of the error it raises.
  std::string error;
};

const std::string kRef = "varn://local/Bank/password";

std::string mismatch(const std::string& item, const std::string& frame) {
  return BrowserError::originMismatch(item, frame).what();
}

// The whole rule as one table: the item's address unlocks its registrable domain, each allowed
// host its own host and registrable domain; only http(s) targets, never https to http, and never a
// neighbour under a hosting suffix.
const LockCase kCases[] = {
    {"SiblingSubdomainOfTheItemAddress", "https://www.example.com", "https://login.example.com",
     std::nullopt, ""},
    {"OtherDomainNamesTheWholeAddress", "https://evil.org", "https://login.example.com/signin",
     std::nullopt, mismatch("https://login.example.com/signin", "https://evil.org")},
    {"AddressIsTrimmedOfSpacesAndTabs", "https://other.org", " \thttps://example.com  ",
     std::nullopt, mismatch("https://example.com", "https://other.org")},
    {"AllowedHostIsTrimmedAndLowerCased", "https://app.example.com:8443", std::nullopt,
     Hosts{{"  Example.COM "}}, ""},
    {"AllowedHostsNamedWhenNoAddress", "https://evil.org", "  ", Hosts{{" A.com", "", "b.com "}},
     mismatch("a.com, b.com", "https://evil.org")},
    {"NeitherAddressNorHosts", "https://example.com", std::nullopt, std::nullopt,
     BrowserError::itemHasNoURL(kRef).what()},
    {"OnlyBlankHosts", "https://example.com", "", Hosts{{" ", "\t"}},
     BrowserError::itemHasNoURL(kRef).what()},
    {"NoBindingBeatsABadTarget", "javascript:alert(1)", std::nullopt, Hosts{},
     BrowserError::itemHasNoURL(kRef).what()},
    {"LocalhostAddressAloneNeverPasses", "http://localhost:8080", "http://localhost:8080",
     std::nullopt, mismatch("http://localhost:8080", "http://localhost:8080")},
    {"IpAddressAloneNeverPasses", "http://127.0.0.1:9", "http://127.0.0.1:9", std::nullopt,
     mismatch("http://127.0.0.1:9", "http://127.0.0.1:9")},
    {"ExactAllowedHostPassesLocalhost", "http://localhost:8080", "http://localhost:8080",
     Hosts{{"localhost"}}, ""},
    {"ExactAllowedHostPassesAnIp", "http://127.0.0.1:9", std::nullopt, Hosts{{"127.0.0.1"}}, ""},
    {"AllowedHostUnlocksBesideAnAddress", "https://x.partner.net", "https://example.com",
     Hosts{{"partner.net"}}, ""},
    {"PlainTextUpgradeToHttpsPasses", "https://example.com", "http://example.com", std::nullopt,
     ""},
    {"HttpsItemNeverGoesToHttp", "http://example.com", "HTTPS://example.com", std::nullopt,
     mismatch("HTTPS://example.com", "http://example.com")},
    {"HttpsItemNeverGoesToHttpEvenByHost", "http://example.com", "https://example.com",
     Hosts{{"example.com"}}, mismatch("https://example.com", "http://example.com")},
    {"JavascriptTargetWithTheRightHost", "javascript://bank.example/%0Aalert(1)",
     "https://bank.example", Hosts{{"bank.example"}},
     mismatch("https://bank.example", "javascript://bank.example/%0Aalert(1)")},
    {"DataTarget", "data:text/html,x", std::nullopt, Hosts{{"example.com"}},
     mismatch("example.com", "data:text/html,x")},
    {"OpaqueOrigin", "null", "https://example.com", std::nullopt,
     mismatch("https://example.com", "null")},
    {"BareHostIsNoOrigin", "example.com", "https://example.com", Hosts{{"example.com"}},
     mismatch("https://example.com", "example.com")},
    {"EmptyTarget", "", "https://example.com", std::nullopt, mismatch("https://example.com", "")},
    {"SharedHostingNeighbourByAddress", "https://mallory.github.io", "https://alice.github.io",
     std::nullopt, mismatch("https://alice.github.io", "https://mallory.github.io")},
    {"SharedHostingNeighbourByHost", "https://mallory.herokuapp.com", std::nullopt,
     Hosts{{"alice.herokuapp.com"}},
     mismatch("alice.herokuapp.com", "https://mallory.herokuapp.com")},
    {"HostingSuffixItselfUnlocksNoTenant", "https://alice.github.io", std::nullopt,
     Hosts{{"github.io"}}, mismatch("github.io", "https://alice.github.io")},
    {"SameTenantUnderAHostingSuffix", "https://www.alice.github.io", "https://alice.github.io",
     std::nullopt, ""},
    {"ExactTenantHostPasses", "https://alice.github.io", std::nullopt, Hosts{{"alice.github.io"}},
     ""},
    {"TenantUnderASuffixBelowTheItemsDomain", "https://bucket.s3.amazonaws.com",
     "https://console.amazonaws.com", std::nullopt,
     mismatch("https://console.amazonaws.com", "https://bucket.s3.amazonaws.com")},
    {"HostUnderTheItemsDomainBesideItsSuffixes", "https://www.amazonaws.com",
     "https://console.amazonaws.com", std::nullopt, ""},
    {"TenantUnderAWildcardSuffixByHost", "https://x.eu-west-1.compute.amazonaws.com", std::nullopt,
     Hosts{{"amazonaws.com"}},
     mismatch("amazonaws.com", "https://x.eu-west-1.compute.amazonaws.com")},
};

// The test a page applies to an address with the binding it was given (scripts/guard.js).
bool withinBinding(const FillBinding& binding, const std::string& target) {
  const std::optional<support::UriComponents> parts = support::parseUriReference(target);
  if (!parts || !parts->scheme || !parts->host || parts->host->empty()) return false;
  const std::string scheme = support::asciiLower(*parts->scheme);
  if ((scheme != "http" && scheme != "https") || (scheme == "http" && binding.https)) return false;
  const std::string host = crypto::RegistrableDomain::host(target).value_or("");
  if (std::find(binding.hosts.begin(), binding.hosts.end(), host) != binding.hosts.end()) {
    return true;
  }
  for (const FillBinding::Site& site : binding.sites) {
    if (host != site.domain && !host.ends_with("." + site.domain)) continue;
    const bool tenant =
        std::any_of(site.tenants.begin(), site.tenants.end(), [&](const std::string& zone) {
          return zone.starts_with('.') ? host.ends_with(zone)
                                       : host == zone || host.ends_with("." + zone);
        });
    if (!tenant) return true;
  }
  return false;
}

class OriginLockTest : public ::testing::TestWithParam<LockCase> {};

TEST_P(OriginLockTest, DecidesAsTheTableSays) {
  const LockCase& c = GetParam();
  try {
    OriginLock::check(c.target, c.itemURL, c.allowedHosts, kRef);
    EXPECT_EQ(c.error, "") << "passed";
  } catch (const BrowserError& error) {
    EXPECT_EQ(error.what(), c.error);
  }
}

// The binding handed to a page decides every bound row as the check does.
TEST_P(OriginLockTest, TheBindingAPageJudgesByDecidesAlike) {
  const LockCase& c = GetParam();
  if (c.error == BrowserError::itemHasNoURL(kRef).what()) return;
  EXPECT_EQ(withinBinding(OriginLock::binding(c.itemURL, c.allowedHosts), c.target),
            c.error.empty());
}

TEST(OriginLockBindingTest, NamesTheRuleOfTheItem) {
  const FillBinding binding = OriginLock::binding(" https://console.amazonaws.com ",
                                                  Hosts{{" Login.Example.COM ", "127.0.0.1", ""}});
  EXPECT_EQ(binding.lockedTo, "https://console.amazonaws.com");
  EXPECT_TRUE(binding.https);
  EXPECT_EQ(binding.hosts, (std::vector<std::string>{"login.example.com", "127.0.0.1"}));
  EXPECT_EQ(binding.sites,
            (std::vector<FillBinding::Site>{
                {"amazonaws.com", crypto::PublicSuffixList::zonesBelow("amazonaws.com")},
                {"example.com", {}}}));
  // A tenant's own site, and no site for an address without a registrable domain.
  EXPECT_EQ(OriginLock::binding("http://alice.github.io", std::nullopt).sites,
            (std::vector<FillBinding::Site>{{"alice.github.io", {}}}));
  EXPECT_FALSE(OriginLock::binding("http://alice.github.io", std::nullopt).https);
  EXPECT_TRUE(OriginLock::binding("http://127.0.0.1:9", std::nullopt).sites.empty());
}

INSTANTIATE_TEST_SUITE_P(Table, OriginLockTest, ::testing::ValuesIn(kCases),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace varn::mcp
