// The browser tools against a real headless Chromium, driven through the real varn-mcp: pages on
// 127.0.0.1, tabs, JavaScript dialogs, the idle stop, profile folders, a second server, the
// DevTools port (none unless asked for, an impostor on it), signals, SIGKILL and a frozen browser.
// Chromium runs through a wrapper of the tests' own that adds --no-sandbox.

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>
#include <httplib.h>

#include "tests/support/BrowserKit.hpp"
#include "tests/support/ServerTest.hpp"

namespace varn::tests {
namespace {

// A page that tells the page server when its dialog is about to open (a synchronous request, so
// the dialog follows at once) and, once the dialog returns, what it returned.
std::string dialogPage(const std::string& name, const std::string& dialog,
                       const std::string& result) {
  return "<title>" + name + "</title><script>function get(p){var x=new XMLHttpRequest();" +
         "x.open('GET',p,false);x.send()}get('/opening-" + name + "');var r=" + dialog + ";get('/" +
         name + "-' + " + result + ")</script>";
}

class BrowserTest : public ServerTest {
 protected:
  BrowserTest() : tmp(dir.makeFolder("t")), wrapper(writeChromiumWrapper(dir.path())) {}

  // The fixture's environment plus what the browser needs: a PATH for Debian's launcher script, a
  // temporary folder of the test's own (where the profiles go), the wrapper, and an idle window.
  std::map<std::string, std::string> browserEnvironment(
      const std::optional<std::string>& idleSeconds = std::nullopt) const {
    std::map<std::string, std::string> env = defaultEnvironment();
    env["PATH"] = "/usr/bin:/bin";
    env["TMPDIR"] = tmp;
    env["VARN_BROWSER_BIN"] = wrapper;
    if (idleSeconds) env["VARN_BROWSER_IDLE_SECONDS"] = *idleSeconds;
    return env;
  }

  // A server whose browser is reached over its pipe alone, or also on `cdpPort`.
  ServerProcess& startBrowserServer(const std::optional<std::string>& idleSeconds = std::nullopt,
                                    std::optional<std::int64_t> cdpPort = std::nullopt) {
    port = cdpPort.value_or(0);
    std::vector<std::string> args;
    if (cdpPort) args = {"--cdp-port", std::to_string(*cdpPort)};
    return startServer(args, browserEnvironment(idleSeconds));
  }

  // Calls `tool` on `on` and returns the parsed output; a failure is recorded for an error result.
  Json ok(const std::string& tool, const Json& args = Json::object()) {
    const ToolResult result = call(tool, args);
    EXPECT_FALSE(result.isError) << tool << ": " << result.text;
    return support::parseJson(result.text).value_or(Json::object());
  }

  // The one child of the server: its browser (the wrapper keeps the pid).
  // The server's one child, the browser. Throws (failing the test) rather than answer a pid the
  // test could not find: kill() reads -1 as every process of the machine and 0 as its own group.
  pid_t browserPid(const ServerProcess& of) {
    const std::vector<pid_t> children = childrenOf(of.pid());
    if (children.size() != 1 || children.front() <= 0) {
      throw std::runtime_error("the server has " + std::to_string(children.size()) +
                               " children, not the one browser");
    }
    return children.front();
  }

  // Fills the password field of /login (on the page now) with a password of the vault, which
  // must have been started.
  void fillPassword() {
    const std::string ref = "varn://local/Shop/password";
    vault->answer("list", VaultReply::line("[]"));
    vault->answer("preview", ref,
                  VaultReply::line(
                      R"({"decision":"allowed","type":"password","allowed_hosts":["127.0.0.1"]})"));
    vault->answer("resolve", ref, VaultReply::line(R"({"decision":"allowed","value":"Pa55-e2e"})"));
    leaks.secret("Pa55-e2e");
    EXPECT_EQ(ok("browser_fill", {{"ref", ref}, {"field", "password"}})["filled"], true);
  }

  // The ids and urls of the listed tabs, the active one marked with "*".
  static std::string describeTabs(const Json& output) {
    std::string out;
    for (const Json& tab : output.value("tabs", Json::array())) {
      out += (out.empty() ? "" : " ") + tab.value("url", std::string("?")) +
             (tab.value("active", false) ? "*" : "");
    }
    return out;
  }

  std::string tmp;
  std::string wrapper;
  std::int64_t port = 0;
  PageServer pages{{
      {"/a", "<title>A</title><p>a"},
      {"/b", "<title>B</title><p>b"},
      {"/alert", dialogPage("alert", "alert('hi')", "'done'")},
      {"/confirm", dialogPage("confirm", "confirm('go?')", "r")},
      {"/prompt", dialogPage("prompt", "prompt('name?')", "r")},
      {"/opening-alert", ""},
      {"/opening-confirm", ""},
      {"/opening-prompt", ""},
      {"/alert-done", ""},
      {"/confirm-true", ""},
      {"/prompt-Ada", ""},
      {"/login", "<title>L</title><form><input name=pw type=password></form>"},
      // Chromium reports the dialog's default text in one DevTools event, past the 64 MiB a
      // message may hold.
      {"/huge-prompt",
       "<title>H</title><script>var t='P'.repeat(70000000);var x=new XMLHttpRequest();"
       "x.open('GET','/opening-huge',false);x.send();prompt('q',t)</script>"},
      {"/opening-huge", ""},
      // Tells the page server it runs, then never yields again.
      {"/loop",
       "<title>Loop</title><script>var x=new XMLHttpRequest();x.open('GET','/looping',false);"
       "x.send();for(;;){}</script>"},
      {"/looping", ""},
  }};
};

// The active tab is the one the agent activated last, or a tab opened since: the list marks it
// first, and every later tool acts on it.
TEST_F(BrowserTest, StartNavigateListActivateCloseAndStop) {
  startVault();
  startBrowserServer(std::nullopt, unusedLoopbackPort());
  EXPECT_EQ(ok("browser_start", {{"headless", true}}),
            (Json{{"cdp_port", port}, {"already_running", false}}));
  EXPECT_EQ(ok("browser_start", {{"headless", false}}),
            (Json{{"cdp_port", port}, {"already_running", true}}));
  EXPECT_EQ(ok("browser_navigate", {{"url", pages.url("/a")}}), (Json{{"url", pages.url("/a")}}));
  EXPECT_EQ(describeTabs(ok("browser_tabs", {{"action", "list"}})), pages.url("/a") + "*");

  // A second tab, opened from outside as the operator's DevTools client would: it comes first.
  httplib::Client devtools("127.0.0.1", static_cast<int>(port));
  ASSERT_TRUE(devtools.Put("/json/new?" + pages.url("/b")));
  const Json listed = ok("browser_tabs", {{"action", "list"}});
  EXPECT_EQ(describeTabs(listed), pages.url("/b") + "* " + pages.url("/a")) << listed;
  std::map<std::string, std::string> ids;  // url -> tab id
  for (const Json& tab : listed.value("tabs", Json::array())) ids[tab["url"]] = tab["id"];
  const std::string first = ids[pages.url("/a")];
  const std::string second = ids[pages.url("/b")];
  ASSERT_FALSE(first.empty() || second.empty()) << listed;

  // Each activation steers the navigation and the fill, whichever tab was in front before.
  auto tabsById = [&](const std::string& action, const std::string& id) {
    const Json reply = ok("browser_tabs", {{"action", action}, {"id", id}});
    std::string out;
    for (const Json& tab : reply.value("tabs", Json::array())) {
      out += (out.empty() ? "" : " ") + std::string(tab["id"] == first ? "1:" : "2:") +
             tab.value("url", "") + (tab.value("active", false) ? "*" : "");
    }
    return out;
  };
  EXPECT_EQ(tabsById("activate", first), "1:" + pages.url("/a") + "* 2:" + pages.url("/b"));
  ok("browser_navigate", {{"url", pages.url("/login")}});
  fillPassword();
  EXPECT_EQ(tabsById("activate", second), "2:" + pages.url("/b") + "* 1:" + pages.url("/login"));
  ok("browser_navigate", {{"url", pages.url("/login?second")}});
  fillPassword();
  EXPECT_EQ(describeTabs(ok("browser_tabs", {{"action", "list"}})),
            pages.url("/login?second") + "* " + pages.url("/login"));
  EXPECT_EQ(tabsById("activate", first),
            "1:" + pages.url("/login") + "* 2:" + pages.url("/login?second"));
  EXPECT_EQ(call("browser_fill", {{"ref", "varn://local/Shop/password"}, {"field", "username"}}),
            (ToolResult{"error: no username field found on " + pages.url("/login") +
                            " — is the right tab active? (browser_tabs lists them)",
                        true}));

  EXPECT_EQ(tabsById("close", first), "2:" + pages.url("/login?second") + "*");
  EXPECT_EQ(ok("browser_stop"), (Json{{"stopped", true}}));
  EXPECT_EQ(call("browser_tabs", {{"action", "list"}}),
            (ToolResult{"error: no Varn browser is running — call browser_start first", true}));
  expectCleanExit();
}

// Three tabs of another origin loop for ever: choosing the page asks nothing of them, so the
// list answers, and the navigation and the fill reach the active tab, which leaves its loop.
TEST_F(BrowserTest, LoopingTabsOfAnotherOriginStallNoTool) {
  startVault();
  startBrowserServer(std::nullopt, unusedLoopbackPort());
  ok("browser_start", {{"headless", true}});
  httplib::Client devtools("127.0.0.1", static_cast<int>(port));
  const std::string loop = "http://localhost:" + std::to_string(pages.port()) + "/loop?";
  for (int tab = 0; tab < 3; ++tab) {
    ASSERT_TRUE(devtools.Put("/json/new?" + loop + std::to_string(tab)));
  }
  ASSERT_TRUE(pages.waitForRequests("/looping", 3));
  const Json listed = ok("browser_tabs", {{"action", "list"}});
  ASSERT_EQ(listed.value("tabs", Json::array()).size(), 4u) << listed;
  EXPECT_EQ(listed["tabs"][0]["url"], loop + "2");
  EXPECT_TRUE(listed["tabs"][0]["active"]);

  EXPECT_EQ(ok("browser_navigate", {{"url", pages.url("/login")}}),
            (Json{{"url", pages.url("/login")}}));
  fillPassword();
  const std::string tabs = describeTabs(ok("browser_tabs", {{"action", "list"}}));
  EXPECT_TRUE(tabs.starts_with(pages.url("/login") + "* ")) << tabs;
}

// Each dialog opens while the page loads, so the navigation waits on the blocked page while the
// dialog call answers it; the page then reports what the dialog returned. The page announces the
// dialog just before it opens; a dialog call that still came too early fails with "no open JS
// dialog" and is sent again, until the page reports the answer. Such a failure names the page as
// the browser lists it: Chromium lists it with an empty URL while the new document commits.
// A dialog that opens while the page loads ends the navigation at once with an error naming it
// and browser_dialog; the page's other tools fail the same way until browser_dialog answers it.
TEST_F(BrowserTest, ADialogEndsTheNavigationAtOnceAndBrowserDialogAnswersIt) {
  startBrowserServer();
  ok("browser_start", {{"headless", true}});
  struct Case {
    std::string page;
    std::string message;
    Json dialog;
    std::string result;  // the request the page makes with the dialog's answer
  };
  for (const Case& c :
       {Case{"alert", "hi", {{"action", "dismiss"}}, "/alert-done"},
        Case{"confirm", "go?", {{"action", "accept"}}, "/confirm-true"},
        Case{"prompt", "name?", {{"action", "accept"}, {"prompt_text", "Ada"}}, "/prompt-Ada"}}) {
    const std::string open = "error: a JavaScript " + c.page + " dialog is open on the page: \"" +
                             c.message + "\" — answer it with browser_dialog first";
    const ToolResult navigated = call("browser_navigate", {{"url", pages.url("/" + c.page)}});
    EXPECT_EQ(navigated, (ToolResult{open, true})) << c.page;
    EXPECT_EQ(call("browser_navigate", {{"url", pages.url("/a")}}), (ToolResult{open, true}));
    EXPECT_EQ(call("browser_dialog", c.dialog), (ToolResult{R"({"handled":true})", false}));
    EXPECT_TRUE(pages.waitForRequests(c.result)) << c.page;
  }
}

TEST_F(BrowserTest, IdleBrowserStopsAfterItsWindow) {
  startBrowserServer("1");
  ok("browser_start", {{"headless", true}});
  const std::vector<std::string> folders = profileFolders(tmp);
  ASSERT_EQ(folders.size(), 1u);
  const pid_t browser = browserPid(*server);
  // Nothing is called meanwhile: a call would count as activity.
  EXPECT_TRUE(waitForRemoval(folders.front()));
  EXPECT_FALSE(processAlive(browser));
  EXPECT_EQ(call("browser_navigate", {{"url", pages.url("/a")}}),
            (ToolResult{"error: no Varn browser is running — call browser_start first", true}));
}

TEST_F(BrowserTest, StopDeletesTheProfileFolderMadeOnlyForItsOwner) {
  startBrowserServer();
  ok("browser_start", {{"headless", true}});
  const std::vector<std::string> folders = profileFolders(tmp);
  ASSERT_EQ(folders.size(), 1u);
  struct stat info {};
  ASSERT_EQ(stat(folders.front().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  const pid_t browser = browserPid(*server);
  EXPECT_EQ(ok("browser_stop"), (Json{{"stopped", true}}));
  EXPECT_EQ(profileFolders(tmp), std::vector<std::string>{});
  EXPECT_FALSE(processAlive(browser));
  EXPECT_EQ(ok("browser_stop"), (Json{{"stopped", true}}));
  expectCleanExit();
}

// A renderer that crashes leaves a crash report, and the browser writes into a home of its own as
// it starts (its certificate and settings caches): all of it inside the profile, which the stop
// deletes. The server's HOME is as it was.
TEST_F(BrowserTest, AStopAfterARendererCrashLeavesHomeAsItWas) {
  startBrowserServer(std::nullopt, unusedLoopbackPort());
  // Answered once the server has made what it makes at its own start.
  EXPECT_TRUE(call("browser_tabs", {{"action", "list"}}).isError);
  const std::vector<std::string> before = treeOf(home);
  ok("browser_start", {{"headless", true}});
  ok("browser_navigate", {{"url", pages.url("/a")}});
  httplib::Client devtools("127.0.0.1", static_cast<int>(port));
  ASSERT_TRUE(devtools.Put("/json/new?chrome://crash"));
  ASSERT_TRUE(waitForFileBelow(dir.path(), ".dmp"));
  EXPECT_EQ(ok("browser_stop"), (Json{{"stopped", true}}));
  EXPECT_EQ(treeOf(home), before);
  EXPECT_EQ(profileFolders(tmp), std::vector<std::string>{});
}

// A browser that died is replaced by the next start, which also gets a fresh DevTools connection.
TEST_F(BrowserTest, ABrowserThatDiedIsStartedAfreshWithANewConnection) {
  startBrowserServer();
  ok("browser_start", {{"headless", true}});
  ok("browser_navigate", {{"url", pages.url("/a")}});
  const pid_t first = browserPid(*server);
  ASSERT_EQ(kill(first, SIGKILL), 0);
  ASSERT_TRUE(waitForProcessExit(first));
  EXPECT_EQ(ok("browser_start", {{"headless", true}})["already_running"], false);
  EXPECT_EQ(ok("browser_navigate", {{"url", pages.url("/b")}}), (Json{{"url", pages.url("/b")}}));
  EXPECT_EQ(describeTabs(ok("browser_tabs", {{"action", "list"}})), pages.url("/b") + "*");
  EXPECT_EQ(profileFolders(tmp).size(), 1u);
}

// Two servers share the temporary folder: one's start and stop never touch the other's browser.
TEST_F(BrowserTest, AnotherServersBrowserSurvivesThisServersStartAndStop) {
  ServerProcess other(binary(), {}, browserEnvironment());
  auto callOther = [&](const std::string& tool, const Json& args) {
    EXPECT_TRUE(other.sendLine(toolsCall(1, tool, args)));
    return toolResult(parseReply(other.readLine().value_or("")).value_or(Json::object()))
        .value_or(ToolResult{"no reply", true});
  };
  ASSERT_FALSE(callOther("browser_start", {{"headless", true}}).isError);
  const pid_t otherBrowser = browserPid(other);
  const std::vector<std::string> otherFolders = profileFolders(tmp);
  ASSERT_EQ(otherFolders.size(), 1u);

  startBrowserServer();
  for (int round = 0; round < 2; ++round) {
    ok("browser_start", {{"headless", true}});
    EXPECT_EQ(profileFolders(tmp).size(), 2u);
    ok("browser_stop");
    EXPECT_EQ(profileFolders(tmp), otherFolders);
    EXPECT_TRUE(processAlive(otherBrowser));
  }
  EXPECT_EQ(callOther("browser_navigate", {{"url", pages.url("/a")}}),
            (ToolResult{Json{{"url", pages.url("/a")}}.dump(), false}));
  other.closeInput();
  EXPECT_EQ(other.waitForExit(), (ExitStatus{true, 0, false, 0}));
  EXPECT_EQ(profileFolders(tmp), std::vector<std::string>{});
  EXPECT_FALSE(processAlive(otherBrowser));
}

// Only the server reaches its browser: no port is open, so nothing else on the machine can read
// what was typed.
TEST_F(BrowserTest, AfterAFillTheBrowserListensOnNoPort) {
  startVault();
  startBrowserServer();
  EXPECT_EQ(ok("browser_start", {{"headless", true}}),
            (Json{{"cdp_port", 0}, {"already_running", false}}));
  ok("browser_navigate", {{"url", pages.url("/login")}});
  fillPassword();
  const std::vector<pid_t> tree = processTree(browserPid(*server));
  EXPECT_GT(tree.size(), 1u);
  EXPECT_EQ(listeningPortsOf(tree), std::vector<int>{});
}

// With a port asked for, an impostor that holds it first gets nothing: the start is refused
// before the browser is launched, and the server never writes to the port.
TEST_F(BrowserTest, AnImpostorOnTheAskedForPortReceivesNothing) {
  SilentListener impostor;
  startBrowserServer(std::nullopt, impostor.port());
  EXPECT_EQ(call("browser_start", {{"headless", true}}),
            (ToolResult{"error: browser launch failure: CDP port :" +
                            std::to_string(impostor.port()) + " is already in use",
                        true}));
  EXPECT_EQ(childrenOf(server->pid()), std::vector<pid_t>{});
  EXPECT_EQ(profileFolders(tmp), std::vector<std::string>{});
  // The check that found it connected and hung up without a byte.
  EXPECT_EQ(impostor.received(), "");
}

// An impostor that takes the asked-for port after the server's check, before the browser's own
// bind, fails the start as well: the browser (which would listen elsewhere) is stopped, and the
// impostor receives nothing.
TEST_F(BrowserTest, AnImpostorThatTakesThePortDuringTheStartFailsItAndReceivesNothing) {
  const std::int64_t taken = unusedLoopbackPort();
  PortImpostorWrapper impostor(dir.path(), taken, wrapper);
  std::map<std::string, std::string> env = browserEnvironment();
  env["VARN_BROWSER_BIN"] = impostor.path();
  startServer({"--cdp-port", std::to_string(taken)}, env);

  EXPECT_EQ(call("browser_start", {{"headless", true}}),
            (ToolResult{"error: browser launch failure: CDP port :" + std::to_string(taken) +
                            " is already in use",
                        true}));
  EXPECT_TRUE(impostor.ran());
  EXPECT_EQ(childrenOf(server->pid()), std::vector<pid_t>{});
  EXPECT_EQ(profileFolders(tmp), std::vector<std::string>{});
  EXPECT_EQ(call("browser_tabs", {{"action", "list"}}),
            (ToolResult{"error: no Varn browser is running — call browser_start first", true}));
  EXPECT_EQ(impostor.received(), "");
}

// A page that makes Chromium send a message past the limit ends neither the connection nor the
// browser: the same browser still navigates, lists its tabs and fills.
TEST_F(BrowserTest, APageSendingAnOversizedMessageLeavesTheBrowserWorking) {
  startVault();
  startBrowserServer();
  ok("browser_start", {{"headless", true}});
  const pid_t browser = browserPid(*server);
  // The dialog's event never arrives, so the navigation waits out its readiness bound (or the
  // call's budget, on a loaded machine): its reply comes late and says nothing relied on here.
  ASSERT_TRUE(server->sendLine(
      toolsCall(nextId(), "browser_navigate", {{"url", pages.url("/huge-prompt")}})));
  ASSERT_TRUE(pages.waitForRequests("/opening-huge", 1, 3 * kFailureGuard));
  ASSERT_TRUE(server->readLine(3 * kFailureGuard));
  // The dialog opens just after the page's request: a call that came before it, or that the
  // call's budget cut while a loaded browser still carried the dialog's message, is sent again.
  ToolResult dismissed;
  const auto until = std::chrono::steady_clock::now() + 3 * kFailureGuard;
  while (!dismissed.text.starts_with("{") && std::chrono::steady_clock::now() < until) {
    dismissed = call("browser_dialog", {{"action", "dismiss"}});
  }
  EXPECT_EQ(dismissed, (ToolResult{R"({"handled":true})", false}));
  ok("browser_navigate", {{"url", pages.url("/login")}});
  EXPECT_EQ(describeTabs(ok("browser_tabs", {{"action", "list"}})), pages.url("/login") + "*");
  fillPassword();
  EXPECT_EQ(browserPid(*server), browser);
}

// SIGKILL gives the server no chance to stop its browser: the browser dies with it all the same.
TEST_F(BrowserTest, ABrowserDoesNotOutliveAServerKilledWithSIGKILL) {
  startBrowserServer();
  ok("browser_start", {{"headless", true}});
  ok("browser_navigate", {{"url", pages.url("/a")}});
  const std::vector<pid_t> tree = processTree(browserPid(*server));
  ASSERT_GT(tree.size(), 1u);
  server->sendSignal(SIGKILL);
  EXPECT_EQ(server->waitForExit(), (ExitStatus{false, -1, true, SIGKILL}));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  for (pid_t pid : tree) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    EXPECT_TRUE(waitForProcessExit(pid, std::max(left, std::chrono::milliseconds(0)))) << pid;
  }
}

// A frozen browser ignores SIGTERM: the stop kills it all the same (how long that takes is
// browser_bench's figure).
TEST_F(BrowserTest, AFrozenBrowserIsKilledByTheStop) {
  startBrowserServer();
  ok("browser_start", {{"headless", true}});
  const pid_t browser = browserPid(*server);
  ASSERT_EQ(kill(browser, SIGSTOP), 0);
  EXPECT_EQ(ok("browser_stop"), (Json{{"stopped", true}}));
  EXPECT_FALSE(processAlive(browser));
  EXPECT_EQ(profileFolders(tmp), std::vector<std::string>{});
}

struct EndCase {
  const char* name;
  int signal;  // 0: end of input
  int status;
};

class BrowserEndTest : public BrowserTest, public ::testing::WithParamInterface<EndCase> {};

// However the server ends, its browser and the browser's profile go with it.
TEST_P(BrowserEndTest, TheServerLeavesNoBrowserBehind) {
  startBrowserServer();
  ok("browser_start", {{"headless", true}});
  ok("browser_navigate", {{"url", pages.url("/a")}});
  const pid_t browser = browserPid(*server);
  if (GetParam().signal != 0) {
    server->sendSignal(GetParam().signal);
  } else {
    server->closeInput();
  }
  EXPECT_EQ(server->waitForExit(), (ExitStatus{true, GetParam().status, false, 0}));
  EXPECT_TRUE(waitForProcessExit(browser, std::chrono::milliseconds(0)));
  EXPECT_EQ(profileFolders(tmp), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Ends, BrowserEndTest,
                         ::testing::Values(EndCase{"SIGTERM", SIGTERM, 143},
                                           EndCase{"SIGINT", SIGINT, 130},
                                           EndCase{"EndOfInput", 0, 0}),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace varn::tests
