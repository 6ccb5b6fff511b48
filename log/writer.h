// writer.h: the one operation that reports what the exit does.
#ifndef TARVELO_LOG_WRITER_H
#define TARVELO_LOG_WRITER_H

// The line's text and its timestamp, for programs that make lines as the
// writer makes them.
#include "log/line.h"
#include "log/timestamp.h"

#include <cstddef>

namespace tarvelo {

// The exit data field that names the log file holds 32 bytes.
inline constexpr std::size_t log_path_max = 32;

// Where one exit call's lines go besides standard output: the log file its
// own exit data names, terminated; empty when it names none. Each call
// carries its own, so that a channel's lines go only to its own file,
// whatever the host's other channels do meanwhile on other threads.
struct log_destination {
    char path[log_path_max + 1];
};

// Writes catalogue entry `index` (see catalogue.h) with the current local
// time, the channel name text and the caller's argument text (see line.h:
// bytes of those two that could break or forge a line are shown escaped).
// The line goes to standard output, flushed, and is appended to the log file
// of `log` when it names one. Trace entries (the indices above
// last_numbered_message) are dropped while trace is off, though a named log
// file is still opened (and so created). A log
// file that cannot be opened gives "Error accessing log file - errno N" on
// standard error; the line still reaches standard output. A line is in the
// log file whole or not at all: one that a full disk, a quota, the
// file-size limit or an I/O error keeps out gives "Error writing log file -
// errno N" on standard error, and no signal reaches the host. Null texts are
// empty; an index outside the catalogue writes nothing. Never fails its
// caller. A FIFO with no reader is a log file that cannot be opened (never
// waited on), and each line is written once to each stream even when the
// host runs with standard descriptors closed. A pipe or socket whose reader
// has gone raises no SIGPIPE in the host, with one exception: what standard
// output is gets learned in the first line of each clock second, so a host
// that puts a pipe or socket on descriptor 1 in place of a file, terminal
// or /dev/null can be sent SIGPIPE by a line later in that same second, if
// the reader has gone by then (see sink.h).
//
// With `own_text_length` above zero, `text` is that many bytes the exit made
// itself (hex text and a blank), shown as they stand with no look at them:
// the response the exit is about to send must steer nothing, trace on or
// off.
void write_message(const log_destination &log, int index, const char *channel_name,
                   const char *text, std::size_t own_text_length = 0);

} // namespace tarvelo

#endif
