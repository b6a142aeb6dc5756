#include "mcp/browser/TargetList.hpp"

#include <string>

#include <gtest/gtest.h>

#include "mcp/browser/testing/FakeDevToolsPipe.hpp"

namespace varn::mcp {
namespace {

using support::Json;

// Target.targetCreated (or `method`) of a target as the browser reports it.
Json reported(const std::string& id, const std::string& type, const std::string& url,
              const std::string& method = "Target.targetCreated") {
  Json info{{"targetId", id}, {"type", type}, {"url", url}, {"title", "t"}};
  if (type == "iframe") info["parentId"] = "P";
  return Json{{"method", method}, {"params", {{"targetInfo", info}}}};
}

Json destroyed(const std::string& id) {
  return Json{{"method", "Target.targetDestroyed"}, {"params", {{"targetId", id}}}};
}

class TargetListTest : public ::testing::Test {
 protected:
  TargetListTest() { list.bind(&bound); }

  // The listed ids in order, a page's address after "=", a parent after "<"; "-" for none.
  std::string listed(const CDPConnection& connection) {
    const std::optional<Json> infos = list.infos(connection);
    if (!infos) return "-";
    std::string out;
    for (const Json& info : *infos) {
      out += (out.empty() ? "" : " ") + info.at("targetId").get<std::string>();
      if (info.contains("url")) out += "=" + info.at("url").get<std::string>();
      if (info.contains("parentId")) out += "<" + info.at("parentId").get<std::string>();
    }
    return out;
  }

  // Connections only for their identity: nothing is sent or read.
  static CDPConnection over(fakes::FakeDevToolsPipe& pipe) {
    const auto [readFd, writeFd] = pipe.makePipes();
    return CDPConnection(support::UniqueFd(readFd), support::UniqueFd(writeFd));
  }

  fakes::FakeDevToolsPipe pipeOfBound, pipeOfOther;
  CDPConnection bound = over(pipeOfBound);
  CDPConnection other = over(pipeOfOther);
  TargetList list;
};

TEST_F(TargetListTest, ListsWhatTheEventsReportOnceDiscoveryIsAnswered) {
  list.onEvent(bound, reported("P", "page", "https://a/"));
  EXPECT_EQ(listed(bound), "-") << "targets may be unreported before the discovery's answer";
  list.discovered(bound);
  for (const Json& event :
       {reported("U", "browser_ui", "chrome://omnibox/"), reported("F", "iframe", "https://f/"),
        reported("P", "page", "https://a/next", "Target.targetInfoChanged"), destroyed("U"),
        destroyed("nobody"), Json{{"method", "Page.frameNavigated"}, {"params", Json::object()}}}) {
    list.onEvent(bound, event);
  }
  list.onEvent(other, reported("X", "page", "https://x/"));
  // Only a page keeps its address; a target reported after the discovery's answer comes first;
  // another connection's events count for nothing.
  EXPECT_EQ(listed(bound), "F<P P=https://a/next");
  EXPECT_EQ(listed(other), "-");
  list.onEvent(bound, destroyed("P"));
  list.onEvent(bound, destroyed("F"));
  EXPECT_EQ(listed(bound), "-") << "a browser that reports nothing may not report at all";
}

// The targets there are at the discovery keep the browser's order; a tab opened later comes to the
// front, as does a tab the agent activates, which stays the agent's choice until an ordinary page
// opens or the tab goes.
TEST_F(TargetListTest, OpenedAndActivatedTabsComeFirst) {
  list.onEvent(bound, reported("A", "page", "https://a/"));
  list.onEvent(bound, reported("B", "page", "https://b/"));
  list.discovered(bound);
  EXPECT_EQ(list.activated(bound), std::nullopt);
  list.onEvent(bound, reported("C", "page", "https://c/"));
  EXPECT_EQ(listed(bound), "C=https://c/ A=https://a/ B=https://b/");
  list.activate(bound, "B");
  list.activate(other, "A");
  EXPECT_EQ(listed(bound), "B=https://b/ C=https://c/ A=https://a/");
  EXPECT_EQ(list.activated(bound), "B");
  EXPECT_EQ(list.activated(other), std::nullopt);
  // A background page or a frame opening leaves the choice; a popup, reported before it has an
  // address, ends it.
  list.onEvent(bound, reported("N", "page", "chrome://newtab/"));
  list.onEvent(bound, reported("F", "iframe", "https://f/"));
  EXPECT_EQ(list.activated(bound), "B");
  list.onEvent(bound, reported("P", "page", ""));
  EXPECT_EQ(list.activated(bound), std::nullopt);
  EXPECT_EQ(listed(bound), "P= F<P N=chrome://newtab/ B=https://b/ C=https://c/ A=https://a/");
  // A tab the list does not know yet is the choice all the same, until it goes.
  list.activate(bound, "X");
  EXPECT_EQ(list.activated(bound), "X");
  list.onEvent(bound, destroyed("X"));
  EXPECT_EQ(list.activated(bound), std::nullopt);
  list.activate(bound, "A");
  list.bind(&bound);
  EXPECT_EQ(list.activated(bound), std::nullopt);
}

// Targets without end, or addresses of megabytes, leave the list for good instead of growing it.
TEST_F(TargetListTest, ABrowserOutgrowingTheBoundsIsNoLongerListed) {
  for (const bool byCount : {true, false}) {
    list.bind(&bound);
    list.discovered(bound);
    // A frame's address is not kept: only the pages' count against the bound.
    const std::string half = byCount ? "" : std::string(TargetList::kMaxAddressBytes / 2, 'a');
    for (std::size_t n = 0; n < (byCount ? TargetList::kMaxTargets : 2); ++n) {
      list.onEvent(bound, reported(std::to_string(n), byCount ? "iframe" : "page", half));
    }
    // A change is no new target, and a page's new address replaces its old one in the count.
    list.onEvent(bound,
                 reported("1", byCount ? "iframe" : "page", half, "Target.targetInfoChanged"));
    ASSERT_NE(list.infos(bound), std::nullopt);
    list.onEvent(bound, byCount ? reported("more", "iframe", "")
                                : reported("1", "page", half + "a", "Target.targetInfoChanged"));
    EXPECT_EQ(listed(bound), "-");
    list.onEvent(bound, destroyed("0"));
    list.onEvent(bound, reported("R", "page", "https://r/"));
    EXPECT_EQ(listed(bound), "-") << "outgrown for good";
  }
}

}  // namespace
}  // namespace varn::mcp
