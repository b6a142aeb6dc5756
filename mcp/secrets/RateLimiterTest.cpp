#include "mcp/secrets/RateLimiter.hpp"

#include <gtest/gtest.h>

namespace varn::mcp {
namespace {

// Asserts that check throws RateLimitError naming `key`.
void expectRefused(RateLimiter& limiter, const std::string& key, double now) {
  try {
    limiter.check(key, now);
    ADD_FAILURE() << "check(" << key << ", " << now << ") passed";
  } catch (const RateLimitError& error) {
    EXPECT_EQ(error, RateLimitError::exceeded(key));
    EXPECT_EQ(error.key(), key);
  }
}

TEST(RateLimiter, SixtyFirstCallWithinTheWindowIsRefused) {
  RateLimiter limiter(60, 60);
  for (int i = 0; i < 60; ++i) ASSERT_NO_THROW(limiter.check("ref:a", 1000 + i * 0.5)) << i;
  expectRefused(limiter, "ref:a", 1059.9);
}

TEST(RateLimiter, HitExactlyOneWindowOldNoLongerCounts) {
  RateLimiter limiter(60, 60);
  limiter.check("k", 1000);
  for (int i = 1; i < 60; ++i) limiter.check("k", 1030);
  expectRefused(limiter, "k", 1059.999);
  EXPECT_NO_THROW(limiter.check("k", 1060));  // the hit at 1000 is exactly 60 s old
  expectRefused(limiter, "k", 1060);
}

TEST(RateLimiter, RefusalsDoNotExtendTheLockOut) {
  RateLimiter limiter(2, 10);
  limiter.check("k", 100);
  limiter.check("k", 101);
  for (double t = 102; t < 110; t += 1) expectRefused(limiter, "k", t);
  EXPECT_NO_THROW(limiter.check("k", 110));  // the oldest accepted hit (100) left the window
  expectRefused(limiter, "k", 110.5);
  EXPECT_NO_THROW(limiter.check("k", 111));
}

TEST(RateLimiter, LimitZeroRefusesEveryCheck) {
  RateLimiter limiter(0, 60);
  expectRefused(limiter, "k", 0);
  expectRefused(limiter, "k", 1e9);
}

TEST(RateLimiter, CheckAllRecordsEveryHitOrNone) {
  RateLimiter limiter(3, 60.0);
  limiter.check("a", 0);
  EXPECT_THROW(limiter.checkAll({"b", "a", "a", "a"}, 1), RateLimitError);
  EXPECT_EQ(limiter.keyCount(), 1u);  // nothing recorded, "b" included
  limiter.checkAll({"b", "a", "a"}, 1);
  EXPECT_THROW(limiter.check("a", 2), RateLimitError);
  limiter.check("b", 2);
}

TEST(RateLimiter, KeysDoNotAffectEachOther) {
  RateLimiter limiter(1, 60);
  limiter.check("ref:a", 5);
  expectRefused(limiter, "ref:a", 6);
  EXPECT_NO_THROW(limiter.check("ref:b", 6));
  EXPECT_NO_THROW(limiter.check("tool:a", 6));
}

TEST(RateLimiter, KeysWhoseWindowIsEmptyAreDroppedAndLiveOnesKept) {
  constexpr int kOld = 3000;
  RateLimiter limiter(2, 60);
  for (int i = 0; i < kOld; ++i) limiter.check("ref:old-" + std::to_string(i), 0);
  limiter.check("ref:live", 30);
  limiter.check("ref:live", 30);
  // A minute on, the old keys' windows are empty: the table's next doubling sweeps them out.
  for (int i = 0; i < 2000; ++i) limiter.check("ref:new-" + std::to_string(i), 61);
  EXPECT_LE(limiter.keyCount(), 2001u);
  // The live key kept its two hits: a third within its window is still refused.
  expectRefused(limiter, "ref:live", 61);
  EXPECT_NO_THROW(limiter.check("ref:old-0", 61));
}

TEST(RateLimiter, ARefusalWithNothingRecordedKeepsNoKey) {
  RateLimiter limiter(0, 60);
  for (int i = 0; i < 100; ++i) expectRefused(limiter, "k" + std::to_string(i), 0);
  EXPECT_EQ(limiter.keyCount(), 0u);
}

}  // namespace
}  // namespace varn::mcp
