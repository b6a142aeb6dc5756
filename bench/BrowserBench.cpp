// The browser tools of the real varn-mcp against Debian's Chromium, measured beside a floor that
// the benchmark drives itself in the same run: the same Chromium (through the same wrapper, with
// the same flags), started by the benchmark and driven over its own DevTools pipe, without MCP.
//
//   browser_bench [path/to/varn-mcp]
//
// Prints one table; nothing is asserted, the figures are read by people.

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <httplib.h>

#include "bench/DevToolsFloor.hpp"
#include "tests/support/BrowserKit.hpp"

namespace {

using varn::bench::call;
using varn::bench::Clock;
using varn::bench::FloorBrowser;
using varn::bench::floorNavigate;
using varn::bench::kFloorPoll;
using varn::bench::median;
using varn::bench::millis;
using varn::bench::RawDevTools;
using varn::tests::Json;

constexpr int kStarts = 5;
constexpr int kNavigations = 20;
// Page choices timed beside the looping tabs.
constexpr int kChoices = 10;
// A page that tells the page server it runs, then never yields again.
constexpr const char* kLoopingPage =
    "<title>Loop</title><script>var x=new XMLHttpRequest();x.open('GET','/looping',false);"
    "x.send();for(;;){}</script>";
constexpr auto kListFor = std::chrono::seconds(3);
// The proportional set size of a process and all its descendants, in KiB.
long treePssKiB(pid_t root) {
  long total = 0;
  std::vector<pid_t> pending{root};
  while (!pending.empty()) {
    const pid_t pid = pending.back();
    pending.pop_back();
    std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string line;
    while (std::getline(rollup, line)) {
      if (line.rfind("Pss:", 0) == 0) total += std::strtol(line.c_str() + 4, nullptr, 10);
    }
    for (pid_t child : varn::tests::childrenOf(pid)) pending.push_back(child);
  }
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string binary = argc > 1 ? argv[1] : VARN_MCP_BINARY;
  const varn::bench::BrowserScratch scratch;
  const std::string& wrapper = scratch.wrapper;
  const std::string& tmp = scratch.tmp;
  varn::tests::PageServer pages(
      std::map<std::string, std::string>{{"/ready", "<title>ready</title><p>ready at once"},
                                         {"/loop", kLoopingPage},
                                         {"/looping", ""}});

  // The floor: the benchmark's own browser and its pipe.
  std::vector<double> floorStarts;
  std::vector<double> floorNavigations;
  long floorTreePss = 0;
  std::vector<double> floorFirstPages;
  for (int run = 0; run < kStarts; ++run) {
    const Clock::time_point begin = Clock::now();
    FloorBrowser browser(wrapper, tmp + "/floor-" + std::to_string(run));
    floorStarts.push_back(browser.startMs());
    RawDevTools& devtools = browser;
    const std::string session = varn::bench::floorPageSession(devtools);
    floorNavigate(devtools, session, pages.url("/ready") + "?first=" + std::to_string(run));
    floorFirstPages.push_back(millis(Clock::now() - begin));
    if (run > 0) continue;
    for (int i = 0; i < kNavigations; ++i) {
      floorNavigations.push_back(
          floorNavigate(devtools, session, pages.url("/ready") + "?floor=" + std::to_string(i)));
    }
    floorTreePss = treePssKiB(browser.pid());
  }

  // The server: browser_start, browser_navigate and browser_tabs over MCP.
  auto server = scratch.server(binary, scratch.dir.file("v.sock"));
  int id = 0;
  std::vector<double> serverStarts;
  std::vector<double> serverFirstPages;
  for (int run = 0; run < kStarts; ++run) {
    const Clock::time_point begin = Clock::now();
    if (call(server, ++id, "browser_start", {{"headless", true}}).is_null()) return 1;
    serverStarts.push_back(millis(Clock::now() - begin));
    const std::string first = pages.url("/ready") + "?first=" + std::to_string(run);
    if (call(server, ++id, "browser_navigate", {{"url", first}}).is_null()) return 1;
    serverFirstPages.push_back(millis(Clock::now() - begin));
    if (run + 1 < kStarts) call(server, ++id, "browser_stop", Json::object());
  }
  std::vector<double> serverNavigations;
  for (int i = 0; i < kNavigations; ++i) {
    const std::string url = pages.url("/ready") + "?server=" + std::to_string(i);
    const Clock::time_point begin = Clock::now();
    if (call(server, ++id, "browser_navigate", {{"url", url}}).is_null()) return 1;
    serverNavigations.push_back(millis(Clock::now() - begin));
  }
  int lists = 0;
  const Clock::time_point listBegin = Clock::now();
  while (Clock::now() - listBegin < kListFor) {
    if (call(server, ++id, "browser_tabs", {{"action", "list"}}).is_null()) return 1;
    ++lists;
  }
  const double listsPerSecond =
      lists / std::chrono::duration<double>(Clock::now() - listBegin).count();
  const long serverPeak = varn::tests::peakRssKiB(server.pid());
  const std::vector<pid_t> children = varn::tests::childrenOf(server.pid());
  const long serverTreePss = children.empty() ? 0 : treePssKiB(children.front());
  // A frozen browser ignores SIGTERM; the stop waits out its grace and kills it.
  double frozenStop = -1;
  if (children.size() == 1 && kill(children.front(), SIGSTOP) == 0) {
    const Clock::time_point stopBegin = Clock::now();
    call(server, ++id, "browser_stop", Json::object());
    frozenStop = millis(Clock::now() - stopBegin);
  } else {
    call(server, ++id, "browser_stop", Json::object());
  }
  server.closeInput();
  server.waitForExit();

  // The page choice among four tabs, three of them looping at another origin (opened through the
  // operator's DevTools port): the list, and a navigation of the one that does not loop, once
  // the agent activated it; then a navigation of a looping tab, which leaves its loop.
  const std::int64_t cdpPort = varn::tests::unusedLoopbackPort();
  auto looped = scratch.server(binary, scratch.dir.file("v.sock"), "",
                               {"--cdp-port", std::to_string(cdpPort)});
  if (call(looped, ++id, "browser_start", {{"headless", true}}).is_null()) return 1;
  if (call(looped, ++id, "browser_navigate", {{"url", pages.url("/ready")}}).is_null()) return 1;
  const Json before = call(looped, ++id, "browser_tabs", {{"action", "list"}});
  if (before.is_null() || before["tabs"].empty()) return 1;
  const std::string calm = before["tabs"][0]["id"];
  httplib::Client devtools("127.0.0.1", static_cast<int>(cdpPort));
  const std::string loop = "http://localhost:" + std::to_string(pages.port()) + "/loop?";
  for (int tab = 0; tab < 3; ++tab) {
    if (!devtools.Put("/json/new?" + loop + std::to_string(tab))) return 1;
  }
  if (!pages.waitForRequests("/looping", 3)) return 1;
  if (call(looped, ++id, "browser_tabs", {{"action", "activate"}, {"id", calm}}).is_null())
    return 1;
  std::vector<double> loopedLists;
  std::vector<double> loopedNavigations;
  for (int i = 0; i < kChoices; ++i) {
    Clock::time_point begin = Clock::now();
    if (call(looped, ++id, "browser_tabs", {{"action", "list"}}).is_null()) return 1;
    loopedLists.push_back(millis(Clock::now() - begin));
    begin = Clock::now();
    const std::string url = pages.url("/ready") + "?calm=" + std::to_string(i);
    if (call(looped, ++id, "browser_navigate", {{"url", url}}).is_null()) return 1;
    loopedNavigations.push_back(millis(Clock::now() - begin));
  }
  double leaveLoop = -1;
  const Json tabs = call(looped, ++id, "browser_tabs", {{"action", "list"}});
  for (const Json& tab : tabs.is_null() ? Json::array() : tabs["tabs"]) {
    if (tab["id"] == calm) continue;
    call(looped, ++id, "browser_tabs", {{"action", "activate"}, {"id", tab["id"]}});
    const Clock::time_point begin = Clock::now();
    if (call(looped, ++id, "browser_navigate", {{"url", pages.url("/ready")}}).is_null()) return 1;
    leaveLoop = millis(Clock::now() - begin);
    break;
  }
  call(looped, ++id, "browser_stop", Json::object());
  looped.closeInput();
  looped.waitForExit();

  std::printf("%-48s %12s %12s\n", "measurement (median)", "varn-mcp", "floor");
  std::printf("%-48s %9.1f ms %9.1f ms\n", "start until ready (browser_start reply)",
              median(serverStarts), median(floorStarts));
  std::printf("%-48s %9.1f ms %9.1f ms\n", "start to first page (start, then navigate)",
              median(serverFirstPages), median(floorFirstPages));
  std::printf("%-48s %9.1f ms %9.1f ms\n", "navigate a ready local page", median(serverNavigations),
              median(floorNavigations));
  std::printf("%-48s %9.1f ms %12s\n", "browser_tabs list beside 3 looping tabs",
              median(loopedLists), "-");
  std::printf("%-48s %9.1f ms %12s\n", "navigate beside 3 looping tabs", median(loopedNavigations),
              "-");
  std::printf("%-48s %9.1f ms %12s\n", "navigate a looping tab away (once)", leaveLoop, "-");
  std::printf("%-48s %9.0f /s %12s\n", "browser_tabs list calls", listsPerSecond, "-");
  std::printf("%-48s %8.1f MiB %12s\n", "server peak RSS with a browser running (VmHWM)",
              serverPeak / 1024.0, "-");
  std::printf("%-48s %8.1f MiB %8.1f MiB\n", "browser tree PSS", serverTreePss / 1024.0,
              floorTreePss / 1024.0);
  std::printf("%-48s %9.1f ms %12s\n", "browser_stop of a frozen browser", frozenStop, "-");
  return 0;
}
