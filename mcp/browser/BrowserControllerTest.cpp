#include "mcp/browser/BrowserController.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace varn::mcp {
namespace {

using support::Json;

TEST(FillFieldTest, ReadsOnlyTheExactRawValues) {
  using Coder = support::JsonCoder<FillField>;
  for (FillField field :
       {FillField::username, FillField::password, FillField::otp, FillField::custom}) {
    EXPECT_EQ(fromString<FillField>(toString(field)), field);
    EXPECT_EQ(Coder::decode(Json::parse(Coder::encode(field).dump()), "field"), field);
  }
  EXPECT_EQ(Coder::encode(FillField::otp), "otp");
  for (const char* text : {"OTP", "Otp", "", " otp", "otp ", "pass", "user"}) {
    EXPECT_EQ(fromString<FillField>(text), std::nullopt) << text;
    EXPECT_THROW((void)Coder::decode(Json(text), "field"), support::JsonDecodeError) << text;
  }
  EXPECT_THROW((void)Coder::decode(Json(1), "field"), support::JsonDecodeError);
}

TEST(BrowserErrorTest, DescriptionsAreTheExactTexts) {
  struct Case {
    BrowserError error;
    const char* text;
  };
  const Case cases[] = {
      {BrowserError::fieldNotFound(FillField::password, ""), "no password field found on the page"},
      {BrowserError::fieldNotFound(FillField::password, "https://a.example/login?x=1"),
       "no password field found on https://a.example/login?x=1 \u2014 is the right tab active? "
       "(browser_tabs lists them)"},
      // Only an empty URL selects the short text; blanks are a URL like any other.
      {BrowserError::fieldNotFound(FillField::username, " "),
       "no username field found on   \u2014 is the right tab active? (browser_tabs lists them)"},
      {BrowserError::ambiguousField(FillField::otp, 3),
       "3 otp fields match \u2014 disambiguate with a selector"},
      {BrowserError::ambiguousField(FillField::custom, -2),
       "-2 custom fields match \u2014 disambiguate with a selector"},
      {BrowserError::concealedFieldRequired("text"),
       "refusing to type a password into a visible input (type=text) \u2014 passwords only go "
       "into input[type=password]"},
      {BrowserError::itemHasNoURL("varn://c/i/f"),
       "varn://c/i/f has no url or allowed_hosts to origin-lock the fill onto \u2014 set one with "
       "secret_update(url:) or secret_update(allowed_hosts:)"},
      {BrowserError::originMismatch("A", "B"),
       "origin mismatch \u2014 the page is B but the credential is locked to A; the value was NOT "
       "filled"},
      {BrowserError::cdpFailure("m"), "browser (CDP) failure: m"},
      {BrowserError::launchFailure("no Chromium-family browser found; set VARN_BROWSER_BIN"),
       "browser launch failure: no Chromium-family browser found; set VARN_BROWSER_BIN"},
      {BrowserError::noBrowser(), "no Varn browser is running \u2014 call browser_start first"},
      {BrowserError::timedOut("Target.getTargets"),
       "browser (CDP) failure: timed out waiting for Target.getTargets"},
  };
  for (const Case& c : cases) {
    EXPECT_STREQ(c.error.what(), c.text);
    EXPECT_EQ(c.error.description(), c.text);
  }
  EXPECT_EQ(BrowserError::originMismatch("A", "B").text(), "A");
  EXPECT_EQ(BrowserError::originMismatch("A", "B").frame(), "B");
}

TEST(BrowserErrorTest, EqualityFollowsCaseAndPayloads) {
  EXPECT_EQ(BrowserError::cdpFailure("x"), BrowserError::cdpFailure("x"));
  EXPECT_EQ(BrowserError::noBrowser(), BrowserError::noBrowser());
  EXPECT_FALSE(BrowserError::cdpFailure("x") == BrowserError::launchFailure("x"));
  EXPECT_FALSE(BrowserError::cdpFailure("x") == BrowserError::cdpFailure("y"));
  EXPECT_FALSE(BrowserError::ambiguousField(FillField::otp, 2) ==
               BrowserError::ambiguousField(FillField::otp, 3));
  EXPECT_FALSE(BrowserError::ambiguousField(FillField::otp, 2) ==
               BrowserError::ambiguousField(FillField::password, 2));
  EXPECT_FALSE(BrowserError::originMismatch("A", "B") == BrowserError::originMismatch("B", "A"));
  // The same text, another case.
  EXPECT_FALSE(BrowserError::timedOut("M") == BrowserError::cdpFailure("timed out waiting for M"));
  EXPECT_EQ(BrowserError::timedOut("M").text(), "M");
}

TEST(TabInfoTest, CodesExactlyFourKeys) {
  TabInfo tab{"T1", "https://a.example/", "A", true};
  EXPECT_EQ(support::dumpCompact(support::encodeRecord(tab)),
            R"({"id":"T1","url":"https://a.example/","title":"A","active":true})");
  EXPECT_EQ(
      support::decodeRecord<TabInfo>(Json::parse(support::dumpCompact(support::encodeRecord(tab)))),
      tab);

  Json extra = Json::parse(R"({"id":"T","url":"u","title":"t","active":false,"type":"page"})");
  EXPECT_EQ(support::decodeRecord<TabInfo>(extra), (TabInfo{"T", "u", "t", false}));

  for (const char* broken : {
           R"({"id":"T","url":"u","active":false})",               // no title
           R"({"id":"T","url":"u","title":"t"})",                  // no active
           R"({"id":1,"url":"u","title":"t","active":false})",     // id not a string
           R"({"id":"T","url":"u","title":"t","active":"true"})",  // active not a Bool
           R"({"id":"T","url":null,"title":"t","active":false})",  // null is missing
           R"(["T","u","t",false])",
       }) {
    EXPECT_THROW((void)support::decodeRecordText<TabInfo>(broken), support::JsonDecodeError)
        << broken;
  }
}

// An implementation that leaves out idle, tab and dialog control.
class MinimalController final : public BrowserController {
 public:
  bool isRunning() override { return true; }
  StartResult start(bool) override { return {9223, true}; }
  void stop() override {}
  std::string navigate(const std::string&) override { return {}; }
  std::string currentURL() override { return ""; }
  FieldMatch locateField(FillField, const std::optional<std::string>&) override { return {}; }
  void typeInto(const FieldMatch&, const std::string&, const FillBinding&) override {}
  bool submit(const FieldMatch&) override { return false; }
  void clearField(const FieldMatch&) override {}
};

TEST(BrowserControllerTest, DefaultsRefuseTabAndDialogControl) {
  MinimalController controller;
  EXPECT_NO_THROW(controller.setIdleTimeout(5));
  EXPECT_NO_THROW(controller.setIdleTimeout(std::nullopt));

  const std::function<void()> tabCalls[] = {
      [&] { (void)controller.listTabs(); },
      [&] { controller.activateTab("T"); },
      [&] { controller.closeTab("T"); },
  };
  for (const auto& call : tabCalls) {
    try {
      call();
      ADD_FAILURE() << "no error";
    } catch (const BrowserError& error) {
      EXPECT_EQ(error, BrowserError::cdpFailure("tab control not supported by this controller"));
    }
  }
  for (bool accept : {true, false}) {
    try {
      controller.handleDialog(accept, "answer");
      ADD_FAILURE() << "no error";
    } catch (const BrowserError& error) {
      EXPECT_STREQ(error.what(),
                   "browser (CDP) failure: dialog control not supported by this controller");
    }
  }
}

}  // namespace
}  // namespace varn::mcp
