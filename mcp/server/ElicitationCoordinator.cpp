#include "mcp/server/ElicitationCoordinator.hpp"

#include <utility>

namespace varn::mcp {

void ElicitationCoordinator::open(const std::string& id) {
  std::lock_guard lock(mutex_);
  open_.insert(id);
}

namespace {

const char* const kCancel = "cancel";

}  // namespace

ElicitationResult ElicitationCoordinator::wait(const std::string& id,
                                               std::chrono::steady_clock::duration timeout) {
  std::unique_lock lock(mutex_);
  if (auto early = pending_.find(id); early != pending_.end()) {
    ElicitationResult result = std::move(early->second);
    pending_.erase(early);
    open_.erase(id);
    return result;
  }
  if (closed_) {
    open_.erase(id);
    return ElicitationResult{kCancel};
  }
  auto waiter = std::make_shared<Waiter>();
  waiters_[id] = waiter;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  waiter->answered.wait_until(lock, deadline, [&] { return waiter->result.has_value(); });
  open_.erase(id);
  if (waiter->result) return std::move(*waiter->result);
  // The deadline passed with nobody answering: the wait ends here, under the same lock that an
  // answer would take, so an answer either came before this point or counts as late.
  if (auto mine = waiters_.find(id); mine != waiters_.end() && mine->second == waiter) {
    waiters_.erase(mine);
  }
  expireLocked(id);
  return ElicitationResult{"timeout"};
}

void ElicitationCoordinator::expireLocked(const std::string& id) {
  if (!expired_.insert(id).second) return;
  expiredAge_.push_back(id);
  while (expiredAge_.size() > kMaxExpired) {
    expired_.erase(expiredAge_.front());
    expiredAge_.pop_front();
  }
}

void ElicitationCoordinator::abandon(const std::string& id) {
  std::lock_guard lock(mutex_);
  open_.erase(id);
  pending_.erase(id);
}

void ElicitationCoordinator::close() {
  std::map<std::string, std::shared_ptr<Waiter>> waiting;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    waiting.swap(waiters_);
    for (auto& [id, waiter] : waiting) {
      open_.erase(id);
      waiter->result = ElicitationResult{kCancel};
    }
  }
  for (auto& [id, waiter] : waiting) waiter->answered.notify_one();
}

std::size_t ElicitationCoordinator::expiredCount() const {
  std::lock_guard lock(mutex_);
  return expired_.size();
}

void ElicitationCoordinator::fulfill(const std::string& id, ElicitationResult response) {
  std::shared_ptr<Waiter> waiter;
  {
    std::lock_guard lock(mutex_);
    if (auto waiting = waiters_.find(id); waiting != waiters_.end()) {
      waiter = std::move(waiting->second);
      waiters_.erase(waiting);
      open_.erase(id);  // done now: a further answer must not be parked
      waiter->result = std::move(response);
    } else if (auto late = expired_.find(id); late != expired_.end()) {
      expired_.erase(late);
      std::erase(expiredAge_, id);
      return;
    } else if (open_.contains(id)) {
      pending_.try_emplace(id, std::move(response));  // an earlier answer stands
      return;
    } else {
      return;
    }
  }
  waiter->answered.notify_one();
}

bool ElicitationCoordinator::isWaiting(const std::string& id) const {
  std::lock_guard lock(mutex_);
  return waiters_.contains(id);
}

}  // namespace varn::mcp
