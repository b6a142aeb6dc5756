#include "mcp/tools/InjectionGuard.hpp"

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mcp/secrets/ResolveError.hpp"

namespace varn::mcp {
namespace {

using List = std::optional<std::vector<std::string>>;
const std::string kRef = "varn://work/api/token";

// What a check should do: allow, or throw exactly this refusal.
using Outcome = std::optional<ResolveError>;

void expectOutcome(const std::function<void()>& check, const Outcome& expected) {
  try {
    check();
    EXPECT_FALSE(expected.has_value()) << "allowed, expected: " << expected->what();
  } catch (const ResolveError& error) {
    ASSERT_TRUE(expected.has_value()) << "refused: " << error.what();
    EXPECT_EQ(error, *expected) << error.what();
  }
}

struct SwitchCase {
  const char* name;
  std::optional<std::string> value;
  bool on;
};

class AllowUnboundTest : public ::testing::TestWithParam<SwitchCase> {};

TEST_P(AllowUnboundTest, ReadsTheSwitch) {
  std::map<std::string, std::string> environment = {{"PATH", "/bin"}};
  if (GetParam().value) environment[InjectionGuard::allowUnboundEnvKey] = *GetParam().value;
  EXPECT_EQ(InjectionGuard::allowUnbound(environment), GetParam().on);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AllowUnboundTest,
    ::testing::Values(SwitchCase{"One", "1", true}, SwitchCase{"UpperTrue", "TRUE", true},
                      SwitchCase{"MixedYes", "Yes", true}, SwitchCase{"LowerTrue", "true", true},
                      SwitchCase{"Absent", std::nullopt, false}, SwitchCase{"Empty", "", false},
                      SwitchCase{"On", "on", false}, SwitchCase{"Y", "y", false},
                      SwitchCase{"Zero", "0", false}, SwitchCase{"LeadingSpace", " 1", false},
                      SwitchCase{"TrailingLineFeed", "yes\n", false}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST(InjectionGuardTest, TheSwitchIsNamedAsTheOperatorSetsIt) {
  EXPECT_STREQ(InjectionGuard::allowUnboundEnvKey, "VARN_ALLOW_UNBOUND_INJECTION");
}

struct HostCase {
  const char* name;
  List allowedHosts;
  std::string host;
  bool allowUnbound;
  Outcome expected;
};

class CheckHostTest : public ::testing::TestWithParam<HostCase> {};

TEST_P(CheckHostTest, AllowsOrRefuses) {
  const HostCase& c = GetParam();
  ResolvedSecret secret{"value", c.allowedHosts, List{{"ignored"}}};
  expectOutcome(
      [&] { InjectionGuard::checkHost(secret, c.host, kRef, "http_call", c.allowUnbound); },
      c.expected);
}

Outcome notAllowed(const std::string& destination) {
  return ResolveError::destinationNotAllowed(kRef, destination);
}
const Outcome kUnboundHttp = ResolveError::unbound(kRef, "http_call", "allowed_hosts");
const Outcome kAllow = std::nullopt;

INSTANTIATE_TEST_SUITE_P(
    Cases, CheckHostTest,
    ::testing::Values(
        HostCase{"NoListSwitchOff", std::nullopt, "api.example.com", false, kUnboundHttp},
        HostCase{"NoListSwitchOn", std::nullopt, "api.example.com", true, kAllow},
        HostCase{"EmptyListSwitchOff", List{std::vector<std::string>{}}, "api.example.com", false,
                 kUnboundHttp},
        HostCase{"EmptyListSwitchOn", List{std::vector<std::string>{}}, "api.example.com", true,
                 kAllow},
        HostCase{"BlankEntriesSwitchOff", List{{"", " ", "\t \xC2\xA0"}}, "a.example.com", false,
                 kUnboundHttp},
        HostCase{"BlankEntriesSwitchOn", List{{"", " ", "\t"}}, "a.example.com", true, kAllow},
        HostCase{"OtherDomainRefusedEvenWithSwitch", List{{"other.com"}}, "api.example.com", true,
                 notAllowed("api.example.com")},
        HostCase{"RefusalCarriesTheHostAsPassed", List{{"other.org"}}, "API.Example.COM", false,
                 notAllowed("API.Example.COM")},
        HostCase{"EntryTrimmedAndLowerCased", List{{"  API.Example.com\t"}}, "api.example.com",
                 false, kAllow},
        HostCase{"HostLowerCased", List{{"api.example.com"}}, "API.EXAMPLE.COM", false, kAllow},
        HostCase{"UnicodeLowerCasing",
                 List{{"b\xC3\xBC"
                       "cher.example"}},
                 "B\xC3\x9C"
                 "CHER.EXAMPLE",
                 false, kAllow},
        HostCase{"SiblingSubdomain", List{{"www.example.com"}}, "api.example.com", false, kAllow},
        HostCase{"BareRegistrableDomain", List{{"www.example.com"}}, "example.com", false, kAllow},
        HostCase{"EntryAsWholeUrl", List{{"https://www.example.com/path?q=1"}}, "api.example.com",
                 false, kAllow},
        HostCase{"CountrySecondLevel", List{{"shop.example.co.uk"}}, "api.example.co.uk", false,
                 kAllow},
        HostCase{"CountrySecondLevelOtherName", List{{"example.co.uk"}}, "other.co.uk", false,
                 notAllowed("other.co.uk")},
        HostCase{"SharedHostingOtherCustomer", List{{"alice.github.io"}}, "bob.github.io", false,
                 notAllowed("bob.github.io")},
        HostCase{"SharedHostingSameCustomer", List{{"alice.github.io"}}, "docs.alice.github.io",
                 false, kAllow},
        // Tenants of shared-hosting suffixes that only the system's public suffix list knows.
        HostCase{"SupabaseOtherTenant", List{{"myproj.supabase.co"}}, "evilproj.supabase.co", false,
                 notAllowed("evilproj.supabase.co")},
        HostCase{"CloudRunOtherTenant", List{{"https://svc-a.run.app/v1"}}, "svc-b.run.app", false,
                 notAllowed("svc-b.run.app")},
        HostCase{"VercelOtherTenant", List{{"mine.vercel.app"}}, "theirs.vercel.app", false,
                 notAllowed("theirs.vercel.app")},
        HostCase{"SuffixItselfAllowsNoTenant", List{{"supabase.co"}}, "myproj.supabase.co", false,
                 notAllowed("myproj.supabase.co")},
        HostCase{"TenantAllowsNotItsSuffix", List{{"myproj.supabase.co"}}, "supabase.co", false,
                 notAllowed("supabase.co")},
        HostCase{"SuffixItselfByEqualEntry", List{{"Supabase.co"}}, "supabase.co", false, kAllow},
        HostCase{"SameTenantSubdomain", List{{"myproj.supabase.co"}}, "api.myproj.supabase.co",
                 false, kAllow},
        HostCase{"LaterEntryAllows", List{{"other.org", "", "example.com"}}, "api.example.com",
                 false, kAllow},
        HostCase{"LocalhostByEqualEntry", List{{"localhost"}}, "localhost", false, kAllow},
        HostCase{"LocalhostNotByItsAddress", List{{"127.0.0.1"}}, "localhost", false,
                 notAllowed("localhost")},
        HostCase{"IpByEqualEntry", List{{"10.0.0.1"}}, "10.0.0.1", false, kAllow},
        HostCase{"IpNotByANeighbour", List{{"10.0.0.1"}}, "10.0.0.2", false,
                 notAllowed("10.0.0.2")},
        HostCase{"Ipv6ByEqualEntry", List{{"[::1]"}}, "[::1]", false, kAllow},
        HostCase{"SingleLabelNotBySibling", List{{"intranet"}}, "printer", false,
                 notAllowed("printer")},
        HostCase{"LineFeedInEntryIsNotTrimmed", List{{"example.com\n"}}, "example.com", false,
                 notAllowed("example.com")},
        HostCase{"PortsPlayNoPart", List{{"example.com:8443"}}, "api.example.com", false, kAllow}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

struct CommandCase {
  const char* name;
  List allowedCommands;
  std::vector<std::string> argv;
  bool allowUnbound;
  Outcome expected;
};

class CheckCommandTest : public ::testing::TestWithParam<CommandCase> {};

TEST_P(CheckCommandTest, AllowsOrRefuses) {
  const CommandCase& c = GetParam();
  ResolvedSecret secret{"value", List{{"example.com"}}, c.allowedCommands};
  expectOutcome(
      [&] { InjectionGuard::checkCommand(secret, c.argv, kRef, "run_command", c.allowUnbound); },
      c.expected);
}

const Outcome kUnboundCommand = ResolveError::unbound(kRef, "run_command", "allowed_commands");

INSTANTIATE_TEST_SUITE_P(
    Cases, CheckCommandTest,
    ::testing::Values(
        CommandCase{"NoListSwitchOff", std::nullopt, {"git", "push"}, false, kUnboundCommand},
        CommandCase{"NoListSwitchOn", std::nullopt, {"git", "push"}, true, kAllow},
        CommandCase{"BlankEntriesSwitchOff", List{{" ", ""}}, {"git"}, false, kUnboundCommand},
        CommandCase{
            "EmptyListSwitchOn", List{std::vector<std::string>{}}, {"anything"}, true, kAllow},
        CommandCase{
            "ProgramWithAnyArguments", List{{"git"}}, {"git", "push", "--force"}, false, kAllow},
        CommandCase{
            "ProgramNameMerelyBeginningWithTheEntry", List{{"git"}}, {"gitk"}, false, kAllow},
        CommandCase{"FullPathIsNotTheBareName",
                    List{{"git"}},
                    {"/usr/bin/git", "status"},
                    false,
                    notAllowed("/usr/bin/git")},
        CommandCase{
            "ProgramAndArgument", List{{"git push"}}, {"git", "push", "origin"}, false, kAllow},
        CommandCase{"ProgramAndOtherArgument",
                    List{{"git push"}},
                    {"git", "pull"},
                    false,
                    notAllowed("git")},
        CommandCase{"MismatchRefusedEvenWithSwitch",
                    List{{"git push"}},
                    {"curl"},
                    true,
                    notAllowed("curl")},
        CommandCase{"CaseSensitive", List{{"Git"}}, {"git"}, false, notAllowed("git")},
        CommandCase{"EntryTrimmed", List{{" \tgit  "}}, {"git", "log"}, false, kAllow},
        CommandCase{"MatchAcrossArgumentBoundaries",
                    List{{"sh -c echo hi"}},
                    {"sh", "-c", "echo hi there"},
                    false,
                    kAllow},
        CommandCase{
            "ArgumentHoldingABlank", List{{"my tool --x"}}, {"my tool", "--x"}, false, kAllow},
        CommandCase{"EmptyArgvWithBindings", List{{"git"}}, {}, false, notAllowed("")},
        CommandCase{"EmptyArgvUnboundSwitchOn", std::nullopt, {}, true, kAllow},
        CommandCase{
            "LaterEntryAllows", List{{"npm", "", "make test"}}, {"make", "test"}, false, kAllow}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

}  // namespace
}  // namespace varn::mcp
