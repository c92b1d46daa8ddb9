// Days since 1970-01-01 for a date of the proleptic Gregorian calendar, for HTTP dates
// read and written without the C library's time zone state.
#pragma once

#include <cstdint>

namespace zv::calendar {

// `month` 1..12, `day` 1..31 (Howard Hinnant's days_from_civil).
constexpr std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) noexcept {
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto year_of_era = unsigned(year - era * 400);
    const unsigned day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + std::int64_t(day_of_era) - 719468;
}

static_assert(days_from_civil(1970, 1, 1) == 0 && days_from_civil(2000, 3, 1) == 11017);

}  // namespace zv::calendar
