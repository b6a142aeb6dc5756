#pragma once

#include <cstddef>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

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
// recorded, so a burst of refusals never extends a lock-out. A key's hits are pruned when that key
// is checked, and keys whose window is empty are dropped: at once when a check leaves the key with
// no hit, and for every key in a sweep each time the table has doubled since the last one, so
// memory follows the keys in use rather than every key ever seen (a flood of distinct references).
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

  // Records one hit at `now` for every element of `keys` (a key named n times takes n hits), or,
  // when any key lacks the room for all of its hits, records none and throws
  // RateLimitError::exceeded with the first such key in the order given. All or nothing, so a use
  // that needs several values is refused before the first of them is asked for.
  void checkAll(const std::vector<std::string>& keys, double now);

  // Keys with hits kept now (for observers such as tests).
  [[nodiscard]] std::size_t keyCount() const;

  // The table is never swept below this many keys.
  static constexpr std::size_t kMinSweepKeys = 1024;

 private:
  // Sweeps the table when it has doubled since the last sweep. Requires mutex_.
  void sweepLocked(double cutoff);

  const int limit_;
  const double window_;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, std::deque<double>> hits_;  // guarded by mutex_; oldest first
  std::size_t sweepAt_ = kMinSweepKeys;  // guarded by mutex_: table size of the next sweep
};

}  // namespace varn::mcp
