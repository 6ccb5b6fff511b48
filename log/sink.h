// sink.h: where a line goes, on each platform: the log file, standard
// output and, when the log file cannot be opened or written, standard
// error.
//
// Whatever the host's process is like (descriptors closed, standard output
// a pipe whose reader has gone, a log path naming a FIFO or named pipe with
// no reader), a line neither harms the host nor holds up its channel.
// sink_posix.cpp and sink_windows.cpp hold the two implementations.
#ifndef TARVELO_LOG_SINK_H
#define TARVELO_LOG_SINK_H

#include <cstddef>
#include <ctime>

namespace tarvelo {

// Opens the log file at `path` to append one line: created when missing,
// with no access for others (0640 at most, less the host's umask), never
// waited on, never on descriptors 0 to 2, not inherited by the host's
// children. On POSIX systems a path that another user could have steered
// is refused with EACCES: a symbolic link anywhere on it that belongs to
// neither root nor the process's user, a file with more than one name in a
// directory others may write, another's file in a sticky directory open to
// all (see planted.h, and planted.cpp for what is taken as found for the
// rest of a clock second).
// -1 with errno set when it cannot be opened. `now` is the line's clock
// second.
[[nodiscard]] int open_log(const char *path, std::time_t now);

// Appends the whole line with one write, so that lines of channels on
// other threads and in other processes never interleave with it, then
// closes `fd` (opened by open_log from `path`). Returns 0 when the line is
// in the file whole, else the error number that kept it out: a line is in
// the log whole or not at all, whatever the file system does (a full disk,
// a quota, an I/O error). Raises no signal in the host: neither SIGPIPE
// from a FIFO whose reader has gone nor SIGXFSZ from a file that has
// reached the process's file-size limit. Whether the process has such a
// limit is learned in the first line of each clock second, as what
// standard output is (below), and with the same consequence: a host that
// sets a limit on itself can be sent SIGXFSZ by a line later in that
// second that finds the file at the limit; from the next second on it
// cannot. A line to a regular file that goes in whole costs nothing beyond
// the check of what the write returned.
[[nodiscard]] int append_and_close(int fd, const char *path, const char *line, std::size_t length,
                                   std::time_t now);

// Closes a log file opened for a line that is then not written.
void close_log(int fd);

// Writes the line to standard output, whole and flushed, keeping its place
// among the host's own buffered output. `now` is the line's clock second.
//
// On POSIX systems SIGPIPE is held around the write whenever standard
// output is a pipe or a socket, and SIGXFSZ whenever the process has a
// file-size limit. What descriptor 1 is gets learned in the
// first line of each clock second (by any thread), not on every line:
// asking on every line would cost two system calls more on a line to a file
// or /dev/null, and holding the signal on every line two or three, where a
// whole logged line takes four. So a host that, within one clock second,
// puts a pipe or socket on descriptor 1 in place of a file, terminal or
// /dev/null can be sent SIGPIPE by a line later in that same second, if the
// reader has gone by then; from the next second on it cannot. A host that
// ignores SIGPIPE is never sent one; one that blocks it is not ended by it,
// but may find it pending.
void put_standard_output(const char *line, std::size_t length, std::time_t now);

// "Error accessing log file - errno N" on standard error.
void report_open_failure(int error);

// "Error writing log file - errno N" on standard error: a line that is not
// in the log file, said.
void report_write_failure(int error);

} // namespace tarvelo

#endif
