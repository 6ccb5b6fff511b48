// log_time.cpp: see log_time.h.
#include "tools/report/log_time.h"

#include "log/catalogue.h"
#include "log/timestamp.h"

#include <cstdio>

namespace tarvelo::tool {
namespace {

constexpr std::size_t stamp_length = timestamp_length; // "Tue Dec  8 18:43:24 2026"

// 1 to 12 for a month's three letters, else 0.
int month_number(std::string_view name) {
    for (std::size_t m = 0; m < 12; ++m) {
        if (month_names.substr(3 * m, 3) == name) {
            return static_cast<int>(m) + 1;
        }
    }
    return 0;
}

struct clock_time {
    log_time year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// The last second a time written in ISO 8601 with four digits of year can
// hold: 9999-12-31T23:59:59.
constexpr log_time latest_time = time_of(days_from_civil(9999, 12, 31), 23, 59, 59);

// Leap seconds are let through: the C library may write a 60, which counts
// as the next minute. A date is real when the exit's calendar counts it back
// to the same date (the 31st of a month of 30 days counts as the 1st of the
// next), and a time is one the report can write back and read again: a leap
// second at the end of 9999 would fall in year 10000.
std::optional<log_time> to_log_time(const clock_time &c) {
    if (c.month < 1 || c.month > 12 || c.day < 1 || c.day > 31 || c.hour > 23 || c.minute > 59 ||
        c.second > 60 || c.hour < 0 || c.minute < 0 || c.second < 0) {
        return std::nullopt;
    }
    const log_time day = days_from_civil(c.year, c.month, c.day);
    const civil_date back = civil_from_days(day);
    if (back.year != c.year || back.month != c.month || back.day != c.day) {
        return std::nullopt;
    }
    const log_time t = time_of(day, c.hour, c.minute, c.second);
    if (t > latest_time) {
        return std::nullopt;
    }
    return t;
}

// "-90s", "-30m", "-1h", "-2d": that long before `now`.
std::optional<log_time> relative_time(std::string_view text, log_time now) {
    if (text.size() < 3 || text[0] != '-') {
        return std::nullopt;
    }
    log_time unit = 0;
    switch (text.back()) {
    case 's':
        unit = 1;
        break;
    case 'm':
        unit = 60;
        break;
    case 'h':
        unit = 3600;
        break;
    case 'd':
        unit = day_seconds;
        break;
    default:
        return std::nullopt;
    }
    const std::string_view digits = text.substr(1, text.size() - 2);
    if (digits.size() > 9) {
        return std::nullopt;
    }
    const int count = digits_at(digits, 0, digits.size());
    if (count < 0) {
        return std::nullopt;
    }
    return now - count * unit;
}

} // namespace

std::optional<log_time> parse_log_timestamp(std::string_view text) {
    if (text.size() != stamp_length || text[3] != ' ' || text[7] != ' ' || text[10] != ' ' ||
        text[13] != ':' || text[16] != ':' || text[19] != ' ') {
        return std::nullopt;
    }
    const std::size_t day_name = day_names.find(text.substr(0, 3));
    if (day_name == std::string_view::npos || day_name % 3 != 0) {
        return std::nullopt;
    }
    clock_time c;
    c.month = month_number(text.substr(4, 3));
    // Days 1 to 9 stand behind a blank.
    c.day = text[8] == ' ' ? digits_at(text, 9, 1) : digits_at(text, 8, 2);
    c.hour = digits_at(text, 11, 2);
    c.minute = digits_at(text, 14, 2);
    c.second = digits_at(text, 17, 2);
    c.year = digits_at(text, 20, 4);
    if (c.year < 0) {
        return std::nullopt;
    }
    return to_log_time(c);
}

std::optional<log_time> parse_time_argument(std::string_view text, log_time now) {
    const log_time midnight = time_of(split_days(now).day, 0, 0, 0);
    if (text == "now") {
        return now;
    }
    if (text == "today") {
        return midnight;
    }
    if (text == "yesterday") {
        return midnight - day_seconds;
    }
    if (!text.empty() && text[0] == '-') {
        return relative_time(text, now);
    }
    if (text.size() == stamp_length) {
        return parse_log_timestamp(text);
    }
    // YYYY-MM-DD, then optionally T or a blank and HH:MM, then :SS.
    if ((text.size() != 10 && text.size() != 16 && text.size() != 19) || text[4] != '-' ||
        text[7] != '-') {
        return std::nullopt;
    }
    clock_time c;
    c.year = digits_at(text, 0, 4);
    c.month = digits_at(text, 5, 2);
    c.day = digits_at(text, 8, 2);
    if (text.size() > 10) {
        if ((text[10] != 'T' && text[10] != ' ') || text[13] != ':') {
            return std::nullopt;
        }
        c.hour = digits_at(text, 11, 2);
        c.minute = digits_at(text, 14, 2);
    }
    if (text.size() > 16) {
        if (text[16] != ':') {
            return std::nullopt;
        }
        c.second = digits_at(text, 17, 2);
    }
    if (c.year < 0) {
        return std::nullopt;
    }
    return to_log_time(c);
}

std::string iso_time(log_time t, char separator) {
    const auto [day, seconds] = split_days(t);
    const civil_date d = civil_from_days(day);
    if (d.year < 0 || d.year > 9999) {
        char text[48];
        std::snprintf(text, sizeof text, "%04lld-%02d-%02d%c%02d:%02d:%02d",
                      static_cast<long long>(d.year), d.month, d.day, separator,
                      static_cast<int>(seconds / 3600), static_cast<int>(seconds / 60 % 60),
                      static_cast<int>(seconds % 60));
        return text;
    }
    // A report writes two for every channel: digits by hand, not printf.
    std::string text = "0000-00-00T00:00:00";
    const auto digits = [&text](std::size_t at, log_time value, std::size_t count) {
        for (std::size_t i = count; i-- > 0; value /= 10) {
            text[at + i] = static_cast<char>('0' + value % 10);
        }
    };
    digits(0, d.year, 4);
    digits(5, d.month, 2);
    digits(8, d.day, 2);
    text[10] = separator;
    digits(11, seconds / 3600, 2);
    digits(14, seconds / 60 % 60, 2);
    digits(17, seconds % 60, 2);
    return text;
}

std::optional<log_time> first_time_in(std::string_view text) {
    while (!text.empty()) {
        const std::size_t newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        if (!line.empty() && line[0] == ' ') {
            line.remove_prefix(1);
        }
        if (line.size() > stamp_length && line[stamp_length] == ' ') {
            if (const auto t = parse_log_timestamp(line.substr(0, stamp_length))) {
                return t;
            }
        }
        if (newline == std::string_view::npos) {
            break;
        }
        text.remove_prefix(newline + 1);
    }
    return std::nullopt;
}

} // namespace tarvelo::tool
