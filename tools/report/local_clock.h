// local_clock.h: this machine's wall clock in the log's own count of time.
#ifndef TARVELO_TOOLS_REPORT_LOCAL_CLOCK_H
#define TARVELO_TOOLS_REPORT_LOCAL_CLOCK_H

#include <cstdint>
#include <optional>

namespace tarvelo::tool {

// The wall-clock time now, as the exit's log writes it: local time, counted
// in seconds from 1970-01-01 00:00:00 of that clock.
std::int64_t local_clock_now();
// A time of that local clock as seconds since the epoch (UTC), by the time
// zone of this machine; nothing when it cannot be converted.
std::optional<std::int64_t> local_clock_to_epoch(std::int64_t local);

} // namespace tarvelo::tool

#endif
