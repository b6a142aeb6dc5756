#include "mcp/browser/OriginLock.hpp"

#include <gtest/gtest.h>

#include "mcp/browser/BrowserController.hpp"

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
};

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

INSTANTIATE_TEST_SUITE_P(Table, OriginLockTest, ::testing::ValuesIn(kCases),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace varn::mcp
