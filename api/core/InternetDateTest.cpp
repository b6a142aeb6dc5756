#include "api/core/InternetDate.hpp"

#include <gtest/gtest.h>

namespace varn::api {
namespace {

using namespace std::chrono;

Date utc(int y, unsigned mo, unsigned d, int h, int mi, int s) {
  return sys_days{year{y} / mo / d} + hours{h} + minutes{mi} + seconds{s};
}

TEST(InternetDateTest, ReadsTheInternetFormWithAndWithoutFraction) {
  const Date noon = utc(2025, 3, 1, 12, 0, 0);
  const struct {
    const char* text;
    std::optional<Date> date;
  } cases[] = {
      {"2025-03-01T12:00:00Z", noon},
      {"2025-03-01T12:00:00.250Z", noon + milliseconds(250)},
      {"2025-03-01T12:00:00.5Z", noon + milliseconds(500)},
      {"2025-03-01T12:00:00.123456789123Z", noon + nanoseconds(123456789)},
      {"2025-03-01T13:00:00+01:00", noon},
      {"2025-03-01T11:30:00.000-00:30", noon},
      {"2024-02-29T00:00:00Z", utc(2024, 2, 29, 0, 0, 0)},
      {"1969-12-31T23:59:59Z", utc(1969, 12, 31, 23, 59, 59)},
      {"2025-03-01", std::nullopt},
      {"2025-03-01T12:00:00", std::nullopt},       // no zone
      {"2025-03-01T12:00:00+0100", std::nullopt},  // no colon in the offset
      {"2025-03-01T12:00:00.Z", std::nullopt},
      {"2025-03-01t12:00:00z", std::nullopt},
      {"2025-03-01 12:00:00Z", std::nullopt},
      {"2025-02-29T00:00:00Z", std::nullopt},
      {"2025-13-01T00:00:00Z", std::nullopt},
      {"2025-03-01T24:00:00Z", std::nullopt},
      {"2025-03-01T12:60:00Z", std::nullopt},
      {"2025-03-01T12:00:60Z", std::nullopt},
      {"2025-03-01T12:00:00+24:00", std::nullopt},
      {"+2025-03-01T12:00:00Z", std::nullopt},
      {"9999-12-31T23:59:59Z", std::nullopt},  // beyond a nanosecond time point
      {"2025-03-01T12:00:00Z ", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(InternetDate::parse(c.text), c.date) << c.text;
}

TEST(InternetDateTest, WritesWholeSecondsInUtc) {
  EXPECT_EQ(InternetDate::format(utc(2025, 3, 1, 12, 0, 0) + milliseconds(999)),
            "2025-03-01T12:00:00Z");
  EXPECT_EQ(InternetDate::format(utc(1969, 12, 31, 23, 59, 59) + milliseconds(500)),
            "1969-12-31T23:59:59Z");
  EXPECT_EQ(InternetDate::format(Date{}), "1970-01-01T00:00:00Z");
}

}  // namespace
}  // namespace varn::api
