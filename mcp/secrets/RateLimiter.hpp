#pragma once

#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <unordered_map>

namespace varn::mcp {

// The limiter's refusal, carrying the key that was refused. The resolve road turns it into
// ResolveError::rateLimited; its what() is only the case form, exceeded("<key>").
class RateLimitError : public std::exception {
 public:
  enum class Case { exceeded };

  static RateLimitError exceeded(std::string key) { return RateLimitError(std::move(key)); }
  Case errorCase() const noexcept { return Case::exceeded; }
  const std::string& key() const noexcept { return key_; }
  const char* what() const noexcept override { return printed_.c_str(); }
  bool operator==(const RateLimitError& other) const noexcept { return key_ == other.key_; }

 private:
  explicit RateLimitError(std::string key)
      : key_(std::move(key)), printed_("exceeded(\"" + key_ + "\")") {}

  std::string key_;
  std::string printed_;
};

// Sliding-window limiter shared by every resolve: at most `limit` accepted hits per key within any
// `window` seconds. A hit exactly `window` seconds old no longer counts; refused attempts are not
// recorded, so a burst of refusals never extends a lock-out. A key's hits are pruned only when
// that key is checked; keys are never removed.
// Thread-safe: each check runs alone from reading to storing the key's hits. Never blocks on I/O.
class RateLimiter final {
 public:
  // `windowSeconds` is the window's length; a limit of 0 (or less) refuses every check.
  RateLimiter(int limit, double windowSeconds);

  RateLimiter(const RateLimiter&) = delete;
  RateLimiter& operator=(const RateLimiter&) = delete;

  // Records a hit at `now` (wall-clock seconds since 1970) for `key`, or throws
  // RateLimitError::exceeded(key) when the key already has `limit` hits later than now - window.
  void check(const std::string& key, double now);

 private:
  const int limit_;
  const double window_;
  std::mutex mutex_;
  std::unordered_map<std::string, std::deque<double>> hits_;  // guarded by mutex_; oldest first
};

}  // namespace varn::mcp
