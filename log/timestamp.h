// timestamp.h: the local time that begins every line.
#ifndef TARVELO_LOG_TIMESTAMP_H
#define TARVELO_LOG_TIMESTAMP_H

#include "log/catalogue.h"

#include <cstdint>
#include <ctime>
#include <string_view>

namespace tarvelo {

// The English names the timestamp writes, three letters each, from Sunday
// and from January, whatever locale the host has set.
inline constexpr std::string_view day_names = "SunMonTueWedThuFriSat";
inline constexpr std::string_view month_names = "JanFebMarAprMayJunJulAugSepOctNovDec";

// The calendar of the timestamp's dates, the proleptic Gregorian one, as
// days counted from 1970-01-01: for readers of the log that compare its
// times or count back from them.
struct civil_date {
    std::int64_t year;
    int month; // 1 to 12
    int day;   // 1 to 31
};

constexpr std::int64_t days_from_civil(std::int64_t year, int month, int day) {
    const std::int64_t y = year - (month <= 2 ? 1 : 0);
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

constexpr civil_date civil_from_days(std::int64_t days) {
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const auto day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const auto month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    return {yoe + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

static_assert(days_from_civil(1970, 1, 1) == 0 && days_from_civil(2000, 3, 1) == 11017 &&
              civil_from_days(11016).day == 29);

// The 24-character local time text of `when`, in the layout of the C
// library's ctime without its newline, with English names whatever locale
// the host has set: "Wed Jun 30 21:49:08 1993", days 1 to 9 behind a blank
// ("Wed Jun  9") on every platform. Not terminated.
void format_timestamp(std::time_t when, char out[timestamp_length]);

// The same for `now`, the current clock second, made once a second and
// shared by every line of that second on every thread; a time zone that the
// host changes is followed within a second. Never waits for another line.
void current_timestamp(std::time_t now, char out[timestamp_length]);

} // namespace tarvelo

#endif
