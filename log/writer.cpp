// writer.cpp: see writer.h.
#include "log/writer.h"

#include "log/catalogue.h"
#include "log/settings.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#ifndef NOMINMAX
#define NOMINMAX // std::min and std::max, not the Windows macros
#endif
#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace tarvelo {
namespace {

// A clock second as a stamp. Facts about the host's process that can change
// at any moment but are not worth a system call on every line are learned
// again in the first line of a second and kept with its stamp, in one word,
// so that a thread never pairs one second's answer with another's: bit 1
// marks a stamp (0 is "never learned"), bit 0 holds a yes or no answer.
constexpr std::uint32_t stamp_of(std::time_t now) {
    return (static_cast<std::uint32_t>(now) << 2) | 2u;
}

#if !defined(_WIN32)
// As ctime does, follow a time zone that the host has changed since the
// last line, but within a second rather than at once: with TZ unset the C
// library looks at /etc/localtime again on every tzset, one system call more
// on every line. Stamped before the zone is read, so that the other threads
// of this second go on with the zone they have.
constinit std::atomic<std::uint32_t> zone_read_in{0};

void follow_time_zone(std::time_t now) {
    const std::uint32_t stamp = stamp_of(now);
    if (zone_read_in.load(std::memory_order_relaxed) != stamp) {
        zone_read_in.store(stamp, std::memory_order_relaxed);
        tzset();
    }
}

// Whether standard output is a pipe or a socket, which a host's reader can
// leave. A file, a terminal or /dev/null cannot raise SIGPIPE, and those
// cost nothing more than the line; a host that moves its standard output
// onto a pipe is followed within a second.
constinit std::atomic<std::uint32_t> standard_output_checked{0};

// Asked with calls that only a pipe (or FIFO) and only a socket answer,
// rather than fstat, whose symbol would tie the library to C libraries of
// 2021 and later.
bool is_pipe_or_socket(int fd) {
    int type = 0;
    socklen_t size = sizeof type;
    return fcntl(fd, F_GETPIPE_SZ) >= 0 || getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) == 0;
}

bool standard_output_is_pipe(std::time_t now) {
    const std::uint32_t stamp = stamp_of(now);
    std::uint32_t known = standard_output_checked.load(std::memory_order_relaxed);
    if ((known & ~1u) != stamp) {
        const bool is_pipe = is_pipe_or_socket(STDOUT_FILENO);
        known = stamp | (is_pipe ? 1u : 0u);
        standard_output_checked.store(known, std::memory_order_relaxed);
    }
    return (known & 1u) != 0;
}

// Keeps SIGPIPE from the host while this thread writes to a pipe or a socket
// whose reader may have gone: a write there would otherwise end the host's
// process on the spot, on a line it never asked for. The signal is blocked
// in this thread only, for the one write. A SIGPIPE that the host already
// had pending is its own and stays pending; one that our write raised is
// taken before the mask is put back, so the host never sees it. (The C
// library's sigprocmask sets the calling thread's mask, as pthread_sigmask
// does, and keeps the library loadable by hosts on older C libraries.)
class pipe_signal_held {
public:
    pipe_signal_held() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigprocmask(SIG_BLOCK, &pipe_, &saved_);
        sigset_t pending;
        sigemptyset(&pending);
        host_had_one_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    }
    ~pipe_signal_held() { sigprocmask(SIG_SETMASK, &saved_, nullptr); }
    pipe_signal_held(const pipe_signal_held &) = delete;
    pipe_signal_held &operator=(const pipe_signal_held &) = delete;

    // After a write that failed with `error`: EPIPE means that write raised
    // a SIGPIPE at this thread, which is taken here unless the host's own
    // was already pending (the two are one pending signal then, and it is
    // the host's).
    void after_write(int error) {
        if (error == EPIPE && !host_had_one_) {
            const timespec no_wait{};
            while (sigtimedwait(&pipe_, nullptr, &no_wait) < 0 && errno == EINTR) {
                // a handler of the host's ran first: take ours all the same
            }
        }
    }

private:
    sigset_t pipe_{};
    sigset_t saved_{};
    bool host_had_one_ = false;
};
#endif

// The timestamp text of one clock second, made by the first line of that
// second and copied by the others: local time (under the C library's lock)
// and its text are most of what a line costs beyond its system calls. A
// sequence lock: the version is odd while a line writes the text, and a
// reader that sees it change meanwhile makes its own text instead. No line
// ever waits for another.
class second_text {
public:
    // Copies the text of the second `stamp` into `out`; false when another
    // second is kept, or the text is being written.
    bool copy(std::uint32_t stamp, char out[timestamp_length]) const {
        const std::uint32_t version = version_.load(std::memory_order_acquire);
        if ((version & 1u) != 0 || stamp_.load(std::memory_order_relaxed) != stamp) {
            return false;
        }
        for (std::size_t i = 0; i < words; ++i) {
            const std::uint32_t word = text_[i].load(std::memory_order_relaxed);
            std::memcpy(out + 4 * i, &word, 4);
        }
        std::atomic_thread_fence(std::memory_order_acquire);
        return version_.load(std::memory_order_relaxed) == version;
    }

    // Keeps `text` as the second `stamp`'s, unless another line is at it.
    void keep(std::uint32_t stamp, const char text[timestamp_length]) {
        std::uint32_t version = version_.load(std::memory_order_relaxed);
        if ((version & 1u) != 0 ||
            !version_.compare_exchange_strong(version, version + 1, std::memory_order_relaxed)) {
            return;
        }
        std::atomic_thread_fence(std::memory_order_release);
        stamp_.store(stamp, std::memory_order_relaxed);
        for (std::size_t i = 0; i < words; ++i) {
            std::uint32_t word = 0;
            std::memcpy(&word, text + 4 * i, 4);
            text_[i].store(word, std::memory_order_relaxed);
        }
        version_.store(version + 2, std::memory_order_release);
    }

private:
    static_assert(timestamp_length % 4 == 0);
    static constexpr std::size_t words = timestamp_length / 4;
    std::atomic<std::uint32_t> version_{0};
    std::atomic<std::uint32_t> stamp_{0};
    std::atomic<std::uint32_t> text_[words]{};
};

constinit second_text current_second_text;

// The log file is opened, written and closed within one message: operators
// rotate logs by moving the file away, and the next line creates it again.
// Mode "ab" as plain calls: append, create, no newline translation.
//
// The log file's descriptor is never 0, 1 or 2. A host may run with one of
// those closed, and the system then gives its number to the log file: with
// 1, standard output would write every line into the log a second time.
// Such a descriptor is moved up, on that rare path only.
#if defined(_WIN32)
int open_log(const char *path) {
    int fd = _open(path, _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY | _O_NOINHERIT,
                   _S_IREAD | _S_IWRITE);
    // The C runtime has no "lowest number above 2": duplicates are taken
    // until one is, the low ones held open meanwhile and closed after.
    int low[3];
    std::size_t held = 0;
    while (fd >= 0 && fd <= 2 && held < 3) {
        low[held++] = fd;
        fd = _dup(fd);
    }
    const int error = errno;
    for (std::size_t i = 0; i < held; ++i) {
        _close(low[i]);
    }
    if (held != 0 && fd >= 0) {
        // A duplicate is inheritable: keep the host's children off it.
        SetHandleInformation(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), HANDLE_FLAG_INHERIT, 0);
    }
    errno = error;
    return fd;
}
#else
// Opened without waiting: a log path that names a FIFO with no reader would
// otherwise block this channel, and every channel that logs there, for good.
// Such a FIFO fails with ENXIO, a log file that cannot be opened. A FIFO
// with a reader stays non-blocking for the write too: when its reader falls
// behind and it is full, the line (at most 512 bytes, so never written in
// part) is dropped rather than stalling the channel. On a regular file the
// flag changes nothing.
int open_log(const char *path) {
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd >= 0 && fd <= STDERR_FILENO) {
        const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        const int error = errno;
        close(fd);
        errno = error;
        fd = moved;
    }
    return fd;
}
#endif

void close_log(int fd) {
#if defined(_WIN32)
    _close(fd);
#else
    close(fd);
#endif
}

// One write call for the whole line, so that lines of channels running on
// other threads never interleave with it in the file.
void append_line(int fd, const char *line, std::size_t length) {
#if defined(_WIN32)
    // The C runtime's append mode moves to the end of the file and then
    // writes: channels doing so at once write over each other's lines.
    // Written at the offset that means "end of file", the line is appended
    // by the system in one step, as O_APPEND does, for every process that
    // writes the file. Not every file system does that step atomically
    // (Wine's emulation looks up the size, then writes), so the channels of
    // this process also take their turn: the lock is held for this one
    // write only.
    static SRWLOCK turn = SRWLOCK_INIT;
    HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (GetFileType(file) == FILE_TYPE_PIPE) {
        // A named pipe whose server does not read would hold this write,
        // and every channel waiting for the lock, until it does: the line
        // goes without waiting, or as much of it as the pipe takes.
        DWORD no_wait = PIPE_READMODE_BYTE | PIPE_NOWAIT;
        (void)SetNamedPipeHandleState(file, &no_wait, nullptr, nullptr);
    }
    OVERLAPPED at_end{};
    at_end.Offset = 0xFFFFFFFF;
    at_end.OffsetHigh = 0xFFFFFFFF;
    DWORD written = 0;
    AcquireSRWLockExclusive(&turn);
    (void)WriteFile(file, line, static_cast<DWORD>(length), &written, &at_end);
    ReleaseSRWLockExclusive(&turn);
#else
#if defined(__linux__)
    // On Linux a positioned write to a file opened for appending goes to its
    // end, in one step as a plain write does. A FIFO has no position and
    // refuses it with ESPIPE before writing anything or raising a signal.
    // So a regular log file costs no system call more than the write to
    // learn what it is, and only a FIFO, whose reader may leave between our
    // open and our write, takes the guarded path below.
    if (pwrite(fd, line, length, 0) >= 0 || errno != ESPIPE) {
        return;
    }
#endif
    pipe_signal_held held;
    if (write(fd, line, length) < 0) {
        held.after_write(errno);
    }
#endif
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

// The same, for a stream that may be a pipe whose reader has gone. Windows
// fails such a write and raises nothing.
void put_line_held(std::FILE *stream, const char *line, std::size_t length) {
#if defined(_WIN32)
    put_line(stream, line, length);
#else
    pipe_signal_held held;
    errno = 0;
    put_line(stream, line, length);
    held.after_write(errno);
#endif
}

void put_standard_output(const char *line, std::size_t length, std::time_t now) {
#if !defined(_WIN32)
    if (!standard_output_is_pipe(now)) {
        put_line(stdout, line, length);
        return;
    }
#else
    (void)now;
#endif
    put_line_held(stdout, line, length);
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

bool local_time(std::time_t when, std::tm *out) {
#if defined(_WIN32)
    return localtime_s(out, &when) == 0;
#else
    return localtime_r(&when, out) != nullptr;
#endif
}

void put_two_digits(char *out, int value) {
    out[0] = static_cast<char>('0' + value / 10 % 10);
    out[1] = static_cast<char>('0' + value % 10);
}

} // namespace

void format_timestamp(std::time_t when, char out[timestamp_length]) {
    static constexpr char days[] = "SunMonTueWedThuFriSat";
    static constexpr char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    std::tm t{};
    if (!local_time(when, &t)) {
        t = std::tm{};
        t.tm_mday = 1;
        t.tm_year = 70;
    }
    // Out-of-range fields can only come from a broken time library; clamp so
    // that the text keeps its 24 characters.
    int wday = t.tm_wday >= 0 && t.tm_wday < 7 ? t.tm_wday : 0;
    int mon = t.tm_mon >= 0 && t.tm_mon < 12 ? t.tm_mon : 0;
    int year = (t.tm_year + 1900) % 10000;
    if (year < 0) {
        year = -year;
    }
    std::memcpy(out, days + 3 * wday, 3);
    out[3] = ' ';
    std::memcpy(out + 4, months + 3 * mon, 3);
    out[7] = ' ';
    put_two_digits(out + 8, t.tm_mday);
    // Days 1 to 9 are right-aligned behind a blank on every platform, even
    // where the C runtime's own ctime writes a zero: log readers match one
    // layout.
    if (out[8] == '0') {
        out[8] = ' ';
    }
    out[10] = ' ';
    put_two_digits(out + 11, t.tm_hour);
    out[13] = ':';
    put_two_digits(out + 14, t.tm_min);
    out[16] = ':';
    put_two_digits(out + 17, t.tm_sec);
    out[19] = ' ';
    put_two_digits(out + 20, year / 100);
    put_two_digits(out + 22, year);
}

std::size_t expand_format(const char *format, std::size_t format_length, const char *const *args,
                          std::size_t arg_count, char *out, std::size_t capacity) {
    if (capacity == 0) {
        return 0; // no room even for the terminator
    }
    // Whole runs of text and whole arguments are copied at once: the line is
    // formatted on every message, on the path of every channel start.
    const std::size_t limit = capacity - 1;
    std::size_t length = 0;
    std::size_t next_arg = 0;
    const char *p = format;
    const char *const end = format + format_length;
    while (p < end && length < limit) {
        const auto *percent =
            static_cast<const char *>(std::memchr(p, '%', static_cast<std::size_t>(end - p)));
        const char *run_end = percent != nullptr ? percent : end;
        const std::size_t run = std::min(static_cast<std::size_t>(run_end - p), limit - length);
        std::memcpy(out + length, p, run);
        length += run;
        p += run;
        if (p != percent || length == limit) {
            break; // the format is done, or the line is full
        }
        if (percent + 1 < end && percent[1] == 's') {
            const char *arg = next_arg < arg_count ? args[next_arg] : nullptr;
            ++next_arg;
            if (arg != nullptr) {
                const std::size_t size = strnlen(arg, limit - length);
                std::memcpy(out + length, arg, size);
                length += size;
            }
            p = percent + 2;
        } else {
            out[length++] = '%';
            p = percent + 1;
        }
    }
    out[length] = '\0';
    return length;
}

void write_message(int index, const char *channel_name, const char *text) {
    if (index < 0 || index >= static_cast<int>(catalogue.size())) {
        return;
    }
    const std::time_t now = std::time(nullptr);

    log_path_copy path;
    read_log_path(&path);
    int fd = -1;
    if (path.text[0] != '\0') {
        fd = open_log(path.text);
        if (fd < 0) {
            report_open_failure(errno);
        }
    }

    if (index > last_numbered_message && !trace_on()) {
        if (fd >= 0) {
            close_log(fd);
        }
        return;
    }

    char timestamp[timestamp_length + 1];
    const std::uint32_t second = stamp_of(now);
    if (!current_second_text.copy(second, timestamp)) {
#if !defined(_WIN32)
        follow_time_zone(now);
#endif
        format_timestamp(now, timestamp);
        current_second_text.keep(second, timestamp);
    }
    timestamp[timestamp_length] = '\0';

    // Formatted once, then handed whole to each stream.
    const char *args[] = {timestamp, channel_name, text};
    const std::string_view format = catalogue[static_cast<std::size_t>(index)];
    char line[message_line_max];
    const std::size_t length =
        expand_format(format.data(), format.size(), args, 3, line, sizeof line);

    put_standard_output(line, length, now);

    if (fd >= 0) {
        append_line(fd, line, length);
        close_log(fd);
    }
}

} // namespace tarvelo
