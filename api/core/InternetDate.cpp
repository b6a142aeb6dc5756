#include "api/core/InternetDate.hpp"

#include <cstdio>

namespace varn::api {
namespace {

using namespace std::chrono;

// Reads `count` ASCII digits at `pos`, advancing it.
std::optional<int> digits(std::string_view text, std::size_t& pos, int count) noexcept {
  if (pos + static_cast<std::size_t>(count) > text.size()) return std::nullopt;
  int value = 0;
  for (int i = 0; i < count; ++i) {
    const char c = text[pos++];
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

bool expect(std::string_view text, std::size_t& pos, char c) noexcept {
  if (pos >= text.size() || text[pos] != c) return false;
  ++pos;
  return true;
}

}  // namespace

std::string InternetDate::format(Date date) {
  const auto seconds = floor<std::chrono::seconds>(date);
  const auto day = floor<days>(seconds);
  const year_month_day ymd{day};
  const hh_mm_ss<std::chrono::seconds> time{seconds - day};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return text;
}

std::optional<Date> InternetDate::parse(std::string_view text) noexcept {
  std::size_t pos = 0;
  const auto y = digits(text, pos, 4);
  if (!y || !expect(text, pos, '-')) return std::nullopt;
  const auto mo = digits(text, pos, 2);
  if (!mo || !expect(text, pos, '-')) return std::nullopt;
  const auto d = digits(text, pos, 2);
  if (!d || !expect(text, pos, 'T')) return std::nullopt;
  const auto h = digits(text, pos, 2);
  if (!h || !expect(text, pos, ':')) return std::nullopt;
  const auto mi = digits(text, pos, 2);
  if (!mi || !expect(text, pos, ':')) return std::nullopt;
  const auto s = digits(text, pos, 2);
  if (!s) return std::nullopt;

  long long fraction = 0;  // nanoseconds
  if (expect(text, pos, '.')) {
    int count = 0;
    long long scale = 100000000;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      fraction += (text[pos] - '0') * scale;
      scale /= 10;
      ++pos;
      ++count;
    }
    if (count == 0) return std::nullopt;
  }

  int offsetMinutes = 0;
  if (!expect(text, pos, 'Z')) {
    if (pos >= text.size() || (text[pos] != '+' && text[pos] != '-')) return std::nullopt;
    const int sign = text[pos++] == '+' ? 1 : -1;
    const auto oh = digits(text, pos, 2);
    if (!oh || !expect(text, pos, ':')) return std::nullopt;
    const auto om = digits(text, pos, 2);
    if (!om || *oh > 23 || *om > 59) return std::nullopt;
    offsetMinutes = sign * (*oh * 60 + *om);
  }
  if (pos != text.size()) return std::nullopt;

  const year_month_day ymd{year{*y}, month{static_cast<unsigned>(*mo)},
                           day{static_cast<unsigned>(*d)}};
  if (!ymd.ok() || *h > 23 || *mi > 59 || *s > 59) return std::nullopt;
  // A nanosecond time point in 64 bits reaches only the years 1677 to 2262; a text outside that
  // range names no Date.
  const sys_seconds local = sys_days{ymd} + hours{*h} + minutes{*mi} + seconds{*s};
  const sys_seconds utc = local - minutes{offsetMinutes};
  constexpr auto kLimit = duration_cast<seconds>(Date::duration::max()) - seconds{1};
  if (utc.time_since_epoch() > kLimit || utc.time_since_epoch() < -kLimit) return std::nullopt;
  return Date{utc.time_since_epoch()} + nanoseconds{fraction};
}

}  // namespace varn::api

namespace varn::api {

Date InternetDateCoder::decode(const support::Json& value, std::string_view key) {
  std::string text = support::asString(value, key);
  std::optional<Date> date = InternetDate::parse(text);
  if (!date) throw support::JsonDecodeError(std::string(key) + ": invalid RFC3339 date: " + text);
  return *date;
}

}  // namespace varn::api
