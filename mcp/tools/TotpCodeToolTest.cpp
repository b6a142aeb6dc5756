#include "mcp/tools/TotpCodeTool.hpp"

#include <deque>

#include <gtest/gtest.h>

#include "crypto/otp/TOTP.hpp"
#include "mcp/secrets/testing/ResolveFakes.hpp"

namespace varn::mcp {
namespace {

using fakes::resolveReply;
using fakes::ResolveRoad;

const std::string kRef = "varn://local/GitHub/otp?attribute=otp";
// The RFC 6238 SHA-1 test secret "12345678901234567890" in Base32.
const std::string kSeed = "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ";

// Expected codes come from oathtool, e.g. `oathtool --totp -b -N @59 <seed>`.
class TotpCodeToolTest : public ::testing::Test {
 protected:
  ResolveRoad road_;
  std::deque<double> readings_;  // the tool's clock readings, in order
  int readsLeft() const { return static_cast<int>(readings_.size()); }
  TotpCodeTool tool_{ToolServices{.resolver = road_.service}, "totp_code", [this] {
                       double now = readings_.front();
                       readings_.pop_front();
                       return now;
                     }};

  void store(const std::string& fieldValue) {
    road_.vault->replies.push_back(resolveReply(VaultDecision::allowed, fieldValue));
  }

  // Runs the tool and returns the text of what it threw; fails when it returned.
  std::string failure(const std::string& ref) {
    try {
      (void)tool_.run({ref});
    } catch (const std::exception& error) {
      return error.what();
    }
    ADD_FAILURE() << "no error";
    return {};
  }
};

TEST_F(TotpCodeToolTest, BareSeedUsesSha1SixDigitsThirtySeconds) {
  store(kSeed);
  readings_ = {59, 61};
  EXPECT_EQ(tool_.run({kRef}), (TotpCodeOutput{"287082", 29}));
  EXPECT_EQ(road_.auditWords(), std::vector<std::string>{"allowed"});
  EXPECT_EQ(road_.audit->all().front().tool, "totp_code");
  EXPECT_EQ(road_.audit->all().front().upstream, std::nullopt);
}

TEST_F(TotpCodeToolTest, CodeAndRemainingTakeSeparateClockReadings) {
  store("otpauth://totp/Example:alice?secret=" + kSeed + "&digits=8");
  readings_ = {1111111109, 1111111110};  // the code's period ends between the readings
  EXPECT_EQ(tool_.run({kRef}), (TotpCodeOutput{"07081804", 30}));
  EXPECT_EQ(readsLeft(), 0);
}

TEST_F(TotpCodeToolTest, MintedHandleIsRedeemedFromTheStore) {
  MintedHandle minted = road_.tokens->mint(kSeed, "otp", 60, std::nullopt, std::nullopt);
  readings_ = {59, 59};
  EXPECT_EQ(tool_.run({minted.handle}), (TotpCodeOutput{"287082", 1}));
  EXPECT_TRUE(road_.vault->seen.empty());
  EXPECT_EQ(road_.auditWords(), std::vector<std::string>{"handle_redeemed"});
}

TEST_F(TotpCodeToolTest, ValueThatIsNoSeedFailsWithTheCodeErrorAndNoRemaining) {
  const std::string notASeed = "hunter2-not-base32";
  store(notASeed);
  readings_ = {59, 61};
  EXPECT_EQ(failure(kRef), "invalidSecret");
  EXPECT_EQ(readsLeft(), 1);  // remaining_seconds was never computed
}

TEST_F(TotpCodeToolTest, BrokenOtpauthUriFailsWithItsParseError) {
  const std::string uri = "otpauth://totp/x?secret=" + kSeed + "&digits=eleven";
  store(uri);
  readings_ = {59, 61};
  std::string text = failure(kRef);
  EXPECT_EQ(text, crypto::OTPAuthURI::ParseError::invalidParameter("digits").what());
  EXPECT_EQ(text.find(kSeed), std::string::npos);
}

TEST_F(TotpCodeToolTest, RoadErrorsPassThroughUnchanged) {
  road_.vault->replies.push_back(resolveReply(VaultDecision::refused));
  EXPECT_EQ(failure(kRef), ResolveError::refused(kRef).what());
  EXPECT_EQ(readsLeft(), 0);
}

TEST(TotpCodeInput, DecodesStrictly) {
  EXPECT_EQ(
      support::decodeRecord<TotpCodeInput>(support::Json::parse(R"({"ref":"varn://a/b/c","x":1})"))
          .ref,
      "varn://a/b/c");
  for (const char* bad : {R"({})", R"({"ref":null})", R"({"ref":7})", R"([])"}) {
    EXPECT_THROW((void)support::decodeRecord<TotpCodeInput>(support::Json::parse(bad)),
                 support::JsonDecodeError)
        << bad;
  }
}

TEST(TotpCodeOutput, WritesCodeThenRemainingSeconds) {
  EXPECT_EQ(support::dumpCompact(support::encodeRecord(TotpCodeOutput{"012345", 7})),
            R"({"code":"012345","remaining_seconds":7})");
}

}  // namespace
}  // namespace varn::mcp
