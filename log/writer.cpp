// writer.cpp: see writer.h.
#include "log/writer.h"

#include "log/catalogue.h"
#include "log/settings.h"

#include <algorithm>
#include <cerrno>
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
#include <atomic>
#include <cstdint>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace tarvelo {
namespace {

#if !defined(_WIN32)
// Facts about the host's process that can change at any moment but are not
// worth a system call on every line: each is learned again in the first line
// of a clock second and kept, with that second, in one word, so that a
// thread never pairs one second's answer with another's. Bit 1 marks a
// stamp (0 is "never learned"), bit 0 holds a yes or no answer.
constexpr std::uint32_t stamp_of(std::time_t now) {
    return (static_cast<std::uint32_t>(now) << 2) | 2u;
}

// As ctime does, follow a time zone that the host has changed since the
// last line, but within a second rather than at once: with TZ unset the C
// library looks at /etc/localtime again on every tzset, one system call more
// on every line. Stamped before the zone is read, so that the other threads
// of this second go on with the zone they have.
std::atomic<std::uint32_t> zone_read_in{0};

void follow_time_zone(std::time_t now) {
    const std::uint32_t stamp = stamp_of(now);
    if (zone_read_in.load(std::memory_order_relaxed) != stamp) {
        zone_read_in.store(stamp, std::memory_order_relaxed);
        tzset();
    }
}
#endif

// The log file is opened, written and closed within one message: operators
// rotate logs by moving the file away, and the next line creates it again.
// Mode "ab" as plain calls: append, create, no newline translation.
int open_log(const char *path) {
#if defined(_WIN32)
    return _open(path, _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY | _O_NOINHERIT,
                 _S_IREAD | _S_IWRITE);
#else
    return open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
#endif
}

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
    OVERLAPPED at_end{};
    at_end.Offset = 0xFFFFFFFF;
    at_end.OffsetHigh = 0xFFFFFFFF;
    DWORD written = 0;
    AcquireSRWLockExclusive(&turn);
    (void)WriteFile(file, line, static_cast<DWORD>(length), &written, &at_end);
    ReleaseSRWLockExclusive(&turn);
#else
    ssize_t written = write(fd, line, length);
    (void)written;
#endif
}

void report_open_failure(int error) {
    char line[64];
    int length = std::snprintf(line, sizeof line, "Error accessing log file - errno %d\n", error);
    if (length > 0) {
        std::fwrite(line, 1, static_cast<std::size_t>(length), stderr);
        std::fflush(stderr);
    }
}

// The line goes to standard output whole and flushed, as stdio output, so
// that it keeps its place among the host's own buffered output. Where the C
// library allows, the stream's lock is held once across both: nothing the
// host writes on another thread comes between the line and its flush, and
// the lock is not taken twice on the path of every channel start.
void put_standard_output(const char *line, std::size_t length) {
#if defined(__GLIBC__)
    flockfile(stdout);
    fwrite_unlocked(line, 1, length, stdout);
    fflush_unlocked(stdout);
    funlockfile(stdout);
#else
    std::fwrite(line, 1, length, stdout);
    std::fflush(stdout);
#endif
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
#if !defined(_WIN32)
    follow_time_zone(now);
#endif
    format_timestamp(now, timestamp);
    timestamp[timestamp_length] = '\0';

    // Formatted once, then handed whole to each stream.
    const char *args[] = {timestamp, channel_name, text};
    const std::string_view format = catalogue[static_cast<std::size_t>(index)];
    char line[message_line_max];
    const std::size_t length =
        expand_format(format.data(), format.size(), args, 3, line, sizeof line);

    put_standard_output(line, length);

    if (fd >= 0) {
        append_line(fd, line, length);
        close_log(fd);
    }
}

} // namespace tarvelo
