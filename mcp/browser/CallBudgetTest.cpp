#include "mcp/browser/CallBudget.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "mcp/browser/BrowserController.hpp"
#include "mcp/browser/PageSessions.hpp"
#include "mcp/browser/WebLoginTool.hpp"

namespace varn::mcp {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A clock the test moves by hand.
struct HandClock {
  Clock::time_point now = Clock::time_point(1000s);
  CallBudget::Clock clock() {
    return [this] { return now; };
  }
};

TEST(CallBudgetTest, WaitsAreCutToWhatIsLeftAndPausesGiveTheirTimeBack) {
  EXPECT_EQ(CallBudget::clamp(60s, "x"), 60s);  // no budget on this thread
  const CallBudget::Share none;
  HandClock hand;
  {
    const CallBudget budget(30s, hand.clock());
    EXPECT_EQ(CallBudget::clamp(10s, "x"), 10s);
    hand.now += 25s;
    EXPECT_EQ(CallBudget::clamp(10s, "x"), 5s);
    // Another thread of the call takes up what is left; a share made without a budget gives none.
    const CallBudget::Share shared;
    std::thread([&] {
      EXPECT_EQ(CallBudget::clamp(10s, "x"), 10s);
      {
        const CallBudget nothing(none);
        EXPECT_EQ(CallBudget::clamp(10s, "x"), 10s);
      }
      const CallBudget taken(shared);
      EXPECT_EQ(CallBudget::clamp(10s, "x"), 5s);
    }).join();
    {
      // A nested budget never outlasts the outer one.
      const CallBudget inner(20s, hand.clock());
      EXPECT_EQ(CallBudget::clamp(10s, "x"), 5s);
    }
    {
      const CallBudget::Pause approval;
      hand.now += 120s;  // a human deciding
    }
    EXPECT_EQ(CallBudget::clamp(10s, "x"), 5s);
    hand.now += 5s;
    try {
      (void)CallBudget::clamp(10s, "Runtime.evaluate");
      ADD_FAILURE() << "no error";
    } catch (const BrowserError& error) {
      EXPECT_EQ(error, BrowserError::callTooLong(30, "Runtime.evaluate"));
      EXPECT_STREQ(error.what(),
                   "the browser did not finish within 30 s (waiting for Runtime.evaluate) — the "
                   "page may be stuck");
    }
  }
  EXPECT_EQ(CallBudget::clamp(60s, "x"), 60s);  // ended with its scope
  {
    // A tool call's waits leave time to answer within its 30 s.
    const CallBudget call;
    EXPECT_LE(CallBudget::clamp(60s, "x"), CallBudget::kToolCall - CallBudget::kAnswerReserve);
  }
}

// Pauses that are no DevTools waits: with a millisecond left each ends with the budget, and with
// nothing left it fails at once.
TEST(CallBudgetTest, PausesAreCutToWhatIsLeft) {
  PageSessions pages;
  bool loadSeen = false;
  const struct {
    std::function<void()> pause;
    const char* what;
  } pauses[] = {
      // navigate's pause for the load, asked for an hour
      {[&] { pages.pauseForLoad("target", "session", std::nullopt, loadSeen, 1h); },
       "the page load"},
      // web_login's second between steps
      {&WebLoginTool::pauseOneSecond, "the pause between steps"},
  };
  for (const auto& [pause, what] : pauses) {
    SCOPED_TRACE(what);
    HandClock hand;
    const CallBudget budget(30s, hand.clock());
    hand.now += 30s - 1ms;
    pause();
    hand.now += 1ms;
    try {
      pause();
      ADD_FAILURE() << "no error";
    } catch (const BrowserError& error) {
      EXPECT_EQ(error, BrowserError::callTooLong(30, what));
    }
  }
}

}  // namespace
}  // namespace varn::mcp
