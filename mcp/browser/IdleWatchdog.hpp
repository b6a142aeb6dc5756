#pragma once

#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "mcp/browser/IdleClock.hpp"

namespace varn::mcp {

// Stops the browser once nobody has used it for the idle window. Use is what the agent does
// with it: a call begins and ends (beginUse/endUse; touch marks a moment of use), and no idle stop
// comes while a call is in progress, however long it waits (an approval, a slow page). The
// browser's own life (a page changing its address, a tab opening by itself) is not use. At the
// deadline `outsideUse` is asked too: true (an operator's DevTools client connected to the
// browser's port) grants one more full window.
//
// One watch runs at a time, on a thread of its own, from restart() until cancel(), the next
// restart(), or its own idle action. While the window runs it sleeps on the clock and does nothing
// else; at the deadline (last use plus the window, both read afresh) a call in progress or an
// outside use counts as use now, else `onIdle` runs once and the watch ends. A window of zero or
// less starts no watch; a window longer than kMaxWindow means no deadline.
//
// Thread-safe. `outsideUse` and `onIdle` run on the watch's thread with no lock held; `onIdle`
// may call cancel() (the controller's stop does). The destructor cancels the watch and waits for
// its thread, so whatever `onIdle` and `outsideUse` use must outlive this object.
class IdleWatchdog final {
 public:
  using Instant = IdleClock::Instant;

  // Windows beyond this many seconds (ten years) have no deadline: the arithmetic of a deadline
  // is never asked to hold them.
  static constexpr std::chrono::seconds kMaxWindow{std::int64_t{10} * 366 * 24 * 3600};

  IdleWatchdog(std::shared_ptr<IdleClock> clock, std::chrono::seconds defaultWindow,
               std::function<bool()> outsideUse, std::function<void()> onIdle);
  ~IdleWatchdog();
  IdleWatchdog(const IdleWatchdog&) = delete;
  IdleWatchdog& operator=(const IdleWatchdog&) = delete;

  // Marks use now.
  void touch();
  // A call begins: marks use now, and no idle stop comes until the matching endUse().
  void beginUse();
  // The call has ended: marks use now.
  void endUse();
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
  const std::function<bool()> outsideUse_;
  const std::function<void()> onIdle_;

  mutable std::mutex mutex_;
  std::optional<std::chrono::seconds> override_;  // guarded by mutex_
  Instant lastActivity_;                          // guarded by mutex_
  int callsInProgress_ = 0;                       // guarded by mutex_
  std::shared_ptr<Watch> current_;                // guarded by mutex_
  std::list<std::shared_ptr<Watch>> watches_;     // every watch not yet joined; guarded by mutex_
};

}  // namespace varn::mcp
