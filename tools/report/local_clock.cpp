// local_clock.cpp: see local_clock.h.
#include "tools/report/local_clock.h"

#include "log/timestamp.h"
#include "tools/report/log_time.h"

#include <climits>
#include <cstdint>
#include <ctime>

namespace tarvelo::tool {

std::int64_t local_clock_now() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
#if defined(_WIN32)
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    // Days from the civil date, as the log's times count them.
    return time_of(days_from_civil(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday),
                   local.tm_hour, local.tm_min, local.tm_sec);
}

std::optional<std::int64_t> local_clock_to_epoch(std::int64_t local) {
    // The clock's fields, read back through the machine's zone.
    const auto [days, seconds] = split_days(local);
    if (days > INT32_MAX - 1 || days < INT32_MIN + 1) {
        return std::nullopt;
    }
    std::tm fields{};
    fields.tm_year = 70;
    fields.tm_mday = 1 + static_cast<int>(days); // mktime carries the days over
    fields.tm_sec = static_cast<int>(seconds);
    fields.tm_isdst = -1;
    const std::time_t t = std::mktime(&fields);
    if (t == static_cast<std::time_t>(-1)) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(t);
}

} // namespace tarvelo::tool
