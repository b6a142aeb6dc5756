#include "mcp/browser/CDPBrowserController.hpp"

#include <algorithm>
#include <array>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mcp/browser/testing/FakeBrowser.hpp"
#include "mcp/browser/testing/FakeDevToolsPipe.hpp"
#include "mcp/browser/testing/ManualClock.hpp"

namespace varn::mcp {
namespace {

using fakes::FakeDevToolsPipe;
using support::Json;
using Lines = std::vector<std::string>;

// A browser as the fake DevTools pipe plays it: a target list, a session per attach
// ("S-<target>" at first, then "S-<target>-2", ...), readiness per session, and an open dialog or
// none. Commands are answered on the pipe's thread.
class ScriptedBrowser {
 public:
  std::vector<Json> targets;
  std::deque<std::string> readyStates;         // served in order; the last one repeats
  std::set<std::string> attachWithoutSession;  // targets whose attach reply has no sessionId
  std::set<std::string> forgottenSessions;     // answered "Session with given id not found."
  bool dialogOpen = false;
  // When set, the next readiness probe gets no reply until a dialog is answered.
  bool holdReadiness = false;

  // When set, the next target list is preceded by this event.
  std::optional<Json> eventBeforeTargets;
  // Script calls on these objects fail, as on a document that has gone.
  std::set<std::string> goneObjects;
  // A field probe's answer, as the JSON text its count mode gives.
  std::string probeAnswer = R"({"answer":"found","count":1,"href":"https://a/in"})";

  // Changes the script between calls.
  template <typename Change>
  void edit(Change change) {
    std::lock_guard lock(mutex_);
    change(*this);
  }

  std::optional<Json> answer(FakeDevToolsPipe& server, const Json& command) {
    std::lock_guard lock(mutex_);
    const std::string method = command.value("method", "");
    const Json params = command.value("params", Json::object());
    const std::string session = command.value("sessionId", "");
    if (forgottenSessions.contains(session)) {
      return Json{{"error", {{"code", -32001}, {"message", "Session with given id not found."}}}};
    }
    if (method == "Target.getTargets") {
      if (!eventBeforeTargets) return result({{"targetInfos", targets}});
      server.sendJson(*std::exchange(eventBeforeTargets, std::nullopt));
      server.sendJson({{"id", command.at("id")}, {"result", {{"targetInfos", targets}}}});
      return std::nullopt;
    }
    if (method == "Target.attachToTarget") {
      const std::string target = params.value("targetId", "");
      if (attachWithoutSession.contains(target)) return result(Json::object());
      const int n = ++attaches_[target];
      return result({{"sessionId", "S-" + target + (n > 1 ? "-" + std::to_string(n) : "")}});
    }
    if (method == "Page.handleJavaScriptDialog") {
      if (!dialogOpen) {
        return Json{{"error", {{"code", -32602}, {"message", "No dialog is showing"}}}};
      }
      dialogOpen = false;
      if (heldProbe_) {
        server.sendJson({{"id", *heldProbe_}, {"result", readiness("complete", heldSession_)}});
        heldProbe_.reset();
      }
      return result(Json::object());
    }
    if (method == "Page.createIsolatedWorld") return result({{"executionContextId", ++worlds_}});
    if (method == "Runtime.callFunctionOn") {
      const Json text = {{"type", "string"}, {"value", probeAnswer}};
      // A world's first call goes to its context id, and answers a text in an object of the world.
      if (params.contains("executionContextId")) {
        const Json members = Json::array({Json::array({"varnText", text})});
        return result({{"result",
                        {{"objectId", "world-" + params["executionContextId"].dump()},
                         {"deepSerializedValue", {{"type", "object"}, {"value", members}}}}}});
      }
      if (goneObjects.contains(params.value("objectId", ""))) {
        return Json{{"error", {{"code", -32000}, {"message", "Could not find object"}}}};
      }
      return result({{"result", text}});
    }
    if (method == "Runtime.evaluate") {
      const std::string expression = params.value("expression", "");
      if (expression == "({href: location.href})") {
        return result({{"result", {{"value", {{"href", "https://now/" + session}}}}}});
      }
      if (expression == "globalThis") {
        return result({{"result", {{"objectId", "global-" + params["contextId"].dump()}}}});
      }
      if (expression.starts_with("({state: document.readyState")) {
        if (holdReadiness) {
          holdReadiness = false;
          heldProbe_ = command.at("id").get<std::int64_t>();
          heldSession_ = session;
          return std::nullopt;
        }
        const std::string state = readyStates.empty() ? "complete" : readyStates.front();
        if (readyStates.size() > 1) readyStates.pop_front();
        return result(readiness(state, session));
      }
    }
    return result(Json::object());
  }

 private:
  static Json result(Json body) { return Json{{"result", std::move(body)}}; }
  // The readiness probe's answer: the state, and the address location.href would give.
  static Json readiness(const std::string& state, const std::string& session) {
    return {{"result", {{"value", {{"state", state}, {"href", "https://now/" + session}}}}}};
  }

  std::mutex mutex_;
  std::map<std::string, int> attaches_;
  int worlds_ = 0;
  std::optional<std::int64_t> heldProbe_;
  std::string heldSession_;
};

Json page(const std::string& id, const std::string& url, const std::string& title = "") {
  return {{"type", "page"}, {"targetId", id}, {"url", url}, {"title", title}};
}

// The controller over a real BrowserManager whose browser is the fake browser script: it hands
// its pipe to `server`, which answers as `browser` says.
class CDPBrowserControllerTest : public ::testing::Test {
 protected:
  CDPBrowserControllerTest() {
    server.setResponder([this](const Json& command) { return browser.answer(server, command); });
    server.adoptFromSocket(scratch.file("handoff"));
    controller.start(true);
  }

  BrowserManager::Settings settings() const {
    BrowserManager::Settings s;
    s.tempFolder = scratch.path();
    s.executables = {};
    return s;
  }

  // The commands the server saw with this method, as compact JSON without their ids.
  std::vector<std::string> sent(const std::string& method) {
    std::vector<std::string> out;
    for (Json command : server.commands()) {
      if (command.value("method", "") != method) continue;
      command.erase("id");
      out.push_back(command.dump());
    }
    return out;
  }

  std::string tabs() {
    std::string out;
    for (const TabInfo& tab : controller.listTabs()) {
      out += (out.empty() ? "" : " ") + tab.id + (tab.active ? "*" : "");
    }
    return out;
  }

  fakes::ScratchFolder scratch;
  fakes::ScopedEnv browserBin{"VARN_BROWSER_BIN", fakes::fakeBrowserPath()};
  fakes::ScopedEnv mode{"FAKE_BROWSER_MODE", "handoff"};
  fakes::ScopedEnv socketEnv{"FAKE_BROWSER_SOCKET", scratch.file("handoff")};
  // Before the pipe, whose thread answers from it until the pipe is destroyed.
  ScriptedBrowser browser;
  FakeDevToolsPipe server;
  std::shared_ptr<fakes::ManualClock> clock = std::make_shared<fakes::ManualClock>();
  CDPBrowserController controller{std::make_shared<BrowserManager>(std::nullopt, settings()),
                                  std::chrono::seconds(0), clock};
};

struct PageChoiceCase {
  const char* name;
  std::vector<Json> targets;
  const char* activated;  // the tab activated first; "" for none
  const char* tabs;       // listTabs ids in order, the active one marked "*"
  const char* navigated;  // the session the navigation goes to; "" for none
  std::set<std::string> noSession = {};
};

class PageChoiceTest : public CDPBrowserControllerTest,
                       public ::testing::WithParamInterface<PageChoiceCase> {};

// The list attaches nothing, and the navigation only the page it goes to: no other tab is asked
// anything.
TEST_P(PageChoiceTest, ChoosesTheActivatedElseTheFirstOrdinaryPageAskingNoOtherTab) {
  const PageChoiceCase& c = GetParam();
  browser.edit([&](ScriptedBrowser& b) {
    b.targets = c.targets;
    b.attachWithoutSession = c.noSession;
  });
  if (*c.activated != '\0') controller.activateTab(c.activated);
  EXPECT_EQ(tabs(), c.tabs);
  EXPECT_EQ(sent("Target.attachToTarget"), Lines{});
  if (*c.navigated == '\0') {
    EXPECT_EQ(fakes::errorOf([&] { controller.navigate("https://x/"); }),
              "browser (CDP) failure: no page target");
  } else {
    EXPECT_EQ(controller.navigate("https://x/"), std::string("https://now/") + c.navigated);
    EXPECT_EQ(sent("Runtime.evaluate").size(), 1u) << "only the readiness probe";
  }
}

const Json kOmnibox = {{"type", "browser_ui"}, {"targetId", "U"}, {"url", "chrome://omnibox/"}};

INSTANTIATE_TEST_SUITE_P(
    Cases, PageChoiceTest,
    ::testing::Values(
        PageChoiceCase{"OnlyAnAboutPage", {kOmnibox, page("A", "about:blank")}, "", "A*", "S-A"},
        PageChoiceCase{"FirstInListOrder",
                       {page("A", "https://a/"), page("B", "https://b/")},
                       "",
                       "A* B",
                       "S-A"},
        PageChoiceCase{"TheActivatedTab",
                       {page("A", "https://a/"), page("B", "https://b/")},
                       "B",
                       "B* A",
                       "S-B"},
        PageChoiceCase{"AnActivatedBackgroundPage",
                       {page("A", "https://a/"), page("N", "chrome://newtab/")},
                       "N",
                       "N* A",
                       "S-N"},
        PageChoiceCase{"AnActivatedTabThatIsGone",
                       {page("A", "https://a/"), page("B", "https://b/")},
                       "X",
                       "A* B",
                       "S-A"},
        PageChoiceCase{"OneOrdinaryAmongBackgroundPages",
                       {page("N", "chrome://newtab/"), page("D", "devtools://x"),
                        page("E", "chrome-extension://e/"), page("A", "http://a/")},
                       "",
                       "A* N D E",
                       "S-A"},
        PageChoiceCase{"BrowserUIAndWorkersNeverCount",
                       {kOmnibox,
                        {{"type", "service_worker"}, {"targetId", "W"}, {"url", "https://w/"}},
                        page("N", "chrome://new-tab-page/")},
                       "",
                       "N*",
                       "S-N"},
        // The list marks the page chosen; a page that cannot be attached passes the navigation
        // on to the next.
        PageChoiceCase{"EntriesWithoutIdOrSessionAreSkipped",
                       {{{"type", "page"}, {"url", "https://x/"}},
                        page("Q", "https://q/"),
                        page("B", "https://b/"),
                        page("C", "https://c/")},
                       "",
                       "Q*  B C",
                       "S-B",
                       {"Q"}},
        PageChoiceCase{"NoPage", {kOmnibox}, "", "", ""}),
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
  });
  controller.activateTab("B");
  EXPECT_EQ(controller.navigate("https://c/ x?y#z"), "https://now/S-B");
  EXPECT_EQ(controller.currentURL(), "https://now/S-B");
  EXPECT_EQ(tabs(), "B* A");
  EXPECT_EQ(
      sent("Target.attachToTarget"),
      (Lines{R"({"method":"Target.attachToTarget","params":{"flatten":true,"targetId":"B"}})"}));
  EXPECT_EQ(sent("Page.enable"),
            (Lines{R"({"method":"Page.enable","params":{},"sessionId":"S-B"})"}));
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

// A navigation makes the world of the document it loads; the world's context id serves one call at
// once, and every later call goes to an object of that world until it is gone with its document.
TEST_F(CDPBrowserControllerTest, AWorldIsMadeOncePerDocumentAndCalledByAnObjectOfIt) {
  browser.edit([](ScriptedBrowser& b) {
    b.targets = {page("A", "https://a/")};
    b.readyStates = {"loading", "complete"};
  });
  controller.navigate("https://a/in");
  const std::array<FillField, 1> kinds = {FillField::password};
  const auto shown = [&] { return controller.shownPage(kinds).url; };
  EXPECT_EQ(shown(), "https://a/in");
  browser.edit([](ScriptedBrowser& b) {
    b.goneObjects = {"global-1"};
    b.probeAnswer = R"({"answer":"found","count":0,"href":"https://a/out"})";
  });
  EXPECT_EQ(shown(), "https://a/out");
  EXPECT_EQ(shown(), "https://a/out");
  Lines targets;
  for (const std::string& call : sent("Runtime.callFunctionOn")) {
    const Json params = Json::parse(call).at("params");
    targets.push_back(
        params.value("objectId", "context " + params.value("executionContextId", Json()).dump()));
  }
  EXPECT_EQ(targets, (Lines{"global-1", "global-1", "context 2", "world-2"}));
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
