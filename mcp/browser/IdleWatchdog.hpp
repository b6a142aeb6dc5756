#pragma once

#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "mcp/browser/IdleClock.hpp"

namespace varn::mcp {

// Stops the browser once nobody has used it for the idle window: neither the agent (each
// operation calls touch()) nor anything else driving it (a changed targets fingerprint, such as
// a tab opened or a URL changed by an outside DevTools client, grants one more full window).
//
// One watch runs at a time, on a thread of its own, from restart() until cancel(), the next
// restart(), or its own idle action. While the window runs it sleeps on the clock and does nothing
// else; at the deadline (last activity plus the window, both read afresh) it fetches a fingerprint:
// a different one than last recorded counts as activity, an equal one runs `onIdle` once and ends
// the watch. A window of zero or less starts no watch; a window longer than kMaxWindow means no
// deadline.
//
// Thread-safe. `fingerprint` and `onIdle` run on the watch's thread with no lock held; `onIdle`
// may call cancel() (the controller's stop does). The destructor cancels the watch and waits for
// its thread, so whatever `onIdle` and `fingerprint` use must outlive this object.
class IdleWatchdog final {
 public:
  using Instant = IdleClock::Instant;

  // Windows beyond this many seconds (ten years) have no deadline: the arithmetic of a deadline
  // is never asked to hold them.
  static constexpr std::chrono::seconds kMaxWindow{std::int64_t{10} * 366 * 24 * 3600};

  IdleWatchdog(std::shared_ptr<IdleClock> clock, std::chrono::seconds defaultWindow,
               std::function<std::string()> fingerprint, std::function<void()> onIdle);
  ~IdleWatchdog();
  IdleWatchdog(const IdleWatchdog&) = delete;
  IdleWatchdog& operator=(const IdleWatchdog&) = delete;

  // Marks activity now.
  void touch();
  // Replaces the window (absent: back to the default). Takes effect at the watch's next pass.
  void setOverride(std::optional<std::chrono::seconds> window);
  // The override when set, else the default window.
  [[nodiscard]] std::chrono::seconds window() const;
  // Whether a watch is running now (started and not yet ended).
  [[nodiscard]] bool watching() const;

  // Cancels the current watch and, when the window is above zero, starts a new one. Never waits.
  void restart();
  // Cancels the current watch, if any. Never waits for its thread.
  void cancel();

 private:
  struct Watch {
    Cancellation cancel;
    std::thread thread;
    bool finished = false;  // guarded by the watchdog's mutex_
  };

  void watch(Watch& self);
  // Joins the threads of watches that have ended. Requires mutex_ (they never take it again).
  void reapFinishedLocked();

  std::shared_ptr<IdleClock> clock_;
  const std::chrono::seconds defaultWindow_;
  const std::function<std::string()> fingerprint_;
  const std::function<void()> onIdle_;

  mutable std::mutex mutex_;
  std::optional<std::chrono::seconds> override_;  // guarded by mutex_
  Instant lastActivity_;                          // guarded by mutex_
  std::string lastFingerprint_;                   // guarded by mutex_
  std::shared_ptr<Watch> current_;                // guarded by mutex_
  std::list<std::shared_ptr<Watch>> watches_;     // every watch not yet joined; guarded by mutex_
};

}  // namespace varn::mcp
