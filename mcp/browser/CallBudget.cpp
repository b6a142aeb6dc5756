#include "mcp/browser/CallBudget.hpp"

#include <algorithm>
#include <string>

#include "mcp/browser/BrowserController.hpp"

namespace varn::mcp {
namespace {

thread_local CallBudget* current = nullptr;

}  // namespace

CallBudget::CallBudget(std::chrono::milliseconds total, Clock clock)
    : total_(total), clock_(std::move(clock)), end_(clock_() + total), outer_(current) {
  if (outer_ != nullptr) end_ = std::min(end_, outer_->end_);
  current = this;
}

CallBudget::CallBudget() : CallBudget(kToolCall - kAnswerReserve) {
  // Named as the caller knows it.
  total_ = kToolCall;
}

CallBudget::CallBudget(const Share& shared)
    : total_(shared.total_),
      clock_(shared.clock_),
      end_(shared.end_),
      outer_(current),
      installed_(shared.present_) {
  if (!installed_) return;
  if (outer_ != nullptr) end_ = std::min(end_, outer_->end_);
  current = this;
}

CallBudget::~CallBudget() {
  if (installed_) current = outer_;
}

CallBudget::Share::Share() {
  if (current == nullptr) return;
  present_ = true;
  total_ = current->total_;
  clock_ = current->clock_;
  end_ = current->end_;
}

std::chrono::milliseconds CallBudget::clamp(std::chrono::milliseconds wanted,
                                            std::string_view what) {
  if (current == nullptr) return wanted;
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(current->end_ - current->clock_());
  if (left <= std::chrono::milliseconds(0)) {
    throw BrowserError::callTooLong(
        std::chrono::duration_cast<std::chrono::seconds>(current->total_).count(),
        std::string(what));
  }
  return std::min(wanted, left);
}

CallBudget::Pause::Pause() : budget_(current) {
  if (budget_ != nullptr) began_ = budget_->clock_();
}

CallBudget::Pause::~Pause() {
  if (budget_ == nullptr) return;
  // The paused time is given back to this budget and every one it is nested in.
  const auto paused = budget_->clock_() - began_;
  for (CallBudget* budget = budget_; budget != nullptr; budget = budget->outer_) {
    budget->end_ += paused;
  }
}

}  // namespace varn::mcp
