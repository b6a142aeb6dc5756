#include "mcp/secrets/WallClock.hpp"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace varn::mcp {

double systemWallClock() noexcept {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::string formatISO8601(double secondsSince1970) {
  using namespace std::chrono;
  double clamped = std::floor(secondsSince1970);
  if (!(clamped >= kEarliestPrintableSeconds)) clamped = kEarliestPrintableSeconds;  // NaN too
  if (clamped > kLatestPrintableSeconds) clamped = kLatestPrintableSeconds;

  sys_seconds instant{seconds{static_cast<std::int64_t>(clamped)}};
  sys_days day = floor<days>(instant);
  year_month_day date{day};
  hh_mm_ss<seconds> time{instant - day};

  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return text;
}

}  // namespace varn::mcp
