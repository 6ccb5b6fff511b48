// timestamp.h: the local time that begins every line.
#ifndef TARVELO_LOG_TIMESTAMP_H
#define TARVELO_LOG_TIMESTAMP_H

#include "log/catalogue.h"

#include <ctime>

namespace tarvelo {

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
