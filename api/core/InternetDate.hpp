#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "support/JsonRecord.hpp"

namespace varn::api {

// A point in time of the sync server's records (nanosecond resolution).
using Date = std::chrono::system_clock::time_point;

// The RFC 3339 internet date-and-time form of every date on the wire.
class InternetDate {
 public:
  InternetDate() = delete;

  // "2025-03-01T12:00:00Z": UTC, whole seconds; a fraction of a second is dropped (the time is
  // rounded down to its second).
  [[nodiscard]] static std::string format(Date date);

  // Reads "YYYY-MM-DDTHH:MM:SS", then an optional fraction ("." and one or more digits; digits past
  // nanoseconds are dropped), then "Z" or an offset "+HH:MM" / "-HH:MM" with the colon. Nothing for
  // any other text, for an impossible calendar date or time, or for a time outside the range of
  // Date. Pure; thread-safe.
  [[nodiscard]] static std::optional<Date> parse(std::string_view text) noexcept;
};

// The coder of a date field: written by InternetDate::format; read by InternetDate::parse, failing
// with "<key>: invalid RFC3339 date: " followed by the text as received.
struct InternetDateCoder {
  static support::OrderedJson encode(Date date) { return InternetDate::format(date); }
  static Date decode(const support::Json& value, std::string_view key);
};

}  // namespace varn::api
