#include "mcp/browser/WebLoginTool.hpp"

#include <functional>

#include <gtest/gtest.h>

#include "mcp/browser/BrowserFillTool.hpp"
#include "mcp/browser/testing/FillFakes.hpp"
#include "mcp/secrets/ToolError.hpp"
#include "mcp/secrets/VarnRef.hpp"

namespace varn::mcp {
namespace {

using fakes::FillRoad;
using fakes::itemPreview;
using fakes::ScriptedController;
using Calls = std::vector<std::string>;
using Page = ScriptedController::Page;
using Fields = std::map<FillField, ScriptedController::Field>;

const std::string kItem = "varn://local/Bank";
const std::string kUser = "varn://local/Bank/username";
const std::string kPassword = "varn://local/Bank/password";
const std::string kOtp = "varn://local/Bank/otp";
const std::string kOrigin = "https://bank.example";

const Fields kUserField = {{FillField::username, {1, "email", ""}}};
const Fields kPasswordField = {{FillField::password, {1, "password", ""}}};
const Fields kBothFields = {{FillField::username, {1, "email", ""}},
                            {FillField::password, {1, "password", ""}}};
const Fields kOtpField = {{FillField::otp, {1, "text", ""}}};

Page page(const std::string& path, Fields fields = {}) {
  return Page{kOrigin + path, kOrigin, std::move(fields)};
}

// An item with a username, a password and a one-time code, each under its label, bound to
// bank.example; a browser on the login page; the tool with the server's limits and a settle pause
// that only counts.
struct LoginSetup {
  LoginSetup() {
    road.storeItem(
        {{kUser, "alice"}, {kPassword, "s3cret-pw"}, {kOtp, "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ"}},
        " https://bank.example/login");
    road.browser->pages = {page("/start")};
  }

  ScriptedController& browser() { return *road.browser; }
  // Shows `timeline[k]` from the k-th step on (the step's first URL read), the last one after.
  void showPerStep(std::vector<Page> timeline) {
    browser().pages = timeline;
    browser().onCall = [this, count = timeline.size(),
                        reads = std::size_t{0}](const std::string& word) mutable {
      if (word != "currentURL") return;
      // The first read follows the navigation and serves step 1 too; step k makes read k.
      browser().current = std::min<std::size_t>(reads++, count - 1);
    };
  }
  void forget(const std::string& ref) { road.vault->previews.erase(ref); }

  WebLoginOutput run(WebLoginInput input = {kItem, std::nullopt}, int maxSteps = 12) {
    const WebLoginTool tool(
        road.service, road.vault, road.browser, "web_login", maxSteps, 5, [this] { ++settles; },
        [] { return 59.0; });
    return tool.run(input);
  }

  std::string failure(WebLoginInput input) {
    try {
      (void)run(std::move(input));
    } catch (const std::exception& error) {
      return error.what();
    }
    ADD_FAILURE() << "no error";
    return {};
  }

  FillRoad road;
  int settles = 0;
};

struct Scenario {
  const char* name;
  std::function<void(LoginSetup&)> arrange;
  WebLoginOutput expected;
  int settles = 0;
  int maxSteps = 12;
  std::optional<std::string> startURL = std::nullopt;
};

// Every way out of the loop, on scripted sites.
TEST(WebLoginToolTest, EachExitReportsItsStatusStepAndPage) {
  const Scenario scenarios[] = {
      {"OneStepForm",
       [](LoginSetup& s) {
         s.browser().pages = {page("/login", kBothFields), page("/home")};
       },
       {"logged_in", "credentials submitted", kOrigin + "/home", {"username", "password"}}},
      {"TwoStepFormAndCode",
       [](LoginSetup& s) {
         s.browser().pages = {page("/login", kUserField), page("/password", kPasswordField),
                              page("/code", kOtpField), page("/home")};
       },
       {"logged_in", "credentials submitted", kOrigin + "/home", {"username", "password", "otp"}}},
      {"GetFormLeavesNoQueryInTheReport",
       [](LoginSetup& s) {
         s.browser().pages = {page("/login", kBothFields),
                              page("/home?user=alice&password=s3cret-pw#s3cret-pw")};
       },
       {"logged_in", "credentials submitted", kOrigin + "/home", {"username", "password"}}},
      {"SubmitInTheLastStep",
       [](LoginSetup& s) {
         s.browser().pages = {page("/login?x=1", kBothFields), page("/home")};
       },
       {"stuck", "login did not converge", kOrigin + "/login", {"username", "password"}},
       0,
       1},
      {"TheAddressTheNavigationShowedServesTheFirstRound",
       [](LoginSetup& s) {
         s.browser().pages = {page("/login", kBothFields), page("/home")};
         s.browser().navigated = kOrigin + "/signin?next=1";
       },
       {"stuck", "login did not converge", kOrigin + "/signin", {"username", "password"}},
       0,
       1},
      {"StepsRunOut",
       [](LoginSetup& s) {
         const Page wait = page("/wait");
         const Page user = page("/login", kUserField);
         const Page again = page("/password", kPasswordField);
         s.showPerStep({wait, wait, wait, wait, user, wait, wait, wait, wait, again, again});
       },
       {"stuck", "login did not converge", kOrigin + "/password", {"username", "password"}},
       10},
      {"NoPasswordFieldInFiveRounds",
       [](LoginSetup& s) {
         s.browser().pages = {page("/login", kUserField), page("/next")};
       },
       {"stuck", "could not find a password field", kOrigin + "/next", {"username"}},
       4},
      {"TwoPasswordFieldsAreNeverTyped",
       [](LoginSetup& s) {
         s.browser().pages = {page("/login", {{FillField::password, {2, "password", ""}}})};
       },
       {"stuck", "could not find a password field", kOrigin + "/login", {}},
       4},
      {"UnknownCodeField",
       [](LoginSetup& s) {
         s.forget(kOtp);
         s.browser().pages = {page("/login", kBothFields), page("/code", kOtpField)};
       },
       {"needs_human",
        "the page shows otp field(s) this item has no credential for — add it (e.g. "
        "secret_update username:) or fill it with browser_fill/manually",
        kOrigin + "/code",
        {"username", "password"}},
       4},
      {"PasswordPageComesBack",
       [](LoginSetup& s) {
         s.browser().pages = {page("/login", kBothFields), page("/login", kBothFields)};
       },
       {"needs_human",
        "a challenge remains that Varn can't fill",
        kOrigin + "/login",
        {"username", "password"}},
       4},
      {"SameAddressWithoutFields",
       [](LoginSetup& s) {
         s.browser().pages = {page("/login", kBothFields), page("/login")};
       },
       {"needs_human", "waiting on device approval", kOrigin + "/login", {"username", "password"}},
       4},
      // An address that cannot be read counts as unchanged: no login is reported on a guess.
      {"UnreadableAddressAfterTheSubmit",
       [](LoginSetup& s) {
         s.browser().pages = {page("/login", kBothFields), page("/home")};
         s.browser().navigated = kOrigin + "/login";
         s.browser().failures.emplace("currentURL", BrowserError::cdpFailure("gone"));
       },
       {"needs_human", "waiting on device approval", kOrigin + "/login", {"username", "password"}},
       4},
      {"NoStepsAtAll",
       [](LoginSetup& s) { s.browser().pages = {page("/login?next=%2F", kBothFields)}; },
       {"stuck", "login did not converge", kOrigin + "/login?next=%2F", {}},
       0,
       0},
      {"StartAddressWithinTheBinding",
       [](LoginSetup& s) {
         s.browser().pages = {page("/login", kBothFields), page("/home")};
       },
       {"logged_in", "credentials submitted", kOrigin + "/home", {"username", "password"}},
       0,
       12,
       "https://www.bank.example/signin"},
  };
  for (const Scenario& c : scenarios) {
    LoginSetup s;
    c.arrange(s);
    EXPECT_EQ(s.run({kItem, c.startURL}, c.maxSteps), c.expected) << c.name;
    EXPECT_EQ(s.settles, c.settles) << c.name;
    const std::string target =
        c.startURL ? "https://www.bank.example/signin" : "https://bank.example/login";
    EXPECT_EQ(s.browser().callsOf("navigate"), Calls{"navigate " + target}) << c.name;
    // Every value typed went through the pipeline: one preview of the binding, then per fill a
    // preview and a resolve.
    EXPECT_EQ(s.road.audit->all().size(), c.expected.filled.size()) << c.name;
    for (const AuditEntry& entry : s.road.audit->all()) EXPECT_EQ(entry.tool, "web_login");
  }
}

TEST(WebLoginToolTest, EndsBeforeNavigatingWhenThePasswordIsNotSettled) {
  struct Case {
    const char* name;
    std::function<void(LoginSetup&)> arrange;
    std::string step;
  };
  const Case cases[] = {
      {"NoPassword", [](LoginSetup& s) { s.forget(kPassword); },
       "no password credential for this item — no field labeled 'password' and none of kind "
       "password"},
      {"TwoListedPasswords",
       [](LoginSetup& s) {
         s.road.vault->previews[kPassword].decision = VaultDecision::refused;
         s.road.vault->listing = {{kItem + "/old", "old", "password", AIAccess::injectable},
                                  {kItem + "/new", "new", "password", AIAccess::injectable}};
       },
       "several fields of kind password on this item — pass one explicitly: "
       "varn://local/Bank/old, varn://local/Bank/new"},
  };
  for (const Case& c : cases) {
    LoginSetup s;
    c.arrange(s);
    EXPECT_EQ(s.run(), (WebLoginOutput{"stuck", c.step, kOrigin + "/start", {}})) << c.name;
    EXPECT_TRUE(s.browser().callsOf("navigate").empty()) << c.name;
  }
}

TEST(WebLoginToolTest, FieldsComeFromLabelsThenFromTheListing) {
  LoginSetup s;
  s.forget(kUser);
  s.forget(kPassword);
  s.forget(kOtp);
  const std::string pw = "varn://local/Bank/Secret%20one";
  s.road.vault->previews[pw] = itemPreview(VaultDecision::allowed, kOrigin);
  s.road.vault->values[pw] = "pw";
  s.road.vault->listing = {
      {"varn://local/Other/password", "other item", "password", AIAccess::injectable},
      {"not a ref", "broken", "password", AIAccess::injectable},
      {"varn://local/Bank/note", "note", "note", AIAccess::injectable},
      {pw, "Secret one", "password", AIAccess::injectable},
      {"varn://local/Bank/u1", "u1", "username", AIAccess::injectable},
      {"varn://local/Bank/u2", "u2", "username", AIAccess::injectable},
  };
  s.browser().pages = {page("/login", kBothFields), page("/home")};
  // A field reference stands for its item.
  EXPECT_EQ(
      s.run({kItem + "/whatever", std::nullopt}),
      (WebLoginOutput{"logged_in", "credentials submitted", kOrigin + "/home", {"password"}}));
  EXPECT_EQ(s.road.vault->calls(),
            (Calls{"preview " + kUser, "preview " + kPassword, "preview " + kOtp, "list local/Bank",
                   "preview " + pw, "preview " + pw, "resolve " + pw}));
}

TEST(WebLoginToolTest, NoListingWhenEveryLabelIsFound) {
  LoginSetup s;
  s.browser().pages = {page("/login", kBothFields), page("/home")};
  (void)s.run();
  EXPECT_EQ(s.road.vault->calls().size(), 3u + 1u + 2u * 2u);
  for (const std::string& call : s.road.vault->calls()) EXPECT_NE(call.rfind("list", 0), 0u);
}

TEST(WebLoginToolTest, RefusalsComeBeforeTheirEffects) {
  struct Case {
    const char* name;
    std::function<void(LoginSetup&)> arrange;
    WebLoginInput input;
    std::string error;
    bool vaultAsked;
  };
  const Case cases[] = {
      {"MalformedRef",
       [](LoginSetup& s) { s.browser().running = false; },
       {"varn://local", {}},
       VarnRefError::malformed().what(),
       false},
      {"StartURLThatRunsScript",
       [](LoginSetup&) {},
       {kItem, " javascript:alert(1)//https://bank.example"},
       ToolError::invalidArguments("start_url must be http or https").what(),
       false},
      {"NoBrowser",
       [](LoginSetup& s) { s.browser().running = false; },
       {kItem, {}},
       BrowserError::noBrowser().what(),
       false},
      {"NoAddress",
       [](LoginSetup& s) {
         s.road.vault->previews[kPassword] = itemPreview(VaultDecision::allowed, " ", {{"x.org"}});
       },
       {kItem, {}},
       BrowserError::itemHasNoURL(kPassword).what(),
       true},
      {"StartURLElsewhere",
       [](LoginSetup&) {},
       {kItem, "https://evil.example/login"},
       BrowserError::originMismatch("https://bank.example/login", "https://evil.example/login")
           .what(),
       true},
      {"HttpsItemOnAPlainPage",
       [](LoginSetup&) {},
       {kItem, "http://bank.example/login"},
       BrowserError::originMismatch("https://bank.example/login", "http://bank.example/login")
           .what(),
       true},
  };
  for (const Case& c : cases) {
    LoginSetup s;
    c.arrange(s);
    EXPECT_EQ(s.failure(c.input), c.error) << c.name;
    EXPECT_EQ(!s.road.vault->calls().empty(), c.vaultAsked) << c.name;
    EXPECT_TRUE(s.browser().callsOf("navigate").empty()) << c.name;
  }
}

TEST(WebLoginToolTest, AFillThatFailsEndsTheRun) {
  LoginSetup s;
  s.browser().pages = {page("/login", kUserField), page("/password", kPasswordField)};
  s.browser().pages[1].fields[FillField::password].origin = "https://evil.example";
  EXPECT_EQ(
      s.failure({kItem, std::nullopt}),
      BrowserError::originMismatch("https://bank.example/login", "https://evil.example").what());
  EXPECT_EQ(s.browser().typed.size(), 1u);
}

TEST(WebLoginToolTest, ALabelHoldingAValueOfAnotherTypeIsNoFieldOfThatKind) {
  LoginSetup s;
  // The field labelled username holds a password; the listing names the item's real username.
  s.road.vault->previews[kUser].type = "password";
  const std::string user = "varn://local/Bank/login";
  s.road.vault->previews[user] = itemPreview(VaultDecision::allowed, kOrigin);
  s.road.vault->previews[user].type = "username";
  s.road.vault->values[user] = "alice";
  s.road.vault->listing = {{user, "login", "username", AIAccess::injectable}};
  s.browser().pages = {page("/login", kBothFields), page("/home")};
  EXPECT_EQ(
      s.run(),
      (WebLoginOutput{
          "logged_in", "credentials submitted", kOrigin + "/home", {"username", "password"}}));
  EXPECT_TRUE(s.browser().typed == (Calls{"alice", "s3cret-pw"}));
}

TEST(WebLoginToolTest, ASubmissionTheGuardStopsClearsEveryTypedField) {
  LoginSetup s;
  s.browser().pages = {page("/login", kBothFields), page("/home")};
  const BrowserError stopped =
      BrowserError::submitRefused("the form would send the password in the URL (method GET)");
  s.browser().failures.emplace("submit", stopped);
  EXPECT_EQ(s.failure({kItem, std::nullopt}), stopped.what());
  EXPECT_EQ(s.browser().callsOf("clear"), (Calls{"clear username", "clear password"}));
}

TEST(WebLoginToolTest, FieldReferencesArePercentEncoded) {
  EXPECT_EQ(WebLoginTool::fieldRef("my vault", "a/b%c", "pass word"),
            "varn://my%20vault/a%2Fb%25c/pass%20word");
  EXPECT_EQ(WebLoginTool::fieldRef("x", "Ünï!$&'()*+,;=:@", "-._~"),
            "varn://x/%C3%9Cn%C3%AF!$&'()*+,;=:@/-._~");
}

}  // namespace
}  // namespace varn::mcp

namespace varn::mcp {
namespace {

TEST(BrowserRecordsTest, InputsAreStrictAndOutputsWriteEveryKeyInOrder) {
  using support::Json;
  EXPECT_EQ(
      support::decodeRecord<WebLoginInput>(Json{{"ref", "r"}, {"start_url", nullptr}, {"x", 1}}),
      (WebLoginInput{"r", std::nullopt}));
  EXPECT_EQ(support::decodeRecord<BrowserFillInput>(
                Json{{"ref", "r"}, {"field", "otp"}, {"submit", true}}),
            (BrowserFillInput{"r", "otp", std::nullopt, true}));
  for (const Json& bad : {Json{{"start_url", "https://a/"}}, Json{{"ref", 1}},
                          Json{{"ref", "r"}, {"start_url", 5}}, Json::array()}) {
    EXPECT_THROW((void)support::decodeRecord<WebLoginInput>(bad), support::JsonDecodeError) << bad;
  }
  for (const Json& bad : {Json{{"ref", "r"}}, Json{{"ref", "r"}, {"field", "otp"}, {"submit", 1}},
                          Json{{"ref", "r"}, {"field", "otp"}, {"selector", false}}}) {
    EXPECT_THROW((void)support::decodeRecord<BrowserFillInput>(bad), support::JsonDecodeError)
        << bad;
  }
  EXPECT_EQ(support::dumpCompact(support::encodeRecord(WebLoginOutput{"stuck", "s", "u", {}})),
            R"({"status":"stuck","step":"s","page_url":"u","filled":[]})");
  EXPECT_EQ(support::dumpCompact(
                support::encodeRecord(BrowserFillOutput{true, "otp", "https://a", false})),
            R"({"filled":true,"field":"otp","origin":"https://a","submitted":false})");
}

}  // namespace
}  // namespace varn::mcp
