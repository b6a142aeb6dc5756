#pragma once

// The clock of the browser's idle watchdog: it keeps counting while the machine sleeps, so a
// window that ran out during a suspend has run out on resume. std::chrono::steady_clock stops
// during a suspend and cannot be used here.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "support/UniqueFd.hpp"

namespace varn::mcp {

// A one-way switch that ends a wait on an IdleClock. Thread-safe; cancel() may be called from any
// thread, also from the one that waits.
class Cancellation final {
 public:
  Cancellation();
  ~Cancellation();
  Cancellation(const Cancellation&) = delete;
  Cancellation& operator=(const Cancellation&) = delete;

  // Sets the switch and wakes every wait on it. Idempotent.
  void cancel();
  [[nodiscard]] bool cancelled() const;

  // A descriptor that becomes readable once cancel() was called (for waits that poll).
  [[nodiscard]] int fd() const noexcept { return eventFd_.get(); }

  // Blocks until the switch is set or `done()` holds, re-checking `done` on every notify(); returns
  // false when cancelled. For clocks whose time is advanced by another thread.
  bool waitFor(const std::function<bool()>& done);
  // Wakes waitFor() to re-check its condition.
  void notify();

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool cancelled_ = false;  // guarded by mutex_
  support::UniqueFd eventFd_;
};

// A monotonic clock and a wait on it that a Cancellation cuts short. Implementations are
// thread-safe.
class IdleClock {
 public:
  // Time since an unspecified start, fixed for the life of the process.
  using Instant = std::chrono::nanoseconds;

  virtual ~IdleClock() = default;

  [[nodiscard]] virtual Instant now() const = 0;

  // Blocks until now() reaches `deadline` (for ever when it is absent) or `cancel` is set. Returns
  // false when the wait ended by cancellation.
  virtual bool waitUntil(std::optional<Instant> deadline, Cancellation& cancel) = 0;

 protected:
  IdleClock() = default;
};

// CLOCK_BOOTTIME: counts on while the machine sleeps. Waits arm a timer on that clock and wake
// on the deadline or the cancellation, whichever comes first; they do no work meanwhile.
[[nodiscard]] std::shared_ptr<IdleClock> bootClock();

}  // namespace varn::mcp
