#include <array>
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

class CDPBrowserControllerWorldsTest : public fakes::ScriptedBrowserTest {};

// A document's isolated world is made once: its context id serves the first call alone, an object
// of that call's answer every later one, until the document (and so the object) is gone.
TEST_F(CDPBrowserControllerWorldsTest, AWorldIsMadeOncePerDocumentAndCalledByAnObjectOfIt) {
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
TEST_F(CDPBrowserControllerWorldsTest, ANavigationMakesTheWorldOfItsDocumentWhileItLoads) {
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

}  // namespace
}  // namespace varn::mcp
