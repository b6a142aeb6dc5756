#include "mcp/secrets/TokenVault.hpp"

#include <cctype>
#include <cstdint>
#include <limits>

#include <gtest/gtest.h>

namespace varn::mcp {
namespace {

// Values are compared with EXPECT_TRUE so that a failure never prints one.
class TokenVaultTest : public testing::Test {
 protected:
  double now_ = 1'800'000'000;
  TokenVault tokens_{[this] { return now_; }};
  const std::vector<std::string> hosts_{"api.example.com"};
  const std::vector<std::string> commands_{"git"};
};

TEST_F(TokenVaultTest, HandleIsPrefixAndUpperCaseUuid) {
  MintedHandle minted = tokens_.mint("v", "s", 60, std::nullopt, std::nullopt);
  ASSERT_EQ(minted.handle.size(), 42u);
  EXPECT_EQ(minted.handle.substr(0, 6), "varnh_");
  for (std::size_t i = 6; i < 42; ++i) {
    char c = minted.handle[i];
    bool hyphen = i == 14 || i == 19 || i == 24 || i == 29;
    if (hyphen) {
      EXPECT_EQ(c, '-') << i;
    } else {
      EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(c)) || (c >= 'A' && c <= 'F')) << i;
    }
  }
  EXPECT_EQ(minted.handle[20], '4');  // version 4
}

TEST_F(TokenVaultTest, LiveUntilJustBeforeExpiryAndExpiredExactlyAtIt) {
  MintedHandle minted = tokens_.mint("value-1", "scope", 30, hosts_, commands_);
  EXPECT_EQ(minted.expiresAt, now_ + 30);
  const ResolvedSecret expected{"value-1", hosts_, commands_, minted.expiresAt};
  EXPECT_TRUE(tokens_.secret(minted.handle, now_) == expected);
  EXPECT_TRUE(tokens_.secret(minted.handle, minted.expiresAt - 0.001) == expected);
  EXPECT_TRUE(tokens_.value(minted.handle, minted.expiresAt - 0.001) == "value-1");
  EXPECT_FALSE(tokens_.secret(minted.handle, minted.expiresAt).has_value());
  EXPECT_FALSE(tokens_.value(minted.handle, minted.expiresAt).has_value());
}

TEST_F(TokenVaultTest, ZeroOrNegativeTtlIsNeverRedeemable) {
  for (std::int64_t ttl :
       {std::int64_t{0}, std::int64_t{-1}, std::numeric_limits<std::int64_t>::min()}) {
    MintedHandle minted = tokens_.mint("v", "s", ttl, std::nullopt, std::nullopt);
    EXPECT_FALSE(tokens_.secret(minted.handle, now_).has_value()) << ttl;
  }
}

TEST_F(TokenVaultTest, HugeTtlDoesNotOverflow) {
  MintedHandle minted =
      tokens_.mint("v", "s", std::numeric_limits<std::int64_t>::max(), std::nullopt, std::nullopt);
  EXPECT_GT(minted.expiresAt, 9e18);
  EXPECT_TRUE(tokens_.value(minted.handle, now_ + 1e15) == "v");
}

TEST_F(TokenVaultTest, LookupIsCaseSensitiveAndExact) {
  MintedHandle minted = tokens_.mint("v", "s", 60, std::nullopt, std::nullopt);
  std::string lower = minted.handle;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_FALSE(tokens_.secret(lower, now_).has_value());
  EXPECT_FALSE(tokens_.secret(minted.handle + " ", now_).has_value());
  EXPECT_FALSE(tokens_.secret(minted.handle.substr(0, 41), now_).has_value());
}

TEST_F(TokenVaultTest, TwoMintsOfOneValueGiveTwoHandlesEachWithItsOwnExpiry) {
  MintedHandle first = tokens_.mint("same", "a", 10, std::nullopt, std::nullopt);
  now_ += 5;
  MintedHandle second = tokens_.mint("same", "b", 10, std::nullopt, std::nullopt);
  EXPECT_NE(first.handle, second.handle);
  EXPECT_EQ(second.expiresAt, first.expiresAt + 5);
  EXPECT_FALSE(tokens_.value(first.handle, first.expiresAt).has_value());
  EXPECT_TRUE(tokens_.value(second.handle, first.expiresAt) == "same");
}

TEST_F(TokenVaultTest, RedeemingTwiceReturnsTheSameValueAndBindings) {
  MintedHandle minted = tokens_.mint("v", "s", 60, std::nullopt, commands_);
  const ResolvedSecret expected{"v", std::nullopt, commands_, minted.expiresAt};
  EXPECT_TRUE(tokens_.secret(minted.handle, now_) == expected);
  EXPECT_TRUE(tokens_.secret(minted.handle, now_) == expected);
}

TEST_F(TokenVaultTest, MintPurgesEveryHandleExpiredByThen) {
  MintedHandle shortLived = tokens_.mint("a", "s", 10, std::nullopt, std::nullopt);
  MintedHandle longLived = tokens_.mint("b", "s", 100, std::nullopt, std::nullopt);
  (void)tokens_.mint("c", "s", 0, std::nullopt, std::nullopt);  // expired at once
  EXPECT_EQ(tokens_.size(), 3u);
  now_ += 10;  // shortLived expires exactly now
  MintedHandle fresh = tokens_.mint("d", "s", 10, std::nullopt, std::nullopt);
  EXPECT_EQ(tokens_.size(), 2u);
  EXPECT_FALSE(tokens_.value(shortLived.handle, now_ - 1).has_value());  // gone, even for the past
  EXPECT_TRUE(tokens_.value(longLived.handle, now_) == "b");
  EXPECT_TRUE(tokens_.value(fresh.handle, now_) == "d");
}

TEST_F(TokenVaultTest, LookupsNeverRemoveEntries) {
  MintedHandle minted = tokens_.mint("v", "s", 10, std::nullopt, std::nullopt);
  EXPECT_FALSE(tokens_.value(minted.handle, now_ + 20).has_value());
  EXPECT_EQ(tokens_.size(), 1u);
  EXPECT_TRUE(tokens_.value(minted.handle, now_) == "v");
}

}  // namespace
}  // namespace varn::mcp
