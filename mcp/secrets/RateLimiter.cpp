#include "mcp/secrets/RateLimiter.hpp"

#include <algorithm>
#include <iterator>

namespace varn::mcp {

RateLimiter::RateLimiter(int limit, double windowSeconds) : limit_(limit), window_(windowSeconds) {}

namespace {

// Drops every hit not strictly later than the cutoff, wherever it stands: hits are appended in
// call order, and a wall clock may step back, so the list need not be sorted.
void prune(std::deque<double>& hits, double cutoff) {
  std::erase_if(hits, [cutoff](double hit) { return !(hit > cutoff); });
}

}  // namespace

void RateLimiter::check(const std::string& key, double now) {
  std::lock_guard<std::mutex> lock(mutex_);
  const double cutoff = now - window_;
  if (hits_.size() >= sweepAt_) {
    for (auto it = hits_.begin(); it != hits_.end();) {
      prune(it->second, cutoff);
      it = it->second.empty() ? hits_.erase(it) : std::next(it);
    }
    sweepAt_ = std::max(kMinSweepKeys, 2 * hits_.size());
  }
  auto entry = hits_.try_emplace(key).first;
  std::deque<double>& hits = entry->second;
  prune(hits, cutoff);
  if (static_cast<long long>(hits.size()) >= limit_) {
    if (hits.empty()) hits_.erase(entry);  // a limit of 0 keeps nothing
    throw RateLimitError::exceeded(key);
  }
  hits.push_back(now);
}

std::size_t RateLimiter::keyCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return hits_.size();
}

}  // namespace varn::mcp
