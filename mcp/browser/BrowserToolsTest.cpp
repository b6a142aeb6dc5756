#include "mcp/browser/BrowserTools.hpp"

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mcp/browser/testing/ScriptedController.hpp"
#include "mcp/secrets/testing/ScriptedVault.hpp"

namespace varn::mcp {
namespace {

using fakes::ScriptedController;
using support::Json;
using Calls = std::vector<std::string>;

// Decodes `args` as the tool's input, runs the tool and returns its output as compact JSON, or
// "error: " and the error's text, as the server would print them.
std::string runTool(const std::string& tool, const std::string& args,
                    const std::shared_ptr<ScriptedController>& controller) {
  const Json json = Json::parse(args);
  auto output = [](const auto& record) {
    return support::dumpCompact(support::encodeRecord(record));
  };
  try {
    if (tool == "browser_start") {
      return output(
          BrowserStartTool(controller).run(support::decodeRecord<BrowserStartInput>(json)));
    }
    if (tool == "browser_stop") return output(BrowserStopTool(controller).run());
    if (tool == "browser_navigate") {
      return output(
          BrowserNavigateTool(controller).run(support::decodeRecord<BrowserNavigateInput>(json)));
    }
    if (tool == "browser_tabs") {
      return output(BrowserTabsTool(controller).run(support::decodeRecord<BrowserTabsInput>(json)));
    }
    if (tool == "browser_dialog") {
      return output(
          BrowserDialogTool(controller).run(support::decodeRecord<BrowserDialogInput>(json)));
    }
  } catch (const std::exception& error) {
    return std::string("error: ") + error.what();
  }
  return "no such tool";
}

struct ToolCase {
  const char* name;
  const char* tool;
  const char* args;
  std::function<void(ScriptedController&)> setup;
  const char* expected;
  Calls calls;
};

void PrintTo(const ToolCase& c, std::ostream* out) {
  *out << c.name;
}

const auto kStopped = [](ScriptedController& c) { c.running = false; };
const auto kNothing = [](ScriptedController&) {};
auto failing(const char* operation) {
  return [operation](ScriptedController& c) {
    c.failures.emplace(operation, BrowserError::cdpFailure("boom"));
  };
}

constexpr const char* kNoBrowser = "error: no Varn browser is running — call browser_start first";
constexpr const char* kBoom = "error: browser (CDP) failure: boom";
constexpr const char* kTwoTabs =
    R"({"tabs":[{"id":"A","url":"https://a/","title":"A","active":true},)"
    R"({"id":"B","url":"chrome://newtab/","title":"","active":false}]})";

class BrowserToolsTest : public ::testing::TestWithParam<ToolCase> {};

TEST_P(BrowserToolsTest, AnswersWithTheExpectedTextAfterExactlyTheExpectedControllerCalls) {
  auto controller = std::make_shared<ScriptedController>();
  controller->tabs = {TabInfo{"A", "https://a/", "A", true},
                      TabInfo{"B", "chrome://newtab/", "", false}};
  GetParam().setup(*controller);
  EXPECT_EQ(runTool(GetParam().tool, GetParam().args, controller), GetParam().expected);
  EXPECT_EQ(controller->calls, GetParam().calls);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BrowserToolsTest,
    ::testing::Values(
        // browser_start: no running check; the idle window goes first; absent headless = headed.
        ToolCase{"StartHeadedByDefault", "browser_start", "{}", kStopped,
                 R"({"cdp_port":9223,"already_running":false})", Calls{"start headed"}},
        ToolCase{"StartWithZeroIdleWindow", "browser_start",
                 R"({"headless":true,"idle_timeout_seconds":0})",
                 [](ScriptedController& c) {
                   c.started = {9333, true};
                 },
                 R"({"cdp_port":9333,"already_running":true})",
                 Calls{"setIdleTimeout 0", "start headless"}},
        ToolCase{"StartHugeIdleWindowPassedOn", "browser_start",
                 R"({"idle_timeout_seconds":9223372036854775807,"headless":null})", kNothing,
                 R"({"cdp_port":9223,"already_running":false})",
                 Calls{"setIdleTimeout 9223372036854775807", "start headed"}},
        ToolCase{"StartNegativeIdleWindowChangesNothing", "browser_start",
                 R"({"idle_timeout_seconds":-1})", kNothing,
                 R"(error: invalidArguments("idle_timeout_seconds must be >= 0"))", Calls{}},
        ToolCase{"StartFailurePassesThrough", "browser_start", "{}", failing("start"), kBoom,
                 Calls{"start headed"}},
        ToolCase{"StopWithNothingRunning", "browser_stop", "{}", kStopped, R"({"stopped":true})",
                 Calls{"stop"}},
        ToolCase{"StopFailurePassesThrough", "browser_stop", "{}", failing("stop"), kBoom,
                 Calls{"stop"}},
        // browser_navigate: running check, then the scheme check, then the controller.
        ToolCase{"NavigateWithoutBrowser", "browser_navigate", R"j({"url":"javascript:alert(1)"})j",
                 kStopped, kNoBrowser, Calls{"isRunning"}},
        ToolCase{"NavigateRefusesJavascript", "browser_navigate",
                 R"j({"url":" \tjava\nscript:alert(1)"})j", kNothing,
                 R"(error: invalidArguments("url must be http, https or about:blank"))",
                 Calls{"isRunning"}},
        ToolCase{"NavigateReadsBackTheURL", "browser_navigate", R"({"url":"HTTPS://a/"})", kNothing,
                 R"({"url":"https://example.com/"})",
                 Calls{"isRunning", "navigate HTTPS://a/", "currentURL"}},
        ToolCase{"NavigateTakesTheAddressTheLoadShowed", "browser_navigate",
                 R"({"url":"https://a/"})",
                 [](ScriptedController& c) { c.navigated = "https://a/home"; },
                 R"({"url":"https://a/home"})", Calls{"isRunning", "navigate https://a/"}},
        ToolCase{"NavigateEmptyReadBackIsTheResult", "browser_navigate", R"({"url":"about:blank"})",
                 [](ScriptedController& c) { c.url = ""; }, R"({"url":""})",
                 Calls{"isRunning", "navigate about:blank", "currentURL"}},
        ToolCase{"NavigateFailedReadBackGivesTheRequestedURL", "browser_navigate",
                 R"({"url":"http://a/x"})", failing("currentURL"), R"({"url":"http://a/x"})",
                 Calls{"isRunning", "navigate http://a/x", "currentURL"}},
        ToolCase{"NavigateFailurePassesThrough", "browser_navigate", R"({"url":"http://a/"})",
                 failing("navigate"), kBoom, Calls{"isRunning", "navigate http://a/"}},
        // browser_tabs: running check before any argument check; exact action names.
        ToolCase{"TabsWithoutBrowserBeforeTheActionCheck", "browser_tabs",
                 R"({"action":"shuffle"})", kStopped, kNoBrowser, Calls{"isRunning"}},
        ToolCase{"TabsList", "browser_tabs", R"({"action":"list"})", kNothing, kTwoTabs,
                 Calls{"isRunning", "listTabs"}},
        ToolCase{"TabsActionIsCaseSensitive", "browser_tabs", R"({"action":"List"})", kNothing,
                 R"(error: invalidArguments("action must be one of list|activate|close"))",
                 Calls{"isRunning"}},
        ToolCase{"TabsActivateNeedsId", "browser_tabs", R"({"action":"activate"})", kNothing,
                 R"(error: invalidArguments("activate requires id"))", Calls{"isRunning"}},
        ToolCase{"TabsCloseNeedsId", "browser_tabs", R"({"action":"close","id":null})", kNothing,
                 R"(error: invalidArguments("close requires id"))", Calls{"isRunning"}},
        ToolCase{"TabsActivateWithEmptyIdReachesTheController", "browser_tabs",
                 R"({"action":"activate","id":""})", kNothing, kTwoTabs,
                 Calls{"isRunning", "activateTab ", "listTabs"}},
        ToolCase{"TabsCloseListsAfterTheClose", "browser_tabs", R"({"action":"close","id":"B"})",
                 [](ScriptedController& c) { c.tabs.pop_back(); },
                 R"({"tabs":[{"id":"A","url":"https://a/","title":"A","active":true}]})",
                 Calls{"isRunning", "closeTab B", "listTabs"}},
        ToolCase{"TabsActionFailureSkipsTheListing", "browser_tabs",
                 R"({"action":"activate","id":"A"})", failing("activateTab"), kBoom,
                 Calls{"isRunning", "activateTab A"}},
        ToolCase{"TabsListingFailure", "browser_tabs", R"({"action":"list"})", failing("listTabs"),
                 kBoom, Calls{"isRunning", "listTabs"}},
        // browser_dialog
        ToolCase{"DialogWithoutBrowserBeforeTheActionCheck", "browser_dialog",
                 R"({"action":"maybe"})", kStopped, kNoBrowser, Calls{"isRunning"}},
        ToolCase{"DialogActionIsCaseSensitive", "browser_dialog", R"({"action":"Accept"})",
                 kNothing, R"(error: invalidArguments("action must be accept or dismiss"))",
                 Calls{"isRunning"}},
        ToolCase{"DialogAcceptWithoutText", "browser_dialog", R"({"action":"accept"})", kNothing,
                 R"({"handled":true})", Calls{"isRunning", "handleDialog true none"}},
        ToolCase{"DialogDismissPassesTheTextAllTheSame", "browser_dialog",
                 R"({"action":"dismiss","prompt_text":"x y"})", kNothing, R"({"handled":true})",
                 Calls{"isRunning", "handleDialog false x y"}},
        ToolCase{"DialogFailurePassesThrough", "browser_dialog", R"({"action":"accept"})",
                 failing("handleDialog"), kBoom, Calls{"isRunning", "handleDialog true none"}}),
    [](const auto& param) { return std::string(param.param.name); });

// Decoding is strict: a mistyped key never reaches the controller.
TEST(BrowserToolsInputTest, MistypedArgumentsFailToDecodeBeforeAnyCall) {
  for (const auto& [tool, args] : std::vector<std::pair<std::string, std::string>>{
           {"browser_start", R"({"idle_timeout_seconds":1.5})"},
           {"browser_start", R"({"headless":"yes"})"},
           {"browser_navigate", R"({})"},
           {"browser_tabs", R"({"action":"close","id":7})"},
           {"browser_dialog", R"({"action":"accept","prompt_text":false})"}}) {
    auto controller = std::make_shared<ScriptedController>();
    EXPECT_EQ(runTool(tool, args, controller).rfind("error: ", 0), 0u) << tool << " " << args;
    EXPECT_EQ(controller->calls, Calls{}) << tool << " " << args;
  }
}

TEST(CredentialCaptureToolTest, ReturnsOnlyRefAndNameAndWorksWithoutBrowser) {
  auto vault = std::make_shared<fakes::ScriptedVault>();
  vault->managementReplies[VaultRequest::Op::capture] = Json::parse(
      R"({"id":"1","ref":"varn://Work/Site/password","name":"Site","field_label":"password",)"
      R"("kind":"login","ai_access":"injectable","group":"g","url":"https://site"})");
  const CredentialCaptureTool tool(vault);
  EXPECT_EQ(support::dumpCompact(
                support::encodeRecord(tool.run(support::decodeRecordText<CredentialCaptureInput>(
                    R"({"origin":"https://site","name":"N"})")))),
            R"({"ref":"varn://Work/Site/password","name":"Site"})");
  ASSERT_EQ(vault->calls().size(), 1u);
  EXPECT_EQ(support::dumpCompact(vault->calls()[0].arguments),
            R"({"name":"N","url":"https://site"})");

  vault->failAfter = 1;
  vault->failure = ToolError::upstream("vault is locked");
  try {
    (void)tool.run(CredentialCaptureInput{"https://site", std::nullopt});
    ADD_FAILURE() << "no error";
  } catch (const ToolError& error) {
    EXPECT_EQ(error, ToolError::upstream("vault is locked"));
  }
}

}  // namespace
}  // namespace varn::mcp
