#include "mcp/browser/TargetList.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mcp/browser/testing/FakeDevToolsPipe.hpp"

namespace varn::mcp {
namespace {

using support::Json;

Json created(const std::string& id, const std::string& type, const std::string& url,
             const std::string& parent = "") {
  Json info{{"targetId", id}, {"type", type}, {"url", url}, {"title", "t"}, {"attached", false}};
  if (!parent.empty()) info["parentId"] = parent;
  return Json{{"method", "Target.targetCreated"}, {"params", {{"targetInfo", info}}}};
}

Json changed(const std::string& id, const std::string& type, const std::string& url) {
  Json event = created(id, type, url);
  event["method"] = "Target.targetInfoChanged";
  return event;
}

Json destroyed(const std::string& id) {
  return Json{{"method", "Target.targetDestroyed"}, {"params", {{"targetId", id}}}};
}

// The ids of the listed targets in order, with a page's address after "=", a frame's parent after
// "<"; "-" when nothing is listed.
std::string listed(TargetList& list, const CDPConnection& connection) {
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

class TargetListTest : public ::testing::Test {
 protected:
  TargetListTest() { list.bind(&bound); }

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
  list.onEvent(bound, created("P", "page", "https://a/"));
  list.onEvent(bound, created("U", "browser_ui", "chrome://omnibox/"));
  // Not complete before the discovery's answer: targets may still be unreported.
  EXPECT_EQ(listed(list, bound), "-");
  list.discovered(bound);
  list.onEvent(bound, created("F", "iframe", "https://f/", "P"));
  list.onEvent(bound, changed("P", "page", "https://a/next"));
  list.onEvent(other, created("X", "page", "https://x/"));
  list.onEvent(bound, Json{{"method", "Page.frameNavigated"}, {"params", {{"targetId", "U"}}}});
  // Only pages keep their address; another connection's events count for nothing.
  EXPECT_EQ(listed(list, bound), "P=https://a/next U F<P");
  EXPECT_EQ(listed(list, other), "-");
  list.onEvent(bound, destroyed("U"));
  list.onEvent(bound, destroyed("nobody"));
  list.onEvent(bound, changed("F", "iframe", "https://f/2"));
  EXPECT_EQ(listed(list, bound), "P=https://a/next F");
  list.onEvent(bound, destroyed("P"));
  list.onEvent(bound, destroyed("F"));
  // A browser that reports nothing may not report at all: the caller asks it instead.
  EXPECT_EQ(listed(list, bound), "-");
  list.bind(&other);
  list.discovered(other);
  list.onEvent(other, created("Y", "page", "about:blank"));
  EXPECT_EQ(listed(list, other), "Y=about:blank");
  EXPECT_EQ(listed(list, bound), "-");
}

// A page that opens targets without end, or pages with addresses of megabytes, leave the list
// for good (until the next bind) instead of growing it.
TEST_F(TargetListTest, ABrowserOutgrowingTheBoundsIsNoLongerListed) {
  for (const bool byCount : {true, false}) {
    list.bind(&bound);
    list.discovered(bound);
    if (byCount) {
      for (std::size_t n = 0; n < TargetList::kMaxTargets; ++n) {
        list.onEvent(bound, created("F" + std::to_string(n), "iframe", "https://f/", "P"));
      }
      ASSERT_EQ(list.infos(bound)->size(), TargetList::kMaxTargets);
      list.onEvent(bound, changed("F0", "iframe", "https://f/0"));
      ASSERT_NE(list.infos(bound), std::nullopt) << "a change is no new target";
      list.onEvent(bound, created("one-more", "iframe", "https://f/", "P"));
    } else {
      const std::string half(TargetList::kMaxAddressBytes / 2, 'a');
      list.onEvent(bound, created("P", "page", half));
      list.onEvent(bound, created("Q", "page", half));
      // A page's new address replaces its old one in the count.
      list.onEvent(bound, changed("Q", "page", half));
      ASSERT_NE(list.infos(bound), std::nullopt);
      list.onEvent(bound, changed("Q", "page", half + "a"));
    }
    EXPECT_EQ(listed(list, bound), "-");
    list.onEvent(bound, destroyed("P"));
    list.onEvent(bound, created("R", "page", "https://r/"));
    EXPECT_EQ(listed(list, bound), "-") << "outgrown for good";
  }
}

}  // namespace
}  // namespace varn::mcp
