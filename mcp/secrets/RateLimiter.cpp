#include "mcp/secrets/RateLimiter.hpp"

#include <algorithm>
#include <iterator>
#include <map>
#include <string_view>

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
  sweepLocked(cutoff);
  auto entry = hits_.try_emplace(key).first;
  std::deque<double>& hits = entry->second;
  prune(hits, cutoff);
  if (static_cast<long long>(hits.size()) >= limit_) {
    if (hits.empty()) hits_.erase(entry);  // a limit of 0 keeps nothing
    throw RateLimitError::exceeded(key);
  }
  hits.push_back(now);
}

void RateLimiter::sweepLocked(double cutoff) {
  if (hits_.size() < sweepAt_) return;
  for (auto it = hits_.begin(); it != hits_.end();) {
    prune(it->second, cutoff);
    it = it->second.empty() ? hits_.erase(it) : std::next(it);
  }
  sweepAt_ = std::max(kMinSweepKeys, 2 * hits_.size());
}

void RateLimiter::checkAll(const std::vector<std::string>& keys, double now) {
  std::lock_guard<std::mutex> lock(mutex_);
  const double cutoff = now - window_;
  sweepLocked(cutoff);
  std::map<std::string_view, long long> wanted;
  for (const std::string& key : keys) ++wanted[key];
  for (const std::string& key : keys) {
    const auto entry = hits_.find(key);
    long long held = 0;
    if (entry != hits_.end()) {
      prune(entry->second, cutoff);
      held = static_cast<long long>(entry->second.size());
    }
    if (held + wanted[key] > limit_) {
      // Nothing is recorded: a key this check left without hits goes, as check() drops it.
      for (const std::string& other : keys) {
        if (auto kept = hits_.find(other); kept != hits_.end() && kept->second.empty()) {
          hits_.erase(kept);
        }
      }
      throw RateLimitError::exceeded(key);
    }
  }
  for (const auto& [key, count] : wanted) {
    std::deque<double>& hits = hits_[std::string(key)];
    hits.insert(hits.end(), static_cast<std::size_t>(count), now);
  }
}

std::size_t RateLimiter::keyCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return hits_.size();
}

}  // namespace varn::mcp
