#include "mcp/secrets/ResolveService.hpp"

#include <typeinfo>

#include <gtest/gtest.h>

#include "mcp/secrets/ToolError.hpp"
#include "mcp/secrets/VarnRef.hpp"
#include "mcp/secrets/testing/ResolveFakes.hpp"

namespace varn::mcp {
namespace {

using fakes::resolveReply;
using fakes::ResolveRequest;
using fakes::ResolveRoad;
using fakes::ResolveScriptedElicitor;

const std::string kRef = "varn://local/GitHub/password";
const std::string kTool = "http_call";
const std::string kUpstream = "api.github.com";
// Fake secret values; none may show up in an error text, an audit line or a failure message.
const std::string kFirstValue = "first-s3cret-value";
const std::string kSecondValue = "second-s3cret-value";
const std::vector<std::string> kFirstHosts{"first.example.com"};
const std::vector<std::string> kSecondHosts{"second.example.com"};
const std::vector<std::string> kCommands{"git"};

// What one resolve ended with: a released secret, or the error it threw.
struct Outcome {
  std::optional<ResolvedSecret> released;
  std::exception_ptr error;
};

Outcome resolve(ResolveService& service, const std::string& ref, const std::string& tool = kTool,
                std::optional<std::string> upstream = kUpstream) {
  try {
    return {service.resolveSecret(ref, tool, std::move(upstream)), nullptr};
  } catch (...) {
    return {std::nullopt, std::current_exception()};
  }
}

const std::exception& asException(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& caught) {
    return caught;  // lives as long as the exception_ptr
  }
}

// Asserts that `outcome` is exactly the error `expected`: same type, same text.
void expectError(const Outcome& outcome, const std::exception_ptr& expected) {
  ASSERT_FALSE(outcome.released.has_value()) << "a value was released";
  ASSERT_TRUE(outcome.error) << "nothing was thrown";
  const std::exception& actual = asException(outcome.error);
  const std::exception& wanted = asException(expected);
  EXPECT_EQ(typeid(actual), typeid(wanted));
  EXPECT_STREQ(actual.what(), wanted.what());
}

// Asserts that `outcome` released exactly `expected`, without printing any value.
void expectReleased(const Outcome& outcome, const ResolvedSecret& expected) {
  ASSERT_FALSE(outcome.error) << "threw: " << asException(outcome.error).what();
  ASSERT_TRUE(outcome.released.has_value());
  EXPECT_TRUE(outcome.released->value == expected.value) << "released value differs";
  EXPECT_EQ(outcome.released->allowedHosts, expected.allowedHosts);
  EXPECT_EQ(outcome.released->allowedCommands, expected.allowedCommands);
}

// No fake secret appears in the error text or in any audit entry.
void expectNoLeak(const ResolveRoad& road, const Outcome& outcome) {
  std::vector<std::string> texts;
  if (outcome.error) texts.push_back(asException(outcome.error).what());
  for (const AuditEntry& entry : road.audit->all()) {
    texts.push_back(support::dumpEscapingSlashes(entry.toJson()));
  }
  for (const std::string& text : texts) {
    for (const std::string& secret : {kFirstValue, kSecondValue}) {
      EXPECT_EQ(text.find(secret), std::string::npos) << "a secret value leaked into a text";
    }
  }
}

template <typename E>
std::exception_ptr error(E value) {
  return std::make_exception_ptr(std::move(value));
}

// One row of the outcome table for a stored reference.
struct DecisionRow {
  const char* name = "";
  std::vector<VaultResponse> replies = {};
  std::vector<ResolveScriptedElicitor::Answer> answers = {};
  int vaultFailsAfter = -1;
  // expected
  std::optional<ResolvedSecret> released = std::nullopt;
  std::exception_ptr error = nullptr;
  std::vector<std::string> auditWords = {};
  std::vector<ResolveRequest> requests = {};
  bool asksApproval = false;
};

void PrintTo(const DecisionRow& row, std::ostream* out) {
  *out << row.name;
}

std::vector<DecisionRow> decisionRows() {
  using D = VaultDecision;
  const ResolveRequest first{kRef, false};
  const ResolveRequest second{kRef, true};
  const ResolveScriptedElicitor::Answer accept{true, nullptr};
  const ResolveScriptedElicitor::Answer decline{false, nullptr};
  const auto firstApproval = resolveReply(D::needsApproval, std::nullopt, kFirstHosts, kCommands);
  return {
      {.name = "AllowedWithValue",
       .replies = {resolveReply(D::allowed, kFirstValue, kFirstHosts, kCommands)},
       .released = ResolvedSecret{kFirstValue, kFirstHosts, kCommands},
       .auditWords = {"allowed"},
       .requests = {first}},
      {.name = "AllowedWithEmptyValue",
       .replies = {resolveReply(D::allowed, "")},
       .released = ResolvedSecret{"", std::nullopt, std::nullopt},
       .auditWords = {"allowed"},
       .requests = {first}},
      {.name = "AllowedWithoutValue",
       .replies = {resolveReply(D::allowed)},
       .error = error(ResolveError::noValue(kRef)),
       .auditWords = {"no_value"},
       .requests = {first}},
      {.name = "Refused",
       .replies = {resolveReply(D::refused, kFirstValue)},
       .error = error(ResolveError::refused(kRef)),
       .auditWords = {"refused"},
       .requests = {first}},
      {.name = "ApprovalTimedOut",
       .replies = {firstApproval},
       .answers = {{false, error(ResolveError::approvalTimeout(kRef))}},
       .error = error(ResolveError::approvalTimeout(kRef)),
       .auditWords = {"approval_timeout"},
       .requests = {first},
       .asksApproval = true},
      {.name = "ApprovalThrewSomethingElse",
       .replies = {firstApproval},
       .answers = {{false, error(ToolError::upstream("stdout closed"))}},
       .error = error(ToolError::upstream("stdout closed")),
       .auditWords = {"approval_timeout"},
       .requests = {first},
       .asksApproval = true},
      {.name = "HumanDeclined",
       .replies = {firstApproval},
       .answers = {decline},
       .error = error(ResolveError::denied(kRef)),
       .auditWords = {"denied"},
       .requests = {first},
       .asksApproval = true},
      {.name = "ApprovedAndReleasedWithTheSecondReplysBindings",
       .replies = {firstApproval, resolveReply(D::allowed, kSecondValue, kSecondHosts)},
       .answers = {accept},
       .released = ResolvedSecret{kSecondValue, kSecondHosts, std::nullopt},
       .auditWords = {"approved"},
       .requests = {first, second},
       .asksApproval = true},
      {.name = "ApprovedButSecondReplyNeedsApproval",
       .replies = {firstApproval, resolveReply(D::needsApproval, kSecondValue)},
       .answers = {accept},
       .error = error(ResolveError::denied(kRef)),
       .auditWords = {"denied"},
       .requests = {first, second},
       .asksApproval = true},
      {.name = "ApprovedButSecondReplyRefused",
       .replies = {firstApproval, resolveReply(D::refused, kSecondValue)},
       .answers = {accept},
       .error = error(ResolveError::denied(kRef)),
       .auditWords = {"denied"},
       .requests = {first, second},
       .asksApproval = true},
      {.name = "ApprovedButSecondReplyWithoutValue",
       .replies = {firstApproval, resolveReply(D::allowed, std::nullopt, kSecondHosts)},
       .answers = {accept},
       .error = error(ResolveError::denied(kRef)),
       .auditWords = {"denied"},
       .requests = {first, second},
       .asksApproval = true},
      {.name = "VaultErrorOnTheFirstCall",
       .vaultFailsAfter = 0,
       .error = error(ToolError::upstream("vault unreachable")),
       .auditWords = {},
       .requests = {first}},
      {.name = "VaultErrorOnTheApprovedCall",
       .replies = {firstApproval, resolveReply(D::allowed, kSecondValue)},
       .answers = {accept},
       .vaultFailsAfter = 1,
       .error = error(ToolError::upstream("vault unreachable")),
       .auditWords = {},
       .requests = {first, second},
       .asksApproval = true},
  };
}

class ResolveDecisionTest : public ::testing::TestWithParam<DecisionRow> {};

TEST_P(ResolveDecisionTest, OutcomeAuditAndVaultRequests) {
  const DecisionRow& row = GetParam();
  ResolveRoad road;
  road.vault->replies.assign(row.replies.begin(), row.replies.end());
  road.vault->failAfter = row.vaultFailsAfter;
  road.elicitor->answers.assign(row.answers.begin(), row.answers.end());

  Outcome outcome = resolve(*road.service, kRef);

  if (row.released) {
    expectReleased(outcome, *row.released);
  } else {
    expectError(outcome, row.error);
  }
  EXPECT_EQ(road.auditWords(), row.auditWords);
  for (const AuditEntry& entry : road.audit->all()) {
    EXPECT_EQ(entry.tool, kTool);
    EXPECT_EQ(entry.ref, kRef);
    EXPECT_EQ(entry.upstream, kUpstream);
  }
  EXPECT_EQ(road.vault->seen, row.requests);
  using Request = ResolveScriptedElicitor::Request;
  const std::vector<Request> approvals =
      row.asksApproval ? std::vector<Request>{{kRef, kTool}} : std::vector<Request>{};
  EXPECT_EQ(road.elicitor->seen, approvals);
  expectNoLeak(road, outcome);
}

INSTANTIATE_TEST_SUITE_P(OutcomeTable, ResolveDecisionTest, ::testing::ValuesIn(decisionRows()),
                         [](const auto& test) { return std::string(test.param.name); });

// --- minted handles
// -------------------------------------------------------------------------------

TEST(ResolveService, LiveHandleIsRedeemedWithoutVaultLimiterOrApproval) {
  ResolveRoad road;
  MintedHandle minted = road.tokens->mint(kFirstValue, "scope", 60, kFirstHosts, kCommands);
  const int readsAfterMint = road.time.reads;
  for (int i = 0; i < 61; ++i) {  // more than the limit: handles are never counted
    Outcome outcome = resolve(*road.service, minted.handle, "run_command", "git push");
    ASSERT_NO_FATAL_FAILURE(
        expectReleased(outcome, {kFirstValue, kFirstHosts, kCommands, minted.expiresAt}))
        << i;
  }
  EXPECT_TRUE(road.vault->seen.empty());
  EXPECT_TRUE(road.elicitor->seen.empty());
  EXPECT_EQ(road.auditWords(), std::vector<std::string>(61, "handle_redeemed"));
  AuditEntry entry = road.audit->all().front();
  EXPECT_EQ(entry.ref, minted.handle);
  EXPECT_EQ(entry.tool, "run_command");
  EXPECT_EQ(entry.upstream, "git push");
  EXPECT_EQ(road.time.reads - readsAfterMint, 61);  // one reading of the wall clock per lookup
}

TEST(ResolveService, HandleWhoseExpiryIsNowIsExpired) {
  ResolveRoad road;
  MintedHandle minted = road.tokens->mint(kFirstValue, "scope", 10, std::nullopt, std::nullopt);
  road.time.now += 10;
  Outcome outcome = resolve(*road.service, minted.handle, "totp_code", std::nullopt);
  expectError(outcome, error(ResolveError::handleExpired(minted.handle)));
  EXPECT_EQ(road.auditWords(), std::vector<std::string>{"handle_expired"});
  EXPECT_EQ(road.audit->all().front().upstream, std::nullopt);
  expectNoLeak(road, outcome);
}

TEST(ResolveService, UnknownHandleIsExpiredAndNeverSentToTheVault) {
  ResolveRoad road;
  const std::string handle = "varnh_00000000-0000-4000-8000-000000000000";
  expectError(resolve(*road.service, handle), error(ResolveError::handleExpired(handle)));
  EXPECT_EQ(road.auditWords(), std::vector<std::string>{"handle_expired"});
  EXPECT_TRUE(road.vault->seen.empty());
}

TEST(ResolveService, KillSwitchRefusesHandlesBeforeAnyLookup) {
  ResolveRoad road(/*killSwitchActive=*/true);
  MintedHandle minted = road.tokens->mint(kFirstValue, "scope", 60, std::nullopt, std::nullopt);
  const int readsAfterMint = road.time.reads;
  Outcome outcome = resolve(*road.service, minted.handle);
  expectError(outcome, error(ResolveError::killSwitchActive()));
  EXPECT_EQ(road.auditWords(), std::vector<std::string>{"kill_switch"});
  EXPECT_EQ(road.time.reads, readsAfterMint);
  EXPECT_STREQ(asException(outcome.error).what(),
               "kill switch active \u2014 Varn is refusing all automated access");
}

TEST(ResolveService, WithoutAHandleStoreAHandleFailsTheParse) {
  ResolveRoad road(/*killSwitchActive=*/false, /*withTokens=*/false);
  const std::string handle = "varnh_00000000-0000-4000-8000-000000000000";
  expectError(resolve(*road.service, handle), error(VarnRefError::invalidScheme()));
  EXPECT_TRUE(road.auditWords().empty());
  EXPECT_TRUE(road.vault->seen.empty());
}

// --- parse, kill switch, rate limits
// --------------------------------------------------------------

TEST(ResolveService, MalformedReferenceFailsBeforeTheKillSwitchWithNoAuditAndNothingCounted) {
  ResolveRoad killed(/*killSwitchActive=*/true);
  expectError(resolve(*killed.service, "varn://local/GitHub"), error(VarnRefError::malformed()));
  EXPECT_TRUE(killed.auditWords().empty());

  ResolveRoad road;
  for (int i = 0; i < 61; ++i) {
    expectError(resolve(*road.service, "varn://local/GitHub"), error(VarnRefError::malformed()));
  }
  EXPECT_TRUE(road.auditWords().empty());
  EXPECT_EQ(road.time.reads, 0);
  // Nothing was counted under the tool key either: 60 resolves still pass.
  for (int i = 0; i < 60; ++i)
    road.vault->replies.push_back(resolveReply(VaultDecision::allowed, "v"));
  for (int i = 0; i < 60; ++i) {
    ASSERT_FALSE(resolve(*road.service, kRef + std::to_string(i)).error) << i;
  }
}

TEST(ResolveService, KillSwitchRefusesReferencesWithoutAskingTheVault) {
  ResolveRoad road(/*killSwitchActive=*/true);
  expectError(resolve(*road.service, kRef), error(ResolveError::killSwitchActive()));
  EXPECT_EQ(road.auditWords(), std::vector<std::string>{"kill_switch"});
  EXPECT_TRUE(road.vault->seen.empty());
  EXPECT_EQ(road.time.reads, 0);
}

TEST(ResolveService, SixtyFirstResolveOfOneReferenceIsRateLimited) {
  ResolveRoad road;
  for (int i = 0; i < 61; ++i)
    road.vault->replies.push_back(resolveReply(VaultDecision::allowed, "v"));
  for (int i = 0; i < 60; ++i) {
    road.time.now += 0.5;
    ASSERT_FALSE(resolve(*road.service, kRef).error) << i;
  }
  Outcome outcome = resolve(*road.service, kRef);
  expectError(outcome, error(ResolveError::rateLimited(kRef)));
  EXPECT_STREQ(asException(outcome.error).what(),
               "rate limited (varn://local/GitHub/password) \u2014 too many resolves; slow down "
               "and retry");
  EXPECT_EQ(road.auditWords().back(), "rate_limited");
  EXPECT_EQ(road.vault->seen.size(), 60u);
  EXPECT_EQ(road.time.reads, 2 * 60 + 1);  // each check reads the clock; the refused one once
}

TEST(ResolveService, SixtyFirstResolveByOneToolNamesItsReferenceAndStillCountsIt) {
  ResolveRoad road;
  for (int i = 0; i < 60; ++i) {
    road.vault->replies.push_back(resolveReply(VaultDecision::allowed, "v"));
    ASSERT_FALSE(resolve(*road.service, kRef + std::to_string(i)).error) << i;
  }
  const std::string fresh = "varn://local/Fresh/password";
  expectError(resolve(*road.service, fresh), error(ResolveError::rateLimited(fresh)));
  EXPECT_EQ(road.auditWords().back(), "rate_limited");
  EXPECT_EQ(road.vault->seen.size(), 60u);

  // The refused call was counted under the reference key: only 59 more pass, by another tool.
  for (int i = 0; i < 59; ++i) {
    road.vault->replies.push_back(resolveReply(VaultDecision::allowed, "v"));
    ASSERT_FALSE(resolve(*road.service, fresh, "run_command").error) << i;
  }
  expectError(resolve(*road.service, fresh, "run_command"),
              error(ResolveError::rateLimited(fresh)));
}

// Several references for one use: nothing is released unless every one can be.
TEST(ResolveService, ResolveAllAsksEveryDecisionBeforeTheFirstValue) {
  const std::string other = "varn://local/Other/password";
  {
    ResolveRoad road;  // the second is declined: no value is asked for
    road.vault->decisions = {{kRef, VaultDecision::allowed}, {other, VaultDecision::needsApproval}};
    road.elicitor->answers.push_back({false, nullptr});
    EXPECT_THROW((void)road.service->resolveAll({kRef, other}, kTool, kUpstream), ResolveError);
    EXPECT_TRUE(road.vault->seen.empty());
    EXPECT_EQ(road.auditWords(), std::vector<std::string>{"denied"});
  }
  {
    ResolveRoad road;  // both released, the approved one asked for as approved
    road.vault->decisions = {{kRef, VaultDecision::allowed}, {other, VaultDecision::needsApproval}};
    road.elicitor->answers.push_back({true, nullptr});
    road.vault->replies = {resolveReply(VaultDecision::allowed, kFirstValue),
                           resolveReply(VaultDecision::allowed, kSecondValue)};
    const std::vector<ResolvedSecret> values =
        road.service->resolveAll({kRef, other}, kTool, kUpstream);
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[0].value, kFirstValue);
    EXPECT_EQ(values[1].value, kSecondValue);
    EXPECT_EQ(road.vault->seen, (std::vector<ResolveRequest>{{kRef, false}, {other, true}}));
    EXPECT_EQ(road.auditWords(), (std::vector<std::string>{"allowed", "approved"}));
  }
}

TEST(ResolveService, ResolveValueDropsTheBindings) {
  ResolveRoad road;
  road.vault->replies.push_back(resolveReply(VaultDecision::allowed, kFirstValue, kFirstHosts));
  EXPECT_TRUE(road.service->resolveValue(kRef, kTool, std::nullopt) == kFirstValue);
}

}  // namespace
}  // namespace varn::mcp
