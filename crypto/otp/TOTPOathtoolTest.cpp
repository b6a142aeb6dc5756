// Cross-check against a real implementation: the codes of oathtool (OATH Toolkit) for a table of
// seeds, algorithms, digit counts, periods and times.

#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto/otp/TOTP.hpp"
#include "support/ChildProcess.hpp"

namespace varn::crypto {
namespace {

constexpr const char* kOathtool = "/usr/bin/oathtool";

// Seeds of 20, 32, 64, 10, 10, 16 and 4 bytes; the last three lengths leave trailing bits.
const char* const kSeeds[] = {
    "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ",
    "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZA",
    "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBV"
    "GY3TQOJQGEZDGNA",
    "JBSWY3DPEHPK3PXP",
    "MFRGGZDFMZTWQ2LK",
    "JBSWY3DPEHPK3PXPJBSWY3DPEE",
    "ORSXG5A",
};
const TOTP::Algorithm kAlgorithms[] = {TOTP::Algorithm::sha1, TOTP::Algorithm::sha256,
                                       TOTP::Algorithm::sha512};
const int kDigits[] = {6, 7, 8};  // all that oathtool supports
const int kPeriods[] = {30, 60, 1, 45, 86400};
const long long kTimes[] = {0, 59, 1111111109, 1234567890, 1700000000, 4102444800, 20000000000};

std::string oathtoolCode(const char* seed, TOTP::Algorithm algorithm, int digits, int period,
                         long long seconds) {
  std::string mode = "--totp";
  if (algorithm != TOTP::Algorithm::sha1) mode += "=" + std::string(TOTP::toString(algorithm));
  const support::ChildOutput out =
      support::runChild({kOathtool,
                         {"oathtool", mode, "-b", "-d", std::to_string(digits), "-s",
                          std::to_string(period), "-N", "@" + std::to_string(seconds), seed},
                         {"PATH=/usr/bin:/bin", "LC_ALL=C", "TZ=UTC"},
                         std::nullopt},
                        4096);
  if (out.status != 0) return "oathtool failed: " + out.err;
  std::string code = out.out;
  while (!code.empty() && (code.back() == '\n' || code.back() == '\r')) code.pop_back();
  return code;
}

TEST(TOTPOathtoolTest, CodesAgreeWithOathtool) {
  ASSERT_EQ(access(kOathtool, X_OK), 0) << kOathtool << " is missing: run scripts/setup";
  // 105 = 7 * 3 * 5 steps: every seed meets every algorithm and every period; every digit count
  // and every time occurs.
  constexpr int kCases = 105;
  for (int i = 0; i < kCases; ++i) {
    const int seedIndex = i % 7;
    const TOTP::Algorithm algorithm = kAlgorithms[i % 3];
    const int digits = kDigits[(i / 3) % 3];
    const int period = kPeriods[i % 5];
    const long long seconds = kTimes[(i / 7) % 7];
    // Cases are named by index, not by seed.
    SCOPED_TRACE("seed #" + std::to_string(seedIndex) + " " +
                 std::string(TOTP::toString(algorithm)) + " digits " + std::to_string(digits) +
                 " period " + std::to_string(period) + " at " + std::to_string(seconds));
    EXPECT_EQ(TOTP::code(kSeeds[seedIndex],
                         TOTP::Date(std::chrono::duration<double>(static_cast<double>(seconds))),
                         period, digits, algorithm),
              oathtoolCode(kSeeds[seedIndex], algorithm, digits, period, seconds));
  }
}

}  // namespace
}  // namespace varn::crypto
