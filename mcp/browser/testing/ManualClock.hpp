#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "mcp/browser/IdleClock.hpp"

namespace varn::mcp::fakes {

// An IdleClock whose time moves only when the test says so. Waits block until advance() reaches
// their deadline or they are cancelled; the test can wait until a wait with a given deadline has
// begun, so no test sleeps to let another thread get somewhere. Thread-safe.
class ManualClock final : public IdleClock {
 public:
  [[nodiscard]] Instant now() const override;
  bool waitUntil(std::optional<Instant> deadline, Cancellation& cancel) override;

  // Moves the time to `to` (never backwards) and wakes the waits.
  void advance(Instant to);

  // Blocks until a wait with exactly this deadline (absent: without one) is in progress; false
  // after a generous guard, when none began.
  bool awaitWaiter(std::optional<Instant> deadline);

  // The deadlines of every wait begun so far, in order.
  [[nodiscard]] std::vector<std::optional<Instant>> waits() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::atomic<Instant> now_{Instant(0)};           // written under mutex_
  std::multiset<std::optional<Instant>> waiting_;  // guarded by mutex_
  std::set<Cancellation*> cancellations_;          // guarded by mutex_
  std::vector<std::optional<Instant>> waits_;      // guarded by mutex_
};

}  // namespace varn::mcp::fakes
