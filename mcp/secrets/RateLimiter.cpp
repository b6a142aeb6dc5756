#include "mcp/secrets/RateLimiter.hpp"

namespace varn::mcp {

RateLimiter::RateLimiter(int limit, double windowSeconds) : limit_(limit), window_(windowSeconds) {}

void RateLimiter::check(const std::string& key, double now) {
  std::lock_guard<std::mutex> lock(mutex_);
  const double cutoff = now - window_;
  std::deque<double>& hits = hits_[key];
  // Hits are appended in call order; drop every one not strictly later than the cutoff, wherever it
  // stands (a wall clock may step back, so the list need not be sorted).
  std::erase_if(hits, [cutoff](double hit) { return !(hit > cutoff); });
  if (static_cast<long long>(hits.size()) >= limit_) throw RateLimitError::exceeded(key);
  hits.push_back(now);
}

}  // namespace varn::mcp
