#pragma once

// The time one browser tool call may spend waiting on the browser, whatever the page does: the
// tool sets it up for its thread, and every wait of the controller below it is cut to what is
// left. A human's approval does not count.

#include <chrono>
#include <functional>
#include <string_view>

namespace varn::mcp {

// One call's budget, for the thread that created it, from construction to destruction. Budgets
// nest: an inner one never outlasts the outer one. Not copyable; lives on the calling thread's
// stack.
class CallBudget final {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  // The budget of every browser tool call.
  static constexpr std::chrono::seconds kToolCall{30};

  explicit CallBudget(std::chrono::milliseconds total = kToolCall, Clock clock = steadyNow);
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
};

}  // namespace varn::mcp
