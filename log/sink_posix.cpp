// sink_posix.cpp: see sink.h. The POSIX sinks.
#include "log/sink.h"

#include "log/pipe_signal.h"
#include "os/descriptor.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tarvelo {
namespace {

// Trace lines hold challenge and response pairs, from which a password can
// be guessed offline: a new log file gives others no access at all. The
// host's umask narrows this further; an existing file keeps its mode.
constexpr mode_t new_log_mode = 0640;

// Whether standard output is a pipe or a socket, which a host's reader can
// leave. A file, a terminal or /dev/null cannot raise SIGPIPE, and those
// cost nothing more than the line. Learned again in the first line of each
// clock second and kept with the second's stamp, in one word, so that a
// thread never pairs one second's answer with another's: bit 1 marks a
// stamp (0 is "never learned"), bit 0 holds the answer.
constinit std::atomic<std::uint32_t> standard_output_checked{0};

// Asked with calls that only a pipe (or FIFO) and only a socket answer,
// rather than fstat, whose symbol would tie the library to C libraries of
// 2021 and later.
bool is_pipe_or_socket(int fd) {
    int type = 0;
    socklen_t size = sizeof type;
    return system_fcntl(fd, F_GETPIPE_SZ, 0) >= 0 ||
           getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) == 0;
}

bool standard_output_is_pipe(std::time_t now) {
    const std::uint32_t stamp = (static_cast<std::uint32_t>(now) << 2) | 2u;
    std::uint32_t known = standard_output_checked.load(std::memory_order_relaxed);
    if ((known & ~1u) != stamp) {
        known = stamp | (is_pipe_or_socket(STDOUT_FILENO) ? 1u : 0u);
        standard_output_checked.store(known, std::memory_order_relaxed);
    }
    return (known & 1u) != 0;
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

// The same, for a stream that may be a pipe whose reader has gone.
void put_line_held(std::FILE *stream, const char *line, std::size_t length) {
    pipe_signal_held held;
    errno = 0;
    put_line(stream, line, length);
    held.after_write(errno);
}

} // namespace

// Opened without waiting: a log path that names a FIFO with no reader would
// otherwise block this channel, and every channel that logs there, for good.
// Such a FIFO fails with ENXIO, a log file that cannot be opened. A FIFO
// with a reader stays non-blocking for the write too: when its reader falls
// behind and it is full, the line (shorter than PIPE_BUF, so never written
// in part) is dropped rather than stalling the channel. On a regular file
// the flag changes nothing. A descriptor of 0, 1 or 2 (a host running with
// one closed) is moved up, on that rare path only: on 1, standard output
// would write every line into the log a second time.
int open_log(const char *path) {
    return above_standard_streams(
        open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, new_log_mode));
}

void append_and_close(int fd, const char *line, std::size_t length) {
#if defined(__linux__)
    // On Linux a positioned write to a file opened for appending goes to its
    // end, in one step as a plain write does. A FIFO has no position and
    // refuses it with ESPIPE before writing anything or raising a signal.
    // So a regular log file costs no system call more than the write to
    // learn what it is, and only a FIFO, whose reader may leave between our
    // open and our write, takes the guarded path.
    if (pwrite(fd, line, length, 0) >= 0 || errno != ESPIPE) {
        close(fd);
        return;
    }
#endif
    {
        pipe_signal_held held;
        if (write(fd, line, length) < 0) {
            held.after_write(errno);
        }
    }
    close(fd);
}

void close_log(int fd) { close(fd); }

void put_standard_output(const char *line, std::size_t length, std::time_t now) {
    if (standard_output_is_pipe(now)) {
        put_line_held(stdout, line, length);
    } else {
        put_line(stdout, line, length);
    }
}

// On the rare path of a log file that cannot be opened, standard error is
// not worth a check of what it is: it is always written with SIGPIPE held.
void report_open_failure(int error) {
    char line[64];
    const int length =
        std::snprintf(line, sizeof line, "Error accessing log file - errno %d\n", error);
    if (length > 0) {
        put_line_held(stderr, line, static_cast<std::size_t>(length));
    }
}

} // namespace tarvelo
