#include "mcp/browser/testing/ManualClock.hpp"

#include <algorithm>

namespace varn::mcp::fakes {

IdleClock::Instant ManualClock::now() const {
  return now_.load();
}

bool ManualClock::waitUntil(std::optional<Instant> deadline, Cancellation& cancel) {
  {
    std::lock_guard lock(mutex_);
    waits_.push_back(deadline);
    waiting_.insert(deadline);
    cancellations_.insert(&cancel);
  }
  changed_.notify_all();
  // The condition reads only the atomic time, so it never takes mutex_ under the cancellation's
  // lock; advance() notifies under mutex_, while the cancellation is still registered.
  const bool reached = cancel.waitFor([&] { return deadline && now_.load() >= *deadline; });
  std::lock_guard lock(mutex_);
  waiting_.erase(waiting_.find(deadline));
  cancellations_.erase(&cancel);
  return reached;
}

void ManualClock::advance(Instant to) {
  std::lock_guard lock(mutex_);
  now_.store(std::max(now_.load(), to));
  for (Cancellation* cancel : cancellations_) cancel->notify();
}

bool ManualClock::awaitWaiter(std::optional<Instant> deadline) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::seconds(30),
                           [&] { return waiting_.count(deadline) > 0; });
}

std::vector<std::optional<IdleClock::Instant>> ManualClock::waits() const {
  std::lock_guard lock(mutex_);
  return waits_;
}

}  // namespace varn::mcp::fakes
