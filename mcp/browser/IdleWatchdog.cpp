#include "mcp/browser/IdleWatchdog.hpp"

#include <utility>

namespace varn::mcp {

IdleWatchdog::IdleWatchdog(std::shared_ptr<IdleClock> clock, std::chrono::seconds defaultWindow,
                           std::function<bool()> outsideUse, std::function<void()> onIdle)
    : clock_(std::move(clock)),
      defaultWindow_(defaultWindow),
      outsideUse_(std::move(outsideUse)),
      onIdle_(std::move(onIdle)),
      lastActivity_(clock_->now()) {}

IdleWatchdog::~IdleWatchdog() {
  std::list<std::shared_ptr<Watch>> watches;
  {
    std::lock_guard lock(mutex_);
    for (const auto& watch : watches_) watch->cancel.cancel();
    watches.swap(watches_);
    current_.reset();
  }
  for (const auto& watch : watches) watch->thread.join();
}

void IdleWatchdog::touch() {
  const Instant now = clock_->now();
  std::lock_guard lock(mutex_);
  lastActivity_ = now;
}

void IdleWatchdog::beginUse() {
  const Instant now = clock_->now();
  std::lock_guard lock(mutex_);
  lastActivity_ = now;
  ++callsInProgress_;
}

void IdleWatchdog::endUse() {
  const Instant now = clock_->now();
  std::lock_guard lock(mutex_);
  lastActivity_ = now;
  --callsInProgress_;
}

void IdleWatchdog::setOverride(std::optional<std::chrono::seconds> window) {
  std::lock_guard lock(mutex_);
  override_ = window;
}

std::chrono::seconds IdleWatchdog::window() const {
  std::lock_guard lock(mutex_);
  return override_.value_or(defaultWindow_);
}

bool IdleWatchdog::watching() const {
  std::lock_guard lock(mutex_);
  return current_ != nullptr && !current_->finished;
}

void IdleWatchdog::restart() {
  std::lock_guard lock(mutex_);
  if (current_) current_->cancel.cancel();
  current_.reset();
  reapFinishedLocked();
  if (override_.value_or(defaultWindow_) <= std::chrono::seconds(0)) return;
  auto watch = std::make_shared<Watch>();
  watch->thread = std::thread([this, &self = *watch] { this->watch(self); });
  watches_.push_back(watch);
  current_ = std::move(watch);
}

void IdleWatchdog::cancel() {
  std::lock_guard lock(mutex_);
  if (current_) current_->cancel.cancel();
  current_.reset();
  reapFinishedLocked();
}

void IdleWatchdog::reapFinishedLocked() {
  for (auto it = watches_.begin(); it != watches_.end();) {
    if ((*it)->finished) {
      (*it)->thread.join();
      it = watches_.erase(it);
    } else {
      ++it;
    }
  }
}

void IdleWatchdog::watch(Watch& self) {
  while (!self.cancel.cancelled()) {
    std::chrono::seconds window;
    Instant lastActivity;
    {
      std::lock_guard lock(mutex_);
      window = override_.value_or(defaultWindow_);
      lastActivity = lastActivity_;
    }
    // A window turned off or beyond reach while the watch runs waits for the cancellation alone.
    std::optional<Instant> deadline;
    if (window > std::chrono::seconds(0) && window <= kMaxWindow) deadline = lastActivity + window;
    if (!deadline || clock_->now() < *deadline) {
      clock_->waitUntil(deadline, self.cancel);
      continue;
    }
    bool inUse = false;
    {
      std::lock_guard lock(mutex_);
      inUse = callsInProgress_ > 0;
    }
    if (!inUse && outsideUse_) inUse = outsideUse_();
    if (self.cancel.cancelled()) break;
    if (inUse) {
      touch();
      continue;
    }
    onIdle_();
    break;
  }
  std::lock_guard lock(mutex_);
  self.finished = true;
}

}  // namespace varn::mcp
