// libFuzzer target for the calendar arithmetic: day counts and dates round-trip, the mapping
// onto a reference year lands on midnight of the same month and day in that year (29 February
// on the 28th outside leap years), and nothing overflows for any 64-bit timestamp.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/civil_date.hpp"

using namespace lumoreq::core;

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

unsigned days_in_month(std::int64_t y, unsigned m) {
    static const unsigned d[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && is_leap_year(y) ? 29 : d[m - 1];
}

// Floor division, as a day boundary is found for negative ticks.
std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    // Ticks per day of one of the timestamp units, and a reference year in 1..9999.
    static const std::int64_t units[] = {86400, 86400000, 86400000000, 86400000000000};
    const std::int64_t per_day = units[data[0] % 4];
    const std::int64_t year = 1 + ((static_cast<std::int64_t>(data[1]) << 5) + data[0]) % 9999;
    data += 2;
    size -= 2;
    std::vector<std::int64_t> ticks(size / 8);
    if (!ticks.empty()) std::memcpy(ticks.data(), data, ticks.size() * 8);

    for (std::int64_t t : ticks) {
        // Any day count within +-2^40 days round-trips through a valid date.
        const std::int64_t days = t >> 23;
        const CivilDate c = civil_from_days(days);
        if (c.month < 1 || c.month > 12 || c.day < 1 || c.day > days_in_month(c.year, c.month))
            fail("invalid civil date");
        if (days_from_civil(c.year, c.month, c.day) != days) fail("days -> date -> days");
        const CivilDate next = civil_from_days(days + 1);
        const bool same_month = next.year == c.year && next.month == c.month && next.day == c.day + 1;
        const bool new_month = next.day == 1 && c.day == days_in_month(c.year, c.month);
        if (!same_month && !new_month) fail("consecutive days are not consecutive dates");
    }

    std::vector<std::int64_t> out(ticks.size());
    normalize_to_year_us(ticks.data(), ticks.size(), per_day, year, out.data());
    for (std::size_t i = 0; i < ticks.size(); ++i) {
        const CivilDate src = civil_from_days(floor_div(ticks[i], per_day));
        if (out[i] % 86400000000 != 0) fail("not midnight");
        const CivilDate got = civil_from_days(out[i] / 86400000000);
        const unsigned want_day = (src.month == 2 && src.day == 29 && !is_leap_year(year)) ? 28 : src.day;
        if (got.year != year || got.month != src.month || got.day != want_day)
            fail("wrong reference-year date");
    }
    return 0;
}
