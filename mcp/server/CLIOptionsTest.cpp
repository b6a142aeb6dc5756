#include "mcp/server/CLIOptions.hpp"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "mcp/secrets/UnixSocketVaultClient.hpp"

namespace varn::mcp {
namespace {

// A fresh, empty HOME for one test, restored and removed afterwards.
class TemporaryHome {
 public:
  TemporaryHome() {
    std::string pattern = (std::filesystem::temp_directory_path() / "varn-options-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    if (const char* home = std::getenv("HOME")) saved_ = home;
    ::setenv("HOME", path_.c_str(), 1);
  }
  ~TemporaryHome() {
    if (saved_) {
      ::setenv("HOME", saved_->c_str(), 1);
    } else {
      ::unsetenv("HOME");
    }
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TemporaryHome(const TemporaryHome&) = delete;
  TemporaryHome& operator=(const TemporaryHome&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::optional<std::string> saved_;
};

constexpr const char* kItem = "com.kelvane.varn.mcp.token";

struct Case {
  const char* name;
  std::vector<std::string> arguments;
  std::map<std::string, std::string> environment;
  // "" stands for the default socket path; a leading "{home}" for the temporary home folder.
  std::string socketPath;
  std::string tokenKeychainItem = kItem;
  // Absent: no "--cdp-port" taken.
  std::optional<std::int64_t> cdpPort = std::nullopt;
};

const Case kCases[] = {
    {"NothingGivenGivesTheDefaults", {}, {}, ""},
    {"BlankSocketVariableGivesTheDefault", {}, {{"VARN_SOCKET", " \t  "}}, ""},
    {"EmptySocketVariableGivesTheDefault", {}, {{"VARN_SOCKET", ""}}, ""},
    {"SocketVariableWithTildeSlashLandsInHome", {}, {{"VARN_SOCKET", "~/v.sock"}}, "{home}/v.sock"},
    {"SocketVariableIsTrimmedOfSpacesAndTabs",
     {},
     {{"VARN_SOCKET", " \t/tmp/v.sock\t "}},
     "/tmp/v.sock"},
    {"SocketVariableIsTrimmedOfUnicodeSpaces",
     {},
     {{"VARN_SOCKET", "\u3000/tmp/v.sock\u00A0"}},
     "/tmp/v.sock"},
    {"SocketVariableKeepsLineBreaks",
     {},
     {{"VARN_SOCKET", "\n/tmp/v.sock\r\n"}},
     "\n/tmp/v.sock\r\n"},
    {"SocketVariableTrimmedBeforeTildeExpansion",
     {},
     {{"VARN_SOCKET", "  ~/v.sock"}},
     "{home}/v.sock"},
    {"SocketVariableNotUtf8IsTrimmedOfAsciiBlanks",
     {},
     {{"VARN_SOCKET", " \xF0\x80\x89"}},
     "\xF0\x80\x89"},
    {"SocketOptionWinsOverVariable",
     {"--socket", "/tmp/arg.sock"},
     {{"VARN_SOCKET", "/tmp/env.sock"}},
     "/tmp/arg.sock"},
    {"SocketOptionIsNotTrimmed", {"--socket", " /tmp/a "}, {}, " /tmp/a "},
    {"SocketOptionTildeAloneIsHome", {"--socket", "~"}, {}, "{home}"},
    {"SocketOptionTildeSlash", {"--socket", "~/a.sock"}, {}, "{home}/a.sock"},
    {"TildeInsideAPathIsKept", {"--socket", "a/~/b"}, {}, "a/~/b"},
    {"SocketLastIsIgnoredAndVariableStays",
     {"--socket"},
     {{"VARN_SOCKET", "/tmp/env.sock"}},
     "/tmp/env.sock"},
    {"SocketLastIsIgnoredAndDefaultStays", {"--socket"}, {}, ""},
    {"SocketTakesAnOptionAsItsValue", {"--socket", "--cdp-port"}, {}, "--cdp-port"},
    {"LaterSocketWins", {"--socket", "/a", "--socket", "/b"}, {}, "/b"},
    {"KeychainItemTakenUnchanged", {"--token-keychain-item", " k "}, {}, "", " k "},
    {"KeychainItemMayBeEmpty", {"--token-keychain-item", ""}, {}, "", ""},
    {"KeychainItemTakesAnOptionAsItsValue",
     {"--token-keychain-item", "--socket", "/x"},
     {},
     "",
     "--socket"},
    {"PortRefusesAnOptionWhichIsThenExamined", {"--cdp-port", "--socket", "/tmp/a"}, {}, "/tmp/a"},
    {"PortRefusesAWordWhichIsIgnored", {"--cdp-port", "abc"}, {}, ""},
    {"RefusedPortValueFollowedByNumberLeavesPort", {"--cdp-port", "nope", "42"}, {}, ""},
    {"SecondPortWins", {"--cdp-port", "1", "--cdp-port", "2"}, {}, "", kItem, 2},
    {"PortLastIsIgnored", {"--cdp-port"}, {}, ""},
    {"PortWithPlusSign", {"--cdp-port", "+80"}, {}, "", kItem, 80},
    {"PortNegativeUnchecked", {"--cdp-port", "-5"}, {}, "", kItem, -5},
    {"PortZeroUnchecked", {"--cdp-port", "0"}, {}, "", kItem, 0},
    {"PortAboveRangeOfPortsUnchecked", {"--cdp-port", "70000"}, {}, "", kItem, 70000},
    {"PortAtInt64Maximum",
     {"--cdp-port", "9223372036854775807"},
     {},
     "",
     kItem,
     std::numeric_limits<std::int64_t>::max()},
    {"PortBeyondInt64IsRefused", {"--cdp-port", "9223372036854775808"}, {}, ""},
    {"PortWithBlankIsRefused", {"--cdp-port", " 80"}, {}, ""},
    {"PortWithTrailingLettersIsRefused", {"--cdp-port", "80x"}, {}, ""},
    {"PortEmptyIsRefused", {"--cdp-port", "", "--cdp-port", "7"}, {}, "", kItem, 7},
    {"OptionsAreCaseSensitive", {"--Socket", "/x", "--CDP-PORT", "1"}, {}, ""},
    {"NoEqualsForm", {"--socket=/x", "--cdp-port=1"}, {}, ""},
    {"UnknownArgumentsIgnored",
     {"-s", "/x", "serve", "--cdp-port", "5", "extra"},
     {},
     "",
     kItem,
     5},
    {"AllThreeTogether",
     {"--socket", "/s", "--token-keychain-item", "item", "--cdp-port", "9333"},
     {{"VARN_SOCKET", "/env"}},
     "/s",
     "item",
     9333},
};

class CLIOptionsParseTest : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    // The default is fixed on first use; fix it under the real home before HOME is replaced.
    (void)CLIOptions::defaultSocketPath();
    home_.emplace();
  }
  void TearDown() override { home_.reset(); }

  std::string expected(const std::string& socketPath) const {
    if (socketPath.empty()) return CLIOptions::defaultSocketPath();
    if (socketPath.starts_with("{home}")) return home_->path() + socketPath.substr(6);
    return socketPath;
  }

  std::optional<TemporaryHome> home_;
};

TEST_P(CLIOptionsParseTest, GivesTheExpectedOptions) {
  const Case& c = GetParam();
  CLIOptions expectedOptions{.socketPath = expected(c.socketPath),
                             .tokenKeychainItem = c.tokenKeychainItem,
                             .cdpPort = c.cdpPort};
  EXPECT_EQ(CLIOptions::parse(c.arguments, c.environment), expectedOptions)
      << "socketPath=" << CLIOptions::parse(c.arguments, c.environment).socketPath;
}

INSTANTIATE_TEST_SUITE_P(Table, CLIOptionsParseTest, ::testing::ValuesIn(kCases),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST(CLIOptionsTest, TildeWithUserNameExpandsByThePasswordDatabase) {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwnam_r("root", &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    GTEST_SKIP() << "no root entry in the password database";
  }
  std::string rootHome = found->pw_dir;
  TemporaryHome home;  // must not be consulted for another user's folder
  EXPECT_EQ(CLIOptions::parse({"--socket", "~root/v.sock"}, {}).socketPath, rootHome + "/v.sock");
  EXPECT_EQ(CLIOptions::parse({}, {{"VARN_SOCKET", "~root"}}).socketPath, rootHome);
}

TEST(CLIOptionsTest, DefaultSocketPathIsTheVaultClientsDefaultKeptForTheProcess) {
  const std::string& first = CLIOptions::defaultSocketPath();
  EXPECT_EQ(first, UnixSocketVaultClient::defaultPath());
  TemporaryHome home;
  EXPECT_EQ(&CLIOptions::defaultSocketPath(), &first);
  EXPECT_EQ(CLIOptions::parse({}, {}).socketPath, first);
}

}  // namespace
}  // namespace varn::mcp
