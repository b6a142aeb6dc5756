#pragma once

// The wall clock of the resolve road, as double seconds since 1970-01-01T00:00:00Z, and its ISO
// 8601 printer. Double seconds, because expiries are computed from untrusted lifetimes up to the
// signed 64-bit range, which would overflow any integer clock.

#include <functional>
#include <string>

namespace varn::mcp {

// Returns the current wall-clock time in seconds since 1970. Services take one of these so that
// tests can fix the time; it must be callable from any thread.
using WallClock = std::function<double()>;

// The system's wall clock (std::chrono::system_clock) in seconds since 1970, with its fraction.
[[nodiscard]] double systemWallClock() noexcept;

// Earliest and latest instants that formatISO8601 prints as themselves: 0001-01-01T00:00:00Z and
// 9999-12-31T23:59:59Z.
inline constexpr double kEarliestPrintableSeconds = -62135596800.0;
inline constexpr double kLatestPrintableSeconds = 253402300799.0;

// ISO 8601 internet date and time in UTC with whole seconds and "Z", e.g. "2026-12-06T16:55:06Z".
// The fraction is dropped towards the past (floor). Instants outside the printable range,
// infinities and NaN are clamped to its nearer end (NaN to the earliest), so every input prints.
[[nodiscard]] std::string formatISO8601(double secondsSince1970);

}  // namespace varn::mcp
