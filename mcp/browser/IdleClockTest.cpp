#include "mcp/browser/IdleClock.hpp"

#include <thread>

#include <gtest/gtest.h>

namespace varn::mcp {
namespace {

TEST(BootClockTest, WaitsEndAtTheDeadlineOrTheCancellation) {
  const auto clock = bootClock();
  const IdleClock::Instant start = clock->now();
  Cancellation open;
  EXPECT_TRUE(clock->waitUntil(start - std::chrono::seconds(1), open));
  EXPECT_TRUE(clock->waitUntil(start + std::chrono::milliseconds(2), open));
  EXPECT_GE(clock->now(), start + std::chrono::milliseconds(2));

  Cancellation cancelled;
  cancelled.cancel();
  cancelled.cancel();
  EXPECT_FALSE(clock->waitUntil(start + std::chrono::hours(1), cancelled));

  // A wait without a deadline ends only by the cancellation, whichever thread sets it and when.
  Cancellation later;
  std::thread canceller([&] { later.cancel(); });
  EXPECT_FALSE(clock->waitUntil(std::nullopt, later));
  canceller.join();
  EXPECT_TRUE(later.cancelled());
}

}  // namespace
}  // namespace varn::mcp
