#include "mcp/browser/BrowserFillCore.hpp"

#include <algorithm>
#include <functional>

#include <gtest/gtest.h>

#include "mcp/browser/testing/FillFakes.hpp"
#include "mcp/secrets/ToolError.hpp"
#include "mcp/secrets/VarnRef.hpp"

namespace varn::mcp {
namespace {

using fakes::FillRoad;
using fakes::itemPreview;
using fakes::ScriptedController;
using Calls = std::vector<std::string>;

const std::string kUser = "varn://local/Bank/username";
const std::string kPassword = "varn://local/Bank/password";
const std::string kOtp = "varn://local/Bank/otp";
const std::string kPin = "varn://local/Bank/pin";
// The RFC 6238 SHA-1 secret; at second 59 its code is 287082 (oathtool --totp -N @59).
const std::string kSeed = "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ";

// A login page on bank.example with one field of each kind, an item bound to bank.example, and
// the pipeline over them.
struct FillSetup {
  FillSetup() {
    ScriptedController::Page page{"https://bank.example/login?next=%2F",
                                  "https://bank.example",
                                  {{FillField::username, {1, "email", ""}},
                                   {FillField::password, {1, "password", ""}},
                                   {FillField::otp, {1, "text", ""}},
                                   {FillField::custom, {1, "tel", ""}}}};
    road.browser->pages = {page, ScriptedController::Page{"https://bank.example/home", "", {}}};
    road.storeItem(
        {{kUser, "alice@example.com"}, {kPassword, "s3cret-pw"}, {kOtp, kSeed}, {kPin, "4711"}},
        "https://bank.example");
  }

  ScriptedController& browser() { return *road.browser; }
  ScriptedController::Page& page() { return road.browser->pages[0]; }

  BrowserFillOutput fill(const std::string& ref, FillField field,
                         const std::optional<std::string>& selector = std::nullopt,
                         bool submit = false) {
    return core.fill(ref, field, selector, submit, "browser_fill");
  }

  // The text of what the fill threw; fails the test when it returned.
  std::string failure(const std::string& ref, FillField field,
                      const std::optional<std::string>& selector = std::nullopt,
                      bool submit = false) {
    try {
      (void)fill(ref, field, selector, submit);
    } catch (const std::exception& error) {
      return error.what();
    }
    ADD_FAILURE() << "no error";
    return {};
  }

  FillRoad road;
  BrowserFillCore core{road.service, road.vault, road.browser, [] { return 59.0; }};
};

TEST(BrowserFillCoreTest, EachKindTypesItsTextAfterOnePreviewAndOneResolve) {
  struct Case {
    std::string ref;
    FillField field;
    std::optional<std::string> selector;
    std::string typed;
  };
  const Case cases[] = {{kUser, FillField::username, std::nullopt, "alice@example.com"},
                        {kPassword, FillField::password, std::nullopt, "s3cret-pw"},
                        {kOtp, FillField::otp, std::nullopt, "287082"},
                        {kPin, FillField::custom, "#pin", "4711"}};
  for (const Case& c : cases) {
    FillSetup s;
    const std::string kind(toString(c.field));
    EXPECT_EQ(s.fill(c.ref, c.field, c.selector),
              (BrowserFillOutput{true, kind, "https://bank.example", false}))
        << kind;
    EXPECT_TRUE(s.browser().typed == Calls{c.typed}) << kind;  // no value in failure output
    EXPECT_EQ(s.browser().calls,
              (Calls{"isRunning", "locate " + kind + (c.selector ? " " + *c.selector : ""),
                     "type " + kind}));
    EXPECT_EQ(s.road.vault->calls(), (Calls{"preview " + c.ref, "resolve " + c.ref}));
    ASSERT_EQ(s.road.audit->all().size(), 1u);
    EXPECT_EQ(s.road.audit->all()[0].tool, "browser_fill");
    EXPECT_EQ(s.road.audit->all()[0].upstream, std::nullopt);
  }
}

// The typing hands the page the item's binding, by which its guard judges every submission; when
// the guard stops the submission, the typed value is cleared. The result says whether a
// submission started.
TEST(BrowserFillCoreTest, TheTypingCarriesTheBindingAndARefusedSubmitClears) {
  struct Case {
    std::optional<BrowserError> stopped;
    bool started = true;
  };
  const Case cases[] = {
      {std::nullopt, true},
      {std::nullopt, false},
      {BrowserError::submitRefused("the form would send the password in the URL (method GET)")},
  };
  for (const Case& c : cases) {
    FillSetup s;
    s.browser().submitted = c.started;
    if (c.stopped) s.browser().failures.emplace("submit", *c.stopped);
    const Calls typed{"isRunning", "locate password", "type password", "submit password"};
    if (c.stopped) {
      EXPECT_EQ(s.failure(kPassword, FillField::password, std::nullopt, true), c.stopped->what());
      Calls cleared = typed;
      cleared.push_back("clear password");
      EXPECT_EQ(s.browser().calls, cleared);
    } else {
      EXPECT_EQ(s.fill(kPassword, FillField::password, std::nullopt, true),
                (BrowserFillOutput{true, "password", "https://bank.example", c.started}));
      EXPECT_EQ(s.browser().calls, typed);
    }
    EXPECT_EQ(
        s.browser().bindings,
        (std::vector<FillBinding>{{"https://bank.example", true, {}, {{"bank.example", {}}}}}));
  }
}

TEST(BrowserFillCoreTest, ApprovalIsAskedOnlyAfterEveryCheckPassed) {
  FillSetup s;
  s.road.vault->gated = {kPassword};
  s.road.elicitor->answers.push_back({true, nullptr});
  (void)s.fill(kPassword, FillField::password);
  EXPECT_EQ(s.road.vault->calls(), (Calls{"preview " + kPassword, "resolve " + kPassword,
                                          "resolve-approved " + kPassword}));
  EXPECT_EQ(s.road.elicitor->seen,
            (std::vector<fakes::ResolveScriptedElicitor::Request>{{kPassword, "browser_fill"}}));
  EXPECT_EQ(s.browser().typed.size(), 1u);
}

TEST(BrowserFillCoreTest, FieldChecksFollowTheFrameThatHoldsTheField) {
  FillSetup s;
  s.page().fields[FillField::password] = {1, "PassWord", "https://login.bank.example"};
  EXPECT_EQ(s.fill(kPassword, FillField::password).origin, "https://login.bank.example");
}

// Every refusal, in the order of the steps: its text, how far the vault got, and that nothing
// was typed or submitted and nobody was asked (but where the human said no).
struct RefusalCase {
  const char* name;
  std::function<void(FillSetup&)> arrange;
  std::string ref;
  FillField field;
  std::optional<std::string> selector;
  std::string error;
  Calls vaultCalls;
  std::size_t asked = 0;
};
const RefusalCase kRefusalCases[] = {
    {"MalformedRefEvenWithoutBrowser",
     [](FillSetup& s) { s.browser().running = false; },
     "varn://local/Bank",
     FillField::password,
     std::nullopt,
     VarnRefError::malformed().what(),
     {}},
    {"HandleIsNoReference",
     [](FillSetup&) {},
     "varnh_0000",
     FillField::password,
     std::nullopt,
     VarnRefError::invalidScheme().what(),
     {}},
    {"NoBrowserAsksNoVault",
     [](FillSetup& s) { s.browser().running = false; },
     kPassword,
     FillField::password,
     std::nullopt,
     BrowserError::noBrowser().what(),
     {}},
    {"NoVisibleField",
     [](FillSetup& s) { s.page().fields.erase(FillField::password); },
     kPassword,
     FillField::password,
     std::nullopt,
     BrowserError::fieldNotFound(FillField::password, "https://bank.example/login?next=%2F").what(),
     {}},
    {"TwoFields",
     [](FillSetup& s) { s.page().fields[FillField::username].count = 2; },
     kUser,
     FillField::username,
     std::nullopt,
     BrowserError::ambiguousField(FillField::username, 2).what(),
     {}},
    {"TwoFieldsEvenWithASelector",
     [](FillSetup& s) { s.page().fields[FillField::custom].count = 3; },
     kPin,
     FillField::custom,
     "input",
     BrowserError::ambiguousField(FillField::custom, 3).what(),
     {}},
    {"RefusedPreview",
     [](FillSetup& s) {
       s.road.vault->previews[kPassword].decision = VaultDecision::refused;
       s.road.vault->gated = {kPassword};
     },
     kPassword,
     FillField::password,
     std::nullopt,
     ResolveError::refused(kPassword).what(),
     {"preview " + kPassword}},
    {"FailingPreview",
     [](FillSetup& s) { s.road.vault->previews.erase(kPassword); },
     kPassword,
     FillField::password,
     std::nullopt,
     ToolError::upstream("no such field").what(),
     {"preview " + kPassword}},
    {"OtherOriginAsksNobody",
     [](FillSetup& s) {
       s.page().origin = "https://bank.example.evil.net";
       s.road.vault->gated = {kPassword};
     },
     kPassword,
     FillField::password,
     std::nullopt,
     BrowserError::originMismatch("https://bank.example", "https://bank.example.evil.net").what(),
     {"preview " + kPassword}},
    {"ItemWithoutBinding",
     [](FillSetup& s) {
       s.road.vault->previews[kPassword] = itemPreview(VaultDecision::needsApproval, " ");
     },
     kPassword,
     FillField::password,
     std::nullopt,
     BrowserError::itemHasNoURL(kPassword).what(),
     {"preview " + kPassword}},
    {"FieldThatDoesNotFitTheVaultsType",
     [](FillSetup& s) { s.road.vault->gated = {kPassword}; },
     kPassword,
     FillField::username,
     std::nullopt,
     ToolError::invalidArguments(
         "field username does not fit " + kPassword +
         ": the vault holds a password there, which only field password types (into a "
         "password input)")
         .what(),
     {"preview " + kPassword}},
    {"OpaqueDocument",
     [](FillSetup& s) { s.page().origin = "null"; },
     kPassword,
     FillField::password,
     std::nullopt,
     BrowserError::opaqueOrigin("https://bank.example/login?next=%2F").what(),
     {"preview " + kPassword}},
    {"PasswordIntoVisibleInput",
     [](FillSetup& s) { s.page().fields[FillField::password].inputType = "Text"; },
     kPassword,
     FillField::password,
     std::nullopt,
     BrowserError::concealedFieldRequired("Text").what(),
     {"preview " + kPassword}},
    {"PasswordIntoAnElementThatIsNoInput",
     [](FillSetup& s) { s.page().fields[FillField::password].inputType = "<a>"; },
     kPassword,
     FillField::password,
     "a",
     BrowserError::concealedFieldRequired("<a>").what(),
     {"preview " + kPassword}},
    {"DeniedApproval",
     [](FillSetup& s) {
       s.road.vault->gated = {kPassword};
       s.road.elicitor->answers.push_back({false, nullptr});
     },
     kPassword,
     FillField::password,
     std::nullopt,
     ResolveError::denied(kPassword).what(),
     {"preview " + kPassword, "resolve " + kPassword},
     1},
    {"SeedThatIsNoSeed",
     [](FillSetup& s) { s.road.vault->values[kOtp] = "not base32!"; },
     kOtp,
     FillField::otp,
     std::nullopt,
     "invalidSecret",
     {"preview " + kOtp, "resolve " + kOtp}},
    {"TypingFails",
     [](FillSetup& s) {
       s.browser().failures.emplace("type", BrowserError::cdpFailure("scripted failure"));
     },
     kPassword,
     FillField::password,
     std::nullopt,
     BrowserError::cdpFailure("scripted failure").what(),
     {"preview " + kPassword, "resolve " + kPassword}},
};

TEST(BrowserFillCoreTest, EachStepRefusesBeforeTheNext) {
  for (const RefusalCase& c : kRefusalCases) {
    FillSetup s;
    c.arrange(s);
    EXPECT_EQ(s.failure(c.ref, c.field, c.selector, true), c.error) << c.name;
    EXPECT_EQ(s.road.vault->calls(), c.vaultCalls) << c.name;
    EXPECT_TRUE(s.browser().typed.empty()) << c.name;
    EXPECT_TRUE(s.browser().callsOf("submit").empty()) << c.name;
    EXPECT_EQ(s.road.elicitor->seen.size(), c.asked) << c.name;
  }
}

// The vault's type of the value decides which field takes it; the agent's field only has to agree.
TEST(BrowserFillCoreTest, TheVaultsTypeDecidesWhichFieldTakesTheValue) {
  struct Case {
    std::optional<std::string> type;
    std::vector<FillField> fitting;
  };
  const std::vector<FillField> password{FillField::password};
  const std::vector<FillField> otp{FillField::otp};
  const std::vector<FillField> plain{FillField::username, FillField::custom};
  const Case cases[] = {{std::nullopt, password},
                        {"", password},
                        {"password", password},
                        {"PassWord", password},
                        {"otp", otp},
                        {"OTP", otp},
                        {"username", plain},
                        {"text", plain},
                        {"email", plain},
                        {"totp", plain},
                        {" password\n", password}};
  for (const Case& c : cases) {
    for (FillField field :
         {FillField::username, FillField::password, FillField::otp, FillField::custom}) {
      const bool fits = std::find(c.fitting.begin(), c.fitting.end(), field) != c.fitting.end();
      EXPECT_EQ(BrowserFillCore::fits(field, c.type), fits)
          << c.type.value_or("(none)") << " into " << toString(field);
    }
  }
  const auto refusal = [](FillField field, std::optional<std::string> type) {
    try {
      BrowserFillCore::checkFits(field, type, kPin);
    } catch (const ToolError& error) {
      return std::string(error.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(refusal(FillField::custom, std::nullopt),
            ToolError::invalidArguments("field custom does not fit " + kPin +
                                        ": the vault holds a password there, which only field "
                                        "password types (into a password input)")
                .what());
  EXPECT_EQ(refusal(FillField::custom, "otp"),
            ToolError::invalidArguments("field custom does not fit " + kPin +
                                        ": the vault holds a one-time-code seed there, which only "
                                        "field otp types (as its current code)")
                .what());
  EXPECT_EQ(refusal(FillField::password, "username"),
            ToolError::invalidArguments("field password does not fit " + kPin +
                                        ": the vault holds a value of type username there (no "
                                        "password or one-time code), which only fields username "
                                        "and custom type")
                .what());
}

TEST(BrowserFillCoreTest, AFailedSubmitIsRaisedAfterTheTyping) {
  FillSetup s;
  s.browser().failures.emplace("submit", BrowserError::cdpFailure("scripted failure"));
  EXPECT_EQ(s.failure(kPassword, FillField::password, std::nullopt, true),
            BrowserError::cdpFailure("scripted failure").what());
  EXPECT_EQ(s.browser().typed.size(), 1u);
}

}  // namespace
}  // namespace varn::mcp
