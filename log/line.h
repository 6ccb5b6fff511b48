// line.h: the text of one message line.
//
// A line is a catalogue format with its "%s" placeholders filled in order by
// the timestamp, the channel name text and the caller's argument text.
#ifndef TARVELO_LOG_LINE_H
#define TARVELO_LOG_LINE_H

#include <cstddef>

namespace tarvelo {

// Room for the longest format with a 99-character channel name and argument.
inline constexpr std::size_t message_line_max = 512;

// Fills `format`'s "%s" placeholders in order from `args` (null or missing
// arguments are empty) into `out`, truncating at `capacity` - 1; terminates
// and returns the length.
std::size_t expand_format(const char *format, std::size_t format_length, const char *const *args,
                          std::size_t arg_count, char *out, std::size_t capacity);

} // namespace tarvelo

#endif
