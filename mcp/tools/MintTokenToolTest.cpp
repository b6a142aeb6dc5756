#include "mcp/tools/MintTokenTool.hpp"

#include <cstdint>
#include <limits>
#include <utility>

#include <gtest/gtest.h>

#include "mcp/secrets/testing/ResolveFakes.hpp"

namespace varn::mcp {
namespace {

using fakes::resolveReply;
using fakes::ResolveRoad;

const std::string kRoot = "varn://local/GitHub/token";
const std::string kValue = "mint-s3cret-value";  // fake; must never be printed
const std::vector<std::string> kHosts{"api.github.com"};

class MintTokenToolTest : public ::testing::Test {
 protected:
  ResolveRoad road_;
  MintTokenTool tool_{ToolServices{.resolver = road_.service, .tokens = road_.tokens},
                      "mint_token"};

  void allowOnce(std::optional<std::vector<std::string>> hosts = kHosts) {
    road_.vault->replies.push_back(resolveReply(VaultDecision::allowed, kValue, std::move(hosts)));
  }
};

TEST_F(MintTokenToolTest, StoresTheRootsValueAndBindingsUnderAFreshHandle) {
  allowOnce();
  MintTokenOutput out = tool_.run({kRoot, "deploy", 300});
  EXPECT_EQ(out.handle.size(), 42u);
  EXPECT_TRUE(out.handle.starts_with("varnh_"));
  EXPECT_EQ(out.expires_at, formatISO8601(road_.time.now + 300));
  EXPECT_EQ(out.expires_at, "2027-01-15T08:05:00Z");

  std::optional<ResolvedSecret> stored = road_.tokens->secret(out.handle, road_.time.now);
  ASSERT_TRUE(stored.has_value());
  EXPECT_TRUE(stored->value == kValue) << "stored value differs";
  EXPECT_EQ(stored->allowedHosts, kHosts);
  EXPECT_EQ(stored->allowedCommands, std::nullopt);

  std::vector<AuditEntry> audit = road_.audit->all();
  ASSERT_EQ(audit.size(), 1u);
  EXPECT_EQ(audit[0].tool, "mint_token");
  EXPECT_EQ(audit[0].ref, kRoot);
  EXPECT_EQ(audit[0].upstream, std::nullopt);
  EXPECT_EQ(audit[0].decision, "allowed");
  EXPECT_EQ(support::dumpCompact(support::encodeRecord(out)).find(kValue), std::string::npos);
}

TEST_F(MintTokenToolTest, HandleAsRootGivesANewHandleThatNeverOutlivesItsSource) {
  // {ttl of the second handle, minted 50 s into the first's 100 s, its expiry from the mint}
  const std::pair<std::int64_t, double> cases[] = {{30, 30},
                                                   {50, 50},
                                                   {100, 50},
                                                   {1'000'000'000, 50},
                                                   {std::numeric_limits<std::int64_t>::max(), 50}};
  for (const auto& [ttl, lifetime] : cases) {
    allowOnce();
    const double start = road_.time.now;
    MintTokenOutput first = tool_.run({kRoot, "a", 100});
    road_.time.now += 50;
    MintTokenOutput second = tool_.run({first.handle, "b", ttl});
    EXPECT_NE(second.handle, first.handle);
    EXPECT_EQ(second.expires_at, formatISO8601(road_.time.now + lifetime)) << ttl;

    std::optional<ResolvedSecret> fromSecond =
        road_.tokens->secret(second.handle, road_.time.now + lifetime - 1);
    ASSERT_TRUE(fromSecond.has_value()) << ttl;
    EXPECT_TRUE(fromSecond->value == kValue) << "stored value differs";
    EXPECT_EQ(fromSecond->allowedHosts, kHosts);
    EXPECT_FALSE(road_.tokens->secret(second.handle, road_.time.now + lifetime).has_value()) << ttl;
    EXPECT_TRUE(road_.tokens->secret(first.handle, start + 99).has_value());
    EXPECT_FALSE(road_.tokens->secret(first.handle, start + 100).has_value());
    road_.time.now += 100;
  }
  EXPECT_EQ(road_.vault->seen.size(), 5u);  // each second mint redeemed the first handle
}

TEST_F(MintTokenToolTest, ZeroTtlIsReturnedButTheHandleNeverRedeems) {
  allowOnce(std::nullopt);
  MintTokenOutput out = tool_.run({kRoot, "s", 0});
  EXPECT_EQ(out.expires_at, formatISO8601(road_.time.now));
  try {
    (void)road_.service->resolveSecret(out.handle, "http_call", "api.github.com");
    ADD_FAILURE() << "an expired handle was redeemed";
  } catch (const ResolveError& error) {
    EXPECT_EQ(error, ResolveError::handleExpired(out.handle));
  }
}

TEST_F(MintTokenToolTest, ExtremeTtlsNeitherOverflowNorCrash) {
  for (int i = 0; i < 2; ++i) allowOnce();
  EXPECT_EQ(tool_.run({kRoot, "s", std::numeric_limits<std::int64_t>::max()}).expires_at,
            "9999-12-31T23:59:59Z");
  EXPECT_EQ(tool_.run({kRoot, "s", std::numeric_limits<std::int64_t>::min()}).expires_at,
            "0001-01-01T00:00:00Z");
}

TEST_F(MintTokenToolTest, RoadErrorsPassThroughAndNothingIsMinted) {
  road_.vault->replies.push_back(resolveReply(VaultDecision::refused));
  try {
    (void)tool_.run({kRoot, "s", 60});
    ADD_FAILURE() << "minted from a refused secret";
  } catch (const ResolveError& error) {
    EXPECT_EQ(error, ResolveError::refused(kRoot));
  }
  EXPECT_EQ(road_.tokens->size(), 0u);
}

TEST_F(MintTokenToolTest, EachMintOfAnApprovalSecretAsksAnew) {
  for (int i = 0; i < 2; ++i) {
    road_.vault->replies.push_back(resolveReply(VaultDecision::needsApproval));
    road_.vault->replies.push_back(resolveReply(VaultDecision::allowed, kValue));
    road_.elicitor->answers.push_back({true, nullptr});
  }
  MintTokenOutput first = tool_.run({kRoot, "s", 60});
  MintTokenOutput second = tool_.run({kRoot, "s", 60});
  EXPECT_NE(first.handle, second.handle);
  EXPECT_EQ(road_.elicitor->seen.size(), 2u);
  EXPECT_EQ(road_.elicitor->seen[0].operation, "mint_token");
  EXPECT_EQ(road_.auditWords(), (std::vector<std::string>{"approved", "approved"}));
}

TEST(MintTokenInput, DecodesStrictly) {
  MintTokenInput input = support::decodeRecord<MintTokenInput>(support::Json::parse(
      R"({"root_ref":"varn://a/b/c","scope":"s","ttl_seconds":9223372036854775807,"x":1})"));
  EXPECT_EQ(input.root_ref, "varn://a/b/c");
  EXPECT_EQ(input.scope, "s");
  EXPECT_EQ(input.ttl_seconds, std::numeric_limits<std::int64_t>::max());

  for (const char* bad :
       {R"({"scope":"s","ttl_seconds":1})", R"({"root_ref":"r","ttl_seconds":1})",
        R"({"root_ref":"r","scope":"s"})", R"({"root_ref":"r","scope":"s","ttl_seconds":1.5})",
        R"({"root_ref":"r","scope":"s","ttl_seconds":"10"})",
        R"({"root_ref":"r","scope":"s","ttl_seconds":null})",
        R"({"root_ref":"r","scope":"s","ttl_seconds":9223372036854775808})",
        R"({"root_ref":1,"scope":"s","ttl_seconds":1})"}) {
    EXPECT_THROW((void)support::decodeRecord<MintTokenInput>(support::Json::parse(bad)),
                 support::JsonDecodeError)
        << bad;
  }
}

TEST(MintTokenOutput, WritesHandleThenExpiry) {
  EXPECT_EQ(support::dumpCompact(
                support::encodeRecord(MintTokenOutput{"varnh_X", "2026-01-01T00:00:00Z"})),
            R"({"handle":"varnh_X","expires_at":"2026-01-01T00:00:00Z"})");
}

}  // namespace
}  // namespace varn::mcp
