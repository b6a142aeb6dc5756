#include "mcp/secrets/WallClock.hpp"

#include <cmath>
#include <cstdint>
#include <limits>

#include <gtest/gtest.h>

namespace varn::mcp {
namespace {

struct IsoCase {
  double seconds;
  const char* expected;  // as `date -u -d @<seconds> +%Y-%m-%dT%H:%M:%SZ` prints the floor
};

void PrintTo(const IsoCase& c, std::ostream* out) {
  *out << c.seconds;
}

class FormatISO8601Test : public testing::TestWithParam<IsoCase> {};

TEST_P(FormatISO8601Test, PrintsWholeSecondsInUtc) {
  EXPECT_EQ(formatISO8601(GetParam().seconds), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Instants, FormatISO8601Test,
    testing::Values(IsoCase{0, "1970-01-01T00:00:00Z"}, IsoCase{1796576106, "2026-12-06T16:55:06Z"},
                    IsoCase{1796576106.999, "2026-12-06T16:55:06Z"},  // fraction dropped
                    IsoCase{951782400, "2000-02-29T00:00:00Z"},       // leap day
                    IsoCase{4107542399, "2100-02-28T23:59:59Z"},      // 2100 is no leap year
                    IsoCase{-1, "1969-12-31T23:59:59Z"},
                    IsoCase{-0.5, "1969-12-31T23:59:59Z"},  // floor, not truncation
                    IsoCase{kLatestPrintableSeconds, "9999-12-31T23:59:59Z"},
                    IsoCase{kEarliestPrintableSeconds, "0001-01-01T00:00:00Z"}));

TEST(FormatISO8601, ClampsWhatCannotBePrinted) {
  const double huge = 1.8e9 + static_cast<double>(std::numeric_limits<std::int64_t>::max());
  const double tiny = 1.8e9 + static_cast<double>(std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(formatISO8601(huge), "9999-12-31T23:59:59Z");
  EXPECT_EQ(formatISO8601(kLatestPrintableSeconds + 1), "9999-12-31T23:59:59Z");
  EXPECT_EQ(formatISO8601(std::numeric_limits<double>::infinity()), "9999-12-31T23:59:59Z");
  EXPECT_EQ(formatISO8601(tiny), "0001-01-01T00:00:00Z");
  EXPECT_EQ(formatISO8601(-std::numeric_limits<double>::infinity()), "0001-01-01T00:00:00Z");
  EXPECT_EQ(formatISO8601(std::nan("")), "0001-01-01T00:00:00Z");
}

}  // namespace
}  // namespace varn::mcp
