#pragma once

// The time one browser tool call may spend waiting on the browser, whatever the page does: the
// tool sets it up for its thread, and every wait of the controller below it is cut to what is
// left. A human's approval does not count.

#include <chrono>
#include <functional>
#include <string_view>

namespace varn::mcp {

// One call's budget, for the thread that created it, from construction to destruction. Budgets
// nest: an inner one never outlasts the outer one. A thread working for the call (a field
// search's probes) takes up the caller's budget through a Share. Not copyable; lives on the
// calling thread's stack.
class CallBudget final {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  // The budget of every browser tool call, as its caller sees it.
  static constexpr std::chrono::seconds kToolCall{30};
  // The end of a tool call's budget kept for answering: its waits end this much earlier, so that
  // the reply is out within kToolCall also when a wait is cut.
  static constexpr std::chrono::milliseconds kAnswerReserve{1000};

  // The calling thread's budget as it stands when made, for another thread of the same call to
  // take up; holds nothing when the calling thread has no budget. Copyable.
  class Share final {
   public:
    Share();

   private:
    friend class CallBudget;
    bool present_ = false;
    std::chrono::milliseconds total_{};
    Clock clock_;
    std::chrono::steady_clock::time_point end_{};
  };

  // A tool call's budget: kToolCall, its waits ending kAnswerReserve early.
  CallBudget();
  // `total` from now on `clock`.
  explicit CallBudget(std::chrono::milliseconds total, Clock clock = steadyNow);
  // Takes up `shared` on the calling thread while it lives: its waits are cut to what was left of
  // the budget it was made from, on that budget's clock (a pause there after the sharing does not
  // reach it). Changes nothing when `shared` holds no budget.
  explicit CallBudget(const Share& shared);
  ~CallBudget();
  CallBudget(const CallBudget&) = delete;
  CallBudget& operator=(const CallBudget&) = delete;

  // `wanted`, cut to what is left of the calling thread's budget (unchanged without a budget).
  // Throws BrowserError::callTooLong naming `what` when nothing is left.
  static std::chrono::milliseconds clamp(std::chrono::milliseconds wanted, std::string_view what);

  // Stops the calling thread's budget while it lives (a human deciding on an approval); does
  // nothing without a budget.
  class Pause final {
   public:
    Pause();
    ~Pause();
    Pause(const Pause&) = delete;
    Pause& operator=(const Pause&) = delete;

   private:
    CallBudget* budget_;
    std::chrono::steady_clock::time_point began_;
  };

  static std::chrono::steady_clock::time_point steadyNow() {
    return std::chrono::steady_clock::now();
  }

 private:
  std::chrono::milliseconds total_;
  Clock clock_;
  std::chrono::steady_clock::time_point end_;
  CallBudget* outer_;
  bool installed_ = true;
};

}  // namespace varn::mcp
