// writer.h: the one operation that reports what the exit does.
#ifndef TARVELO_LOG_WRITER_H
#define TARVELO_LOG_WRITER_H

#include "log/catalogue.h"

#include <cstddef>
#include <ctime>

namespace tarvelo {

// Room for the longest format with a 99-character channel name and argument.
inline constexpr std::size_t message_line_max = 512;

// Writes catalogue entry `index` (0 to 21) with the current local time, the
// channel name text and the caller's argument text. The line goes to
// standard output, flushed, and is appended to the file named by `log_path`
// when there is one. Trace entries (above 10) are dropped while trace is off,
// though a named log file is still opened (and so created). A log file that
// cannot be opened gives "Error accessing log file - errno N" on standard
// error; the line still reaches standard output. Null texts are empty; an
// index outside the catalogue writes nothing. Never fails its caller, and
// never harms the host's process: a pipe whose reader has gone raises no
// SIGPIPE in it, a FIFO with no reader is a log file that cannot be opened
// (never waited on), and each line is written once to each stream even when
// the host runs with standard descriptors closed.
void write_message(int index, const char *channel_name, const char *text);

// The 24-character local time text of `when`, in the layout of the C
// library's ctime without its newline, with English names whatever locale
// the host has set: "Wed Jun 30 21:49:08 1993", days 1 to 9 behind a blank
// ("Wed Jun  9") on every platform. Not terminated.
void format_timestamp(std::time_t when, char out[timestamp_length]);

// Fills `format`'s "%s" placeholders in order from `args` (null or missing
// arguments are empty) into `out`, truncating at `capacity` - 1; terminates
// and returns the length.
std::size_t expand_format(const char *format, std::size_t format_length, const char *const *args,
                          std::size_t arg_count, char *out, std::size_t capacity);

} // namespace tarvelo

#endif
