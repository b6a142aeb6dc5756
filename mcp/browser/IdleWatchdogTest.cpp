#include "mcp/browser/IdleWatchdog.hpp"

#include <deque>
#include <future>
#include <mutex>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "mcp/browser/testing/ManualClock.hpp"

namespace varn::mcp {
namespace {

using std::chrono::seconds;
using Waits = std::vector<std::optional<IdleClock::Instant>>;

class IdleWatchdogTest : public ::testing::Test {
 protected:
  // A watchdog over the manual clock whose outside-use answers are served from `answers` (the
  // last one repeats) and whose idle action counts and signals.
  std::unique_ptr<IdleWatchdog> make(seconds window, std::deque<bool> answers,
                                     std::function<void()> alsoOnIdle = {}) {
    answers_ = std::move(answers);
    return std::make_unique<IdleWatchdog>(
        clock_, window,
        [this] {
          std::lock_guard lock(mutex_);
          ++outsideUseCalls_;
          const bool next = answers_.front();
          if (answers_.size() > 1) answers_.pop_front();
          return next;
        },
        [this, alsoOnIdle] {
          if (alsoOnIdle) alsoOnIdle();
          idle_.set_value();
        });
  }

  bool idled() { return idle_.get_future().wait_for(seconds(30)) == std::future_status::ready; }
  int outsideUseCalls() {
    std::lock_guard lock(mutex_);
    return outsideUseCalls_;
  }

  std::shared_ptr<fakes::ManualClock> clock_ = std::make_shared<fakes::ManualClock>();
  std::promise<void> idle_;

 private:
  std::mutex mutex_;
  std::deque<bool> answers_;
  int outsideUseCalls_ = 0;
};

struct OutsideUseCase {
  const char* name;
  std::deque<bool> answers;  // asked at each deadline
  Waits waits;               // the deadlines the watch sleeps towards, in order
};

class OutsideUseTest : public IdleWatchdogTest,
                       public ::testing::WithParamInterface<OutsideUseCase> {};

// At each deadline the clock is moved exactly there; the watch stops the browser at the first
// deadline without outside use.
TEST_P(OutsideUseTest, EachOutsideUseGrantsOneMoreWindow) {
  auto watchdog = make(seconds(10), GetParam().answers);
  watchdog->restart();
  for (const auto& deadline : GetParam().waits) {
    ASSERT_TRUE(clock_->awaitWaiter(deadline));
    clock_->advance(*deadline);
  }
  ASSERT_TRUE(idled());
  EXPECT_EQ(clock_->waits(), GetParam().waits);
  EXPECT_EQ(outsideUseCalls(), static_cast<int>(GetParam().waits.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OutsideUseTest,
    ::testing::Values(OutsideUseCase{"None", {false}, {seconds(10)}},
                      OutsideUseCase{"Once", {true, false}, {seconds(10), seconds(20)}},
                      OutsideUseCase{
                          "Twice", {true, true, false}, {seconds(10), seconds(20), seconds(30)}}),
    [](const auto& param) { return param.param.name; });

// A call that waits past the deadline (an approval, a slow page) holds the stop off without
// asking about outside use; its end counts as use.
TEST_F(IdleWatchdogTest, ACallInProgressHoldsTheStopOffAndItsEndCountsAsUse) {
  auto watchdog = make(seconds(10), {false});
  watchdog->restart();
  ASSERT_TRUE(clock_->awaitWaiter(seconds(10)));
  clock_->advance(seconds(5));
  watchdog->beginUse();
  clock_->advance(seconds(10));
  ASSERT_TRUE(clock_->awaitWaiter(seconds(15)));
  clock_->advance(seconds(15));
  ASSERT_TRUE(clock_->awaitWaiter(seconds(25)));
  clock_->advance(seconds(20));
  watchdog->endUse();
  clock_->advance(seconds(25));
  ASSERT_TRUE(clock_->awaitWaiter(seconds(30)));
  clock_->advance(seconds(30));
  ASSERT_TRUE(idled());
  EXPECT_EQ(clock_->waits(), (Waits{seconds(10), seconds(15), seconds(25), seconds(30)}));
  EXPECT_EQ(outsideUseCalls(), 1);
}

TEST_F(IdleWatchdogTest, ActivityDuringTheWindowMovesTheDeadline) {
  auto watchdog = make(seconds(10), {false});
  watchdog->restart();
  ASSERT_TRUE(clock_->awaitWaiter(seconds(10)));
  clock_->advance(seconds(4));
  watchdog->touch();
  clock_->advance(seconds(10));
  ASSERT_TRUE(clock_->awaitWaiter(seconds(14)));
  clock_->advance(seconds(14));
  ASSERT_TRUE(idled());
  EXPECT_EQ(clock_->waits(), (Waits{seconds(10), seconds(14)}));
}

TEST_F(IdleWatchdogTest, OverrideTakesEffectAtTheNextPassAndClearsBackToTheDefault) {
  auto watchdog = make(seconds(10), {false});
  watchdog->setOverride(seconds(3));
  EXPECT_EQ(watchdog->window(), seconds(3));
  watchdog->setOverride(std::nullopt);
  EXPECT_EQ(watchdog->window(), seconds(10));
  watchdog->restart();
  ASSERT_TRUE(clock_->awaitWaiter(seconds(10)));
  watchdog->setOverride(seconds(30));
  clock_->advance(seconds(10));
  ASSERT_TRUE(clock_->awaitWaiter(seconds(30)));
  clock_->advance(seconds(30));
  ASSERT_TRUE(idled());
}

TEST_F(IdleWatchdogTest, WindowOfZeroOrLessStartsNoWatch) {
  for (seconds window : {seconds(0), seconds(-5)}) {
    auto watchdog = make(window, {false});
    watchdog->restart();
    EXPECT_FALSE(watchdog->watching());
  }
  auto watchdog = make(seconds(10), {false});
  watchdog->setOverride(seconds(0));
  watchdog->restart();
  EXPECT_FALSE(watchdog->watching());
  EXPECT_EQ(outsideUseCalls(), 0);
}

// Windows past ten years have no deadline at all, up to the largest number of seconds there is:
// nothing overflows and the watch waits until it is cancelled.
TEST_F(IdleWatchdogTest, HugeWindowsHaveNoDeadline) {
  for (seconds window : {IdleWatchdog::kMaxWindow + seconds(1), seconds::max()}) {
    auto watchdog = make(window, {false});
    watchdog->restart();
    ASSERT_TRUE(clock_->awaitWaiter(std::nullopt));
    clock_->advance(clock_->now() + seconds(std::int64_t{100} * 365 * 24 * 3600));
    watchdog->cancel();
    watchdog.reset();
  }
  auto watchdog = make(IdleWatchdog::kMaxWindow, {false});
  watchdog->restart();
  EXPECT_TRUE(clock_->awaitWaiter(clock_->now() + IdleWatchdog::kMaxWindow));
}

TEST_F(IdleWatchdogTest, CancelAndRestartEndTheWatchWithoutStopping) {
  auto watchdog = make(seconds(10), {false});
  watchdog->restart();
  ASSERT_TRUE(clock_->awaitWaiter(seconds(10)));
  clock_->advance(seconds(5));
  watchdog->touch();
  watchdog->restart();  // the first watch ends; the second waits from the new activity
  ASSERT_TRUE(clock_->awaitWaiter(seconds(15)));
  watchdog->cancel();
  EXPECT_FALSE(watchdog->watching());
  clock_->advance(seconds(100));
  watchdog.reset();  // joins both watches: neither ran the idle action
  EXPECT_EQ(idle_.get_future().wait_for(seconds(0)), std::future_status::timeout);
}

// The controller's stop cancels the watch from inside the idle action.
TEST_F(IdleWatchdogTest, IdleActionMayCancelItsOwnWatch) {
  IdleWatchdog* self = nullptr;
  auto watchdog = make(seconds(1), {false}, [&] { self->cancel(); });
  self = watchdog.get();
  watchdog->restart();
  ASSERT_TRUE(clock_->awaitWaiter(seconds(1)));
  clock_->advance(seconds(1));
  ASSERT_TRUE(idled());
  watchdog->touch();
  watchdog->restart();  // reaps the ended watch and starts anew
  EXPECT_TRUE(clock_->awaitWaiter(seconds(2)));
}

}  // namespace
}  // namespace varn::mcp
