// log_time.h: the times of the exit's log: read from its lines and from the
// command line, and written in ISO 8601.
#ifndef TARVELO_TOOLS_REPORT_LOG_TIME_H
#define TARVELO_TOOLS_REPORT_LOG_TIME_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvelo::tool {

// A time as the log shows it: seconds since 1970-01-01 00:00:00 counted in
// the log's own wall-clock time. The log carries no zone, so these are
// compared and printed as they are; only the Prometheus gauge of a
// channel's last line converts one, by this machine's zone.
using log_time = std::int64_t;

inline constexpr log_time day_seconds = 86400;

// A time as its day, counted from 1970-01-01 (days before it below zero),
// and its second within that day, 0 to 86399.
struct day_and_second {
    log_time day;
    log_time second;
};
constexpr day_and_second split_days(log_time t) {
    const log_time second = t % day_seconds;
    return second < 0 ? day_and_second{t / day_seconds - 1, second + day_seconds}
                      : day_and_second{t / day_seconds, second};
}

// The time of a clock's reading on `day` (as counted above).
constexpr log_time time_of(log_time day, int hour, int minute, int second) {
    return day * day_seconds + hour * 3600 + minute * 60 + second;
}

// The number written in the `count` decimal digits at `text[at]`, or -1
// when they are not all digits or run past the text.
inline int digits_at(std::string_view text, std::size_t at, std::size_t count) {
    if (at + count > text.size()) {
        return -1;
    }
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return -1;
        }
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// The 24-character timestamp that begins every line ("Tue Dec  8 18:43:24
// 2026"), or nothing when `text` is not one. The day name is checked to be
// a day name, not to fit the date.
std::optional<log_time> parse_log_timestamp(std::string_view text);

// A time given on the command line, as the log's local time:
// "2026-12-08", "2026-12-08T18:43", "2026-12-08 18:43:24" (T or a blank),
// the log's own form "Tue Dec  8 18:43:24 2026", or relative to `now`:
// "-90s", "-30m", "-1h", "-2d", "today" and "yesterday" (their midnight),
// "now". A date alone means its midnight. Nothing when `text` is none of
// these or names no real date.
std::optional<log_time> parse_time_argument(std::string_view text, log_time now);

// ISO 8601 without a zone: "2026-12-08T18:43:24"; `separator` replaces the
// "T" (a blank reads better in a table).
std::string iso_time(log_time t, char separator = 'T');

// The time on the first line of `text` that begins with a timestamp (after
// the blank a TARVELO002E line leaves), to put a rotated set in order.
std::optional<log_time> first_time_in(std::string_view text);

} // namespace tarvelo::tool

#endif
