#include "core/civil_date.hpp"

namespace lumoreq::core {

// Howard Hinnant's algorithms: the year is shifted to start on 1 March, so 29 February is the
// last day of its "year" and the month lengths of March..January repeat with period 5.
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

CivilDate civil_from_days(std::int64_t z) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2), m, d};
}

void normalize_to_year_us(const std::int64_t* ticks, std::size_t n, std::int64_t ticks_per_day,
                          std::int64_t reference_year, std::int64_t* out_us) {
    constexpr std::int64_t kUsPerDay = 86'400'000'000;
    // Day number of every (month, day) in the reference year, looked up instead of recomputed.
    std::int64_t day_of[13][32] = {};
    const bool leap = is_leap_year(reference_year);
    for (unsigned m = 1; m <= 12; ++m)
        for (unsigned d = 1; d <= 31; ++d) {
            const unsigned target = (m == 2 && d == 29 && !leap) ? 28 : d;
            day_of[m][d] = days_from_civil(reference_year, m, target);
        }
    for (std::size_t i = 0; i < n; ++i) {
        std::int64_t days = ticks[i] / ticks_per_day;
        if (ticks[i] % ticks_per_day < 0) --days;  // floor: times before 1970 belong to the earlier day
        const CivilDate c = civil_from_days(days);
        out_us[i] = day_of[c.month][c.day] * kUsPerDay;
    }
}

}  // namespace lumoreq::core
