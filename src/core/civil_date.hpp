// Proleptic Gregorian calendar arithmetic on day counts since 1970-01-01, and the mapping of
// timestamps onto one reference year (same month and day, midnight).
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumoreq::core {

struct CivilDate {
    std::int64_t year;
    unsigned month;  // 1..12
    unsigned day;    // 1..31
};

constexpr bool is_leap_year(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// Days since 1970-01-01 of a date, and back (valid far beyond any timestamp unit's range).
std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day);
CivilDate civil_from_days(std::int64_t days);

// Every timestamp `ticks[i]` (ticks_per_day ticks a day since 1970-01-01) becomes the
// microseconds since 1970-01-01 of midnight of its month and day in `reference_year`; 29
// February goes to the 28th when the reference year is not a leap year. `reference_year` must
// lie in 1..9999.
void normalize_to_year_us(const std::int64_t* ticks, std::size_t n, std::int64_t ticks_per_day,
                          std::int64_t reference_year, std::int64_t* out_us);

}  // namespace lumoreq::core
