// sink_posix.cpp: see sink.h. The POSIX sinks.
#include "log/sink.h"

#include "log/catalogue.h"
#include "log/line.h"
#include "log/planted.h"
#include "log/signal_guard.h"
#include "os/descriptor.h"
#include "os/file_status.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvelo {
namespace {

// Trace lines hold challenge and response pairs, from which a password can
// be guessed offline: a new log file gives others no access at all. The
// host's umask narrows this further; an existing file keeps its mode.
constexpr mode_t new_log_mode = 0640;

// A yes-or-no fact about the host's process that the first line of each
// clock second learns again (by any thread), and the other lines of that
// second take as it stands: asking on every line would cost a system call
// more on each, where a whole logged line takes four. Kept with the second's
// stamp in one word, so that a thread never pairs one second's answer with
// another's: bit 1 marks a stamp (0 is "never learned"), bit 0 holds the
// answer.
class learned_each_second {
public:
    template <typename Learn> bool at(std::time_t now, Learn learn) {
        const std::uint32_t stamp = (static_cast<std::uint32_t>(now) << 2) | 2u;
        std::uint32_t known = word_.load(std::memory_order_relaxed);
        if ((known & ~1u) != stamp) {
            known = stamp | (learn() ? 1u : 0u);
            word_.store(known, std::memory_order_relaxed);
        }
        return (known & 1u) != 0;
    }

private:
    std::atomic<std::uint32_t> word_{0};
};

// Whether standard output is a pipe or a socket, which a host's reader can
// leave. A file, a terminal or /dev/null cannot raise SIGPIPE, and those
// cost nothing more than the line.
constinit learned_each_second standard_output_is_pipe;

// Whether the process has a file-size limit (ulimit -f, LimitFSIZE=): a
// write that begins at the limit raises SIGXFSZ, which ends the host. Most
// hosts have none, and their lines cost nothing more.
constinit learned_each_second file_size_is_limited;

// Asked with calls that only a pipe (or FIFO) and only a socket answer,
// rather than fstat, whose symbol would tie the library to C libraries of
// 2021 and later.
bool is_pipe_or_socket(int fd) {
    int type = 0;
    socklen_t size = sizeof type;
    return system_fcntl(fd, F_GETPIPE_SZ, 0) >= 0 ||
           getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) == 0;
}

bool has_file_size_limit() {
    rlimit limit{};
    return getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur != RLIM_INFINITY;
}

// A line goes to a standard stream whole and flushed, as stdio output, so
// that it keeps its place among the host's own buffered output. Where the C
// library allows, the stream's lock is held once across both: nothing the
// host writes on another thread comes between the line and its flush, and
// the lock is not taken twice on the path of every channel start.
void put_line(std::FILE *stream, const char *line, std::size_t length) {
#if defined(__GLIBC__)
    flockfile(stream);
    fwrite_unlocked(line, 1, length, stream);
    fflush_unlocked(stream);
    funlockfile(stream);
#else
    std::fwrite(line, 1, length, stream);
    std::fflush(stream);
#endif
}

// The same, for a stream that may be a pipe whose reader has gone, or a
// file that may reach the file-size limit: `signals` says which.
void put_line_held(std::FILE *stream, const char *line, std::size_t length, unsigned signals) {
    signal_held held(signals);
    errno = 0;
    put_line(stream, line, length);
    held.after_write(errno);
}

// On the rare paths of a log file that cannot be opened or written,
// standard error is not worth a check of what it is: it is always written
// with both signals held.
void report(standard_error_index which, int error) {
    char line[standard_error_line_max];
    const int length =
        std::snprintf(line, sizeof line, standard_error_lines[which].format.data(), error);
    if (length > 0) {
        put_line_held(stderr, line, static_cast<std::size_t>(length),
                      holds_sigpipe | holds_sigxfsz);
    }
}

// --- A line whole or not at all ----------------------------------------------

// A descriptor that reads the file open for writing on `fd` (the log is
// opened for writing only): the same file found again by its path, through
// a link the open took, or -1 when the path leads elsewhere now.
int open_to_read(int fd, const char *path) {
    const int reader = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    file_status written{};
    file_status read{};
    if (reader >= 0 && status_of_descriptor(fd, &written) && status_of_descriptor(reader, &read) &&
        written.device == read.device && written.inode == read.inode) {
        return reader;
    }
    if (reader >= 0) {
        close(reader);
    }
    return -1;
}

// The size of the file when it ends with the `length` bytes at `bytes`,
// else -1.
off_t end_if_it_ends_with(int reader, const char *bytes, std::size_t length) {
    const off_t end = lseek(reader, 0, SEEK_END);
    char tail[message_line_max];
    if (end < static_cast<off_t>(length) || length > sizeof tail ||
        pread(reader, tail, length, end - static_cast<off_t>(length)) !=
            static_cast<ssize_t>(length) ||
        std::memcmp(tail, bytes, length) != 0) {
        return -1;
    }
    return end;
}

// After a write that the file system cut short (a full disk, a quota, the
// file-size limit, an I/O error), the part of the line that went in is
// taken out again, so that no later line, ours or another process's, is
// glued onto it.
//
// Several processes may append to the file at once, each line in one
// O_APPEND write, so whole lines never interleave. The part is taken out
// only while it is still the end of the file, as its bytes show: once
// another process has appended a line behind it, the file ends with the
// end of that whole line, not with the beginning of ours (a timestamp and
// what follows it, short of the line's end), and that line is never cut.
// The part then stays, and it and that line read as one torn line, which
// `tarvelo report` counts and reads past. The check and the cut are two
// system calls: a line appended in the microseconds between them, by a
// process that found room where this one found none, would be cut with
// it; the cut is the only way the file system offers to take bytes back.
void take_out_part(int fd, const char *path, const char *line, std::size_t written) {
    const int reader = written > 0 ? open_to_read(fd, path) : -1;
    if (reader < 0) {
        return;
    }
    const off_t end = end_if_it_ends_with(reader, line, written);
    if (end >= 0 && ftruncate(fd, end - static_cast<off_t>(written)) != 0) {
        // a part that cannot be taken out stays: the report reads past it
    }
    close(reader);
}

// Appends the line to a regular file: 0 when it went in whole, else the
// error that kept it out, and then none of it is left at the end of the
// file. On Linux a positioned write to a file opened for appending goes to
// its end, in one step as a plain write does. A FIFO has no position and
// refuses it with ESPIPE, before writing anything or raising a signal.
int append_to_file(int fd, const char *path, const char *line, std::size_t length) {
#if defined(__linux__)
    ssize_t n = pwrite(fd, line, length, 0);
    if (n == static_cast<ssize_t>(length)) {
        return 0; // the usual case: nothing more to pay than this check
    }
    // Cut short or refused: the rest is tried, as a write loop does. If the
    // room came back, it goes in; if not, the write that gets nothing in
    // says why.
    std::size_t written = 0;
    int error = 0;
    for (;;) {
        if (n > 0) {
            written += static_cast<std::size_t>(n);
        } else if (n == 0) {
            error = ENOSPC;
        } else if (errno != EINTR) {
            error = errno;
        }
        if (error != 0 || written == length) {
            break;
        }
        n = pwrite(fd, line + written, length - written, 0);
    }
    if (error == 0) {
        const int reader = open_to_read(fd, path);
        if (reader < 0 || end_if_it_ends_with(reader, line, length) < 0) {
            error = EIO; // something came between the two parts
        }
        if (reader >= 0) {
            close(reader);
        }
    } else if (error != ESPIPE) {
        take_out_part(fd, path, line, written);
    }
    return error;
#else
    (void)fd, (void)path, (void)line, (void)length;
    return ESPIPE; // written as to a FIFO
#endif
}

} // namespace

// Opened without waiting: a log path that names a FIFO with no reader would
// otherwise block this channel, and every channel that logs there, for good.
// Such a FIFO fails with ENXIO, a log file that cannot be opened. A FIFO
// with a reader stays non-blocking for the write too: when its reader falls
// behind and it is full, the line (shorter than PIPE_BUF, so never written
// in part) is dropped and said rather than stalling the channel. On a
// regular file the flag changes nothing. A terminal named as the log never
// becomes the host's controlling terminal. A path another user could have
// steered is refused (see planted.h). A descriptor of 0, 1 or 2 (a host
// running with one closed) is moved up, on that rare path only: on 1,
// standard output would write every line into the log a second time.
int open_log(const char *path, std::time_t now) {
    return above_standard_streams(
        open_unplanted(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY,
                       new_log_mode, now));
}

int append_and_close(int fd, const char *path, const char *line, std::size_t length,
                     std::time_t now) {
    int error = 0;
    if (file_size_is_limited.at(now, has_file_size_limit)) {
        signal_held held(holds_sigxfsz);
        error = append_to_file(fd, path, line, length);
        held.after_write(error);
    } else {
        error = append_to_file(fd, path, line, length);
    }
    if (error == ESPIPE) {
        // A FIFO, whose reader may leave between our open and our write.
        // Lines are shorter than PIPE_BUF, so a write is whole or refused.
        signal_held held(holds_sigpipe);
        error = write(fd, line, length) < 0 ? errno : 0;
        held.after_write(error);
    }
    close(fd);
    return error;
}

void close_log(int fd) { close(fd); }

// Standard output on a file of a process with a file-size limit can reach
// the limit as the log file can: the line is then cut as the file system
// cuts it, as any program's output is, but no signal reaches the host.
void put_standard_output(const char *line, std::size_t length, std::time_t now) {
    unsigned signals = 0;
    if (standard_output_is_pipe.at(now, [] { return is_pipe_or_socket(STDOUT_FILENO); })) {
        signals |= holds_sigpipe;
    }
    if (file_size_is_limited.at(now, has_file_size_limit)) {
        signals |= holds_sigxfsz;
    }
    if (signals != 0) {
        put_line_held(stdout, line, length, signals);
    } else {
        put_line(stdout, line, length);
    }
}

void report_open_failure(int error) { report(log_open_failed, error); }

void report_write_failure(int error) { report(log_write_failed, error); }

} // namespace tarvelo
