#include "mcp/browser/CDPBrowserController.hpp"

#include <algorithm>
#include <array>
#include <future>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mcp/browser/testing/ScriptedBrowser.hpp"

namespace varn::mcp {
namespace {

using fakes::page;
using fakes::ScriptedBrowser;
using support::Json;
using Lines = std::vector<std::string>;

class CDPBrowserControllerTest : public fakes::ScriptedBrowserTest {};

struct PageChoiceCase {
  const char* name;
  std::vector<Json> targets;
  std::set<std::string> visible;
  const char* tabs;  // listTabs ids in order, the active one marked "*"
  std::size_t visibilityProbes;
  std::set<std::string> noSession = {};
};

class PageChoiceTest : public CDPBrowserControllerTest,
                       public ::testing::WithParamInterface<PageChoiceCase> {};

TEST_P(PageChoiceTest, ChoosesTheFirstVisibleOrdinaryPageAndListsItFirst) {
  browser.edit([](ScriptedBrowser& b) {
    b.targets = GetParam().targets;
    b.visible = GetParam().visible;
    b.attachWithoutSession = GetParam().noSession;
  });
  EXPECT_EQ(tabs(), GetParam().tabs);
  const Lines evaluations = sent("Runtime.evaluate");
  EXPECT_EQ(std::count_if(evaluations.begin(), evaluations.end(),
                          [](const std::string& c) { return c.find("visibilityState") != c.npos; }),
            static_cast<std::ptrdiff_t>(GetParam().visibilityProbes));
}

const Json kOmnibox = {{"type", "browser_ui"}, {"targetId", "U"}, {"url", "chrome://omnibox/"}};

INSTANTIATE_TEST_SUITE_P(
    Cases, PageChoiceTest,
    ::testing::Values(
        PageChoiceCase{"OnlyAnAboutPage", {kOmnibox, page("A", "about:blank")}, {}, "A*", 0},
        PageChoiceCase{"SecondVisible",
                       {page("A", "https://a/"), page("B", "https://b/")},
                       {"S-B"},
                       "B* A",
                       2},
        PageChoiceCase{"NoneVisibleFirstAttached",
                       {page("A", "https://a/"), page("B", "https://b/")},
                       {},
                       "A* B",
                       2},
        PageChoiceCase{"OneOrdinaryAmongBackgroundPagesNeedsNoProbe",
                       {page("N", "chrome://newtab/"), page("D", "devtools://x"),
                        page("E", "chrome-extension://e/"), page("A", "http://a/")},
                       {"S-N"},
                       "A* N D E",
                       0},
        PageChoiceCase{"BrowserUIAndWorkersNeverCount",
                       {kOmnibox,
                        {{"type", "service_worker"}, {"targetId", "W"}, {"url", "https://w/"}},
                        page("N", "chrome://new-tab-page/")},
                       {},
                       "N*",
                       0},
        PageChoiceCase{"EntriesWithoutIdOrSessionAreSkipped",
                       {{{"type", "page"}, {"url", "https://x/"}},
                        page("Q", "https://q/"),
                        page("B", "https://b/"),
                        page("C", "https://c/")},
                       {"S-C"},
                       "C*  Q B",
                       2,
                       {"Q"}},
        PageChoiceCase{"NoPage", {kOmnibox}, {}, "", 0}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(CDPBrowserControllerTest, WithoutAPageTargetPageOperationsFail) {
  browser.edit([](ScriptedBrowser& b) { b.targets = {kOmnibox}; });
  for (const auto& operation : std::vector<std::function<void()>>{
           [&] { controller.navigate("https://a/"); }, [&] { (void)controller.currentURL(); },
           [&] { controller.handleDialog(true, std::nullopt); }}) {
    try {
      operation();
      ADD_FAILURE() << "no error";
    } catch (const BrowserError& error) {
      EXPECT_EQ(error, BrowserError::cdpFailure("no page target"));
    }
  }
  EXPECT_TRUE(controller.listTabs().empty());
}

// One session per page for the whole run, its Page domain enabled once, right after attaching.
TEST_F(CDPBrowserControllerTest, SessionsAreAttachedOnceAndReused) {
  browser.edit([](ScriptedBrowser& b) {
    b.targets = {page("A", "https://a/"), page("B", "https://b/")};
    b.visible = {"S-B"};
  });
  EXPECT_EQ(tabs(), "B* A");
  EXPECT_EQ(tabs(), "B* A");
  EXPECT_EQ(controller.navigate("https://c/ x?y#z"), "https://now/S-B");
  EXPECT_EQ(controller.currentURL(), "https://now/S-B");
  EXPECT_EQ(
      sent("Target.attachToTarget"),
      (Lines{R"({"method":"Target.attachToTarget","params":{"flatten":true,"targetId":"A"}})",
             R"({"method":"Target.attachToTarget","params":{"flatten":true,"targetId":"B"}})"}));
  EXPECT_EQ(sent("Page.enable"),
            (Lines{R"({"method":"Page.enable","params":{},"sessionId":"S-A"})",
                   R"({"method":"Page.enable","params":{},"sessionId":"S-B"})"}));
  EXPECT_EQ(
      sent("Page.navigate"),
      (Lines{
          R"({"method":"Page.navigate","params":{"url":"https://c/ x?y#z"},"sessionId":"S-B"})"}));
}

TEST_F(CDPBrowserControllerTest, ASessionTheBrowserDroppedIsAttachedAfresh) {
  browser.edit([](ScriptedBrowser& b) { b.targets = {page("A", "https://a/")}; });
  EXPECT_EQ(controller.currentURL(), "https://now/S-A");
  // The browser no longer knows the session: the command goes again in a new one.
  browser.edit([](ScriptedBrowser& b) { b.forgottenSessions = {"S-A"}; });
  EXPECT_EQ(controller.currentURL(), "https://now/S-A-2");
  // The browser reports the session detached (the event comes before the target list).
  browser.edit([](ScriptedBrowser& b) {
    b.eventBeforeTargets = Json{{"method", "Target.detachedFromTarget"},
                                {"params", {{"sessionId", "S-A-2"}, {"targetId", "A"}}}};
  });
  EXPECT_EQ(controller.currentURL(), "https://now/S-A-3");
  // A target that left the list and came back is a new page.
  browser.edit([](ScriptedBrowser& b) { b.targets = {}; });
  EXPECT_EQ(tabs(), "");
  browser.edit([](ScriptedBrowser& b) { b.targets = {page("A", "https://a/")}; });
  EXPECT_EQ(controller.currentURL(), "https://now/S-A-4");
  EXPECT_EQ(sent("Target.attachToTarget").size(), 4u);
}

// A document's isolated world is made once: its context id serves the first call alone, an object
// of that call's answer every later one, until the document (and so the object) is gone.
TEST_F(CDPBrowserControllerTest, AWorldIsMadeOncePerDocumentAndCalledByAnObjectOfIt) {
  browser.edit([](ScriptedBrowser& b) { b.targets = {page("A", "https://a/")}; });
  const std::array<FillField, 1> kinds = {FillField::password};
  const auto shown = [&] {
    const PageShown page = controller.shownPage(kinds);
    return page.url + (page.anyField ? " field" : " none");
  };
  EXPECT_EQ(shown(), "https://a/in field");
  EXPECT_EQ(shown(), "https://a/in field");
  browser.edit([](ScriptedBrowser& b) {
    b.goneObjects = {"world-1"};
    b.probeAnswer =
        R"({"answer":"found","count":0,"type":"","origin":"https://a","href":"https://a/out","frames":0})";
  });
  EXPECT_EQ(shown(), "https://a/out none");
  EXPECT_EQ(shown(), "https://a/out none");
  Lines targets;
  for (const std::string& call : sent("Runtime.callFunctionOn")) {
    const Json params = Json::parse(call).at("params");
    targets.push_back(params.contains("objectId")
                          ? params.at("objectId").get<std::string>()
                          : "context " + params.at("executionContextId").dump());
  }
  EXPECT_EQ(targets, (Lines{"context 1", "world-1", "world-1", "context 2", "world-2"}));
  EXPECT_EQ(sent("Page.createIsolatedWorld").size(), 2u);
}

// A navigation makes the world of the document it loads while that loads: the first script call
// after it goes to the world's global object.
TEST_F(CDPBrowserControllerTest, ANavigationMakesTheWorldOfItsDocumentWhileItLoads) {
  browser.edit([](ScriptedBrowser& b) {
    b.targets = {page("A", "https://a/")};
    b.readyStates = {"loading", "complete"};
  });
  EXPECT_EQ(controller.navigate("https://a/in"), "https://now/S-A");
  const std::array<FillField, 1> kinds = {FillField::password};
  EXPECT_EQ(controller.shownPage(kinds).url, "https://a/in");
  Lines calls;
  for (const std::string& call : sent("Runtime.callFunctionOn")) {
    calls.push_back(Json::parse(call).at("params").value("objectId", "by context"));
  }
  EXPECT_EQ(calls, Lines{"global-1"});
  EXPECT_EQ(sent("Page.createIsolatedWorld").size(), 1u);
}

TEST_F(CDPBrowserControllerTest, DialogsAreAnsweredInThePageSessionWithTheirTexts) {
  browser.edit([](ScriptedBrowser& b) { b.targets = {page("A", "https://a/x")}; });
  for (bool accept : {true, false}) {
    try {
      controller.handleDialog(accept, "ignored");
      ADD_FAILURE() << "no error";
    } catch (const BrowserError& error) {
      EXPECT_STREQ(
          error.what(),
          accept ? "browser (CDP) failure: no open JS dialog on https://a/x — nothing to accept"
                 : "browser (CDP) failure: no open JS dialog on https://a/x — nothing to dismiss");
    }
  }
  browser.edit([](ScriptedBrowser& b) { b.dialogOpen = true; });
  controller.handleDialog(true, std::nullopt);
  const std::string head = R"({"method":"Page.handleJavaScriptDialog","params":)";
  EXPECT_EQ(sent("Page.handleJavaScriptDialog"),
            (Lines{head + R"({"accept":true,"promptText":"ignored"},"sessionId":"S-A"})",
                   head + R"({"accept":false,"promptText":"ignored"},"sessionId":"S-A"})",
                   head + R"({"accept":true},"sessionId":"S-A"})"}));
  // Page.enable went once, at the attach: sent again while a dialog shows, it is never answered.
  EXPECT_EQ(sent("Page.enable").size(), 1u);
}

// The readiness probe of the navigation gets no answer while the page shows a dialog; the dialog
// is answered meanwhile, and the held probe then answers "complete".
TEST_F(CDPBrowserControllerTest, ADialogIsAnsweredWhileNavigateWaitsOnTheBlockedPage) {
  browser.edit([](ScriptedBrowser& b) {
    b.targets = {page("A", "https://a/")};
    b.holdReadiness = true;
    b.dialogOpen = true;
  });
  auto navigation = std::async(std::launch::async, [&] { controller.navigate("https://a/c"); });
  // getVersion, the target discovery, getTargets, attach, Page.enable, the focus emulation,
  // Page.navigate, the readiness probe.
  ASSERT_TRUE(server.waitForFrames(8));
  controller.handleDialog(true, "yes");
  ASSERT_EQ(navigation.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  navigation.get();
  EXPECT_EQ(sent("Runtime.evaluate").size(), 1u) << "the navigation probed again";
}

TEST_F(CDPBrowserControllerTest, NavigatePollsReadinessUntilComplete) {
  browser.edit([](ScriptedBrowser& b) {
    b.targets = {page("A", "https://a/")};
    b.readyStates = {"loading", "interactive", "complete", "loading"};
  });
  // The address comes with the probe that found the document complete: no read of its own.
  EXPECT_EQ(controller.navigate("https://a/"), "https://now/S-A");
  const Lines evaluations = sent("Runtime.evaluate");
  EXPECT_EQ(std::count_if(evaluations.begin(), evaluations.end(),
                          [](const std::string& e) { return e.find("readyState") != e.npos; }),
            3);
}

TEST_F(CDPBrowserControllerTest, AConnectionThatBreaksFailsTheNavigationWaitingOnIt) {
  browser.edit([](ScriptedBrowser& b) {
    b.targets = {page("A", "https://a/")};
    b.holdReadiness = true;
  });
  auto navigation = std::async(std::launch::async, [&] { controller.navigate("https://a/"); });
  ASSERT_TRUE(server.waitForFrames(7));
  server.breakConnection();
  ASSERT_EQ(navigation.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(fakes::errorOf([&] { navigation.get(); }), "browser (CDP) failure: connection closed");
}

TEST_F(CDPBrowserControllerTest, TabsAreActivatedAndClosedByTheirIdUnchanged) {
  controller.activateTab("X Y");
  controller.closeTab("");
  EXPECT_EQ(sent("Target.activateTarget"),
            (Lines{R"({"method":"Target.activateTarget","params":{"targetId":"X Y"}})"}));
  EXPECT_EQ(sent("Target.closeTarget"),
            (Lines{R"({"method":"Target.closeTarget","params":{"targetId":""}})"}));
}

TEST_F(CDPBrowserControllerTest, StopEndsTheBrowserAndItsPipe) {
  EXPECT_EQ(tabs(), "");
  EXPECT_EQ(controller.start(true), (BrowserController::StartResult{0, true}));
  controller.stop();
  EXPECT_FALSE(controller.isRunning());
  EXPECT_TRUE(server.waitForDisconnect());
  EXPECT_EQ(fakes::errorOf([&] { (void)controller.listTabs(); }),
            "browser (CDP) failure: connection closed");
  controller.stop();  // nothing left to stop
  EXPECT_EQ(sent("Browser.getVersion").size(), 1u);
}

}  // namespace
}  // namespace varn::mcp
