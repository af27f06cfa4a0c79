// RFC 3339 internet date-times ("2025-03-01T08:00:00Z", "2025-03-01T16:00:00.25+08:00").
//
// Safe from any thread; never throw. Only currentTime() reads the clock; the rest are pure.
#pragma once

#include <chrono>
#include <optional>
#include <string_view>

namespace korvex {

// A point in time with microsecond resolution; its range reaches well before year 1.
using CatalogueTime = std::chrono::sys_time<std::chrono::microseconds>;

// The first instant of year 1 in UTC: earlier than any real date.
CatalogueTime distantPast();

// The system clock's present time, cut to microseconds.
CatalogueTime currentTime();

// Parses full-date "T" full-time zone, where zone is "Z" or ±hh:mm. With `fractionalSeconds`
// false, a fraction is refused; with it true, a fraction of one or more digits is required
// (digits beyond microseconds are dropped). Every field is range-checked (days per month with leap
// years, hours 0-23, minutes 0-59, seconds 0-59, offsets up to 23:59). Anything else gives nullopt.
std::optional<CatalogueTime> parseInternetDateTime(std::string_view text, bool fractionalSeconds);

}  // namespace korvex
