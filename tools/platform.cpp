// platform.cpp: see platform.h.
#include "tools/platform.h"

#include "tools/options.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <system_error>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tarvelo::tool {
namespace {

#if defined(_WIN32)
int dup_fd(int fd) { return _dup(fd); }
int dup2_fd(int from, int to) { return _dup2(from, to); }
int close_fd(int fd) { return _close(fd); }
long read_fd(int fd, char *buffer, unsigned size) { return _read(fd, buffer, size); }
long write_fd(int fd, const char *data, unsigned size) { return _write(fd, data, size); }
bool is_terminal(int fd) { return _isatty(fd) != 0; }
#else
int dup_fd(int fd) { return dup(fd); }
int dup2_fd(int from, int to) { return dup2(from, to); }
int close_fd(int fd) { return close(fd); }
long read_fd(int fd, char *buffer, std::size_t size) { return read(fd, buffer, size); }
long write_fd(int fd, const char *data, std::size_t size) { return write(fd, data, size); }
bool is_terminal(int fd) { return isatty(fd) != 0; }
#endif

std::string system_error(const char *what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// Set once, by the first failed write; standard output is written from one
// thread at a time.
int first_output_error = 0;

// Where this program's file lies, to find an installed library beside it.
std::string executable_directory() {
#if defined(_WIN32)
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string text(path, length);
    const std::size_t slash = text.find_last_of("\\/");
#else
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) {
        return {};
    }
    std::string text(path, static_cast<std::size_t>(length));
    const std::size_t slash = text.rfind('/');
#endif
    return slash == std::string::npos ? std::string() : text.substr(0, slash);
}

} // namespace

std::string default_library_path() {
    const std::string directory = executable_directory();
    const std::string path =
        (directory.empty() ? std::string(".") : directory) + "/" + TARVELO_EXIT_FROM_PROGRAM;
#if !defined(_WIN32)
    // Shown to the user: "/usr/lib/...", not "/usr/bin/../lib/...".
    if (char *canonical = realpath(path.c_str(), nullptr)) {
        std::string shown = canonical;
        std::free(canonical);
        return shown;
    }
#endif
    return path;
}

output_capture::~output_capture() { stop(); }

void output_capture::start_keeping() {
    std::fflush(stdout);
    int ends[2];
#if defined(_WIN32)
    if (_pipe(ends, 1 << 16, _O_BINARY) != 0) {
        throw failure(exit_system, system_error("cannot make a pipe for the exit's output"));
    }
#else
    if (pipe(ends) != 0) {
        throw failure(exit_system, system_error("cannot make a pipe for the exit's output"));
    }
    // take() must never wait for a line that is not coming.
    fcntl(ends[0], F_SETFL, fcntl(ends[0], F_GETFL) | O_NONBLOCK);
    fcntl(ends[0], F_SETFD, FD_CLOEXEC);
#endif
    saved_ = dup_fd(1);
    if (saved_ < 0 || dup2_fd(ends[1], 1) < 0) {
        const std::string why = system_error("cannot redirect standard output");
        close_fd(ends[0]);
        close_fd(ends[1]);
        if (saved_ >= 0) {
            close_fd(saved_);
            saved_ = -1;
        }
        throw failure(exit_system, why);
    }
    close_fd(ends[1]);
    read_end_ = ends[0];
}

void output_capture::start_counting() {
    start_keeping();
    counting_ = true;
#if !defined(_WIN32)
    // The counter waits for lines; only end of file stops it.
    fcntl(read_end_, F_SETFL, fcntl(read_end_, F_GETFL) & ~O_NONBLOCK);
#endif
    try {
        counter_ = std::thread([this] {
            char buffer[1 << 16];
            for (;;) {
                const long got = read_fd(read_end_, buffer, sizeof buffer);
                if (got < 0 && errno == EINTR) {
                    continue;
                }
                if (got <= 0) {
                    return;
                }
                for (long i = 0; i < got; ++i) {
                    lines_ += buffer[i] == '\n' ? 1 : 0;
                }
            }
        });
    } catch (const std::system_error &) {
        stop();
        throw failure(exit_system, "cannot start a thread to count the exit's lines");
    }
}

std::string output_capture::take() {
    std::string text = std::move(tail_);
    tail_.clear();
    if (read_end_ < 0 || counting_) {
        return text;
    }
    char buffer[4096];
    for (;;) {
#if defined(_WIN32)
        // A Windows pipe cannot be made non-blocking: read only what is there.
        DWORD available = 0;
        auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(read_end_));
        if (!PeekNamedPipe(handle, nullptr, 0, nullptr, &available, nullptr) || available == 0) {
            break;
        }
        const long got = read_fd(read_end_, buffer,
                                 static_cast<unsigned>(std::min<DWORD>(available, sizeof buffer)));
#else
        const long got = read_fd(read_end_, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
#endif
        if (got <= 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
}

void output_capture::stop() {
    if (saved_ < 0) {
        return;
    }
    std::fflush(stdout);
    dup2_fd(saved_, 1);
    close_fd(saved_);
    saved_ = -1;
    // With standard output given back, no write end is left open: the
    // counter reads to the end and stops.
    if (counter_.joinable()) {
        counter_.join();
    } else {
        tail_ = take();
    }
    close_fd(read_end_);
    read_end_ = -1;
}

void output_capture::show(std::string_view text) const {
    if (saved_ < 0) {
        if ((std::fwrite(text.data(), 1, text.size(), stdout) != text.size() ||
             std::fflush(stdout) != 0) &&
            first_output_error == 0) {
            first_output_error = errno != 0 ? errno : EIO;
        }
        return;
    }
    while (!text.empty()) {
        const long written = write_fd(saved_, text.data(), static_cast<unsigned>(text.size()));
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            // The run goes on, so that the channel still ends as a host
            // would end it; the program's exit code reports the loss.
            if (first_output_error == 0) {
                first_output_error = written < 0 ? errno : EIO;
            }
            return;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

int output_error() { return first_output_error; }

bool output_capture::on_terminal() const { return is_terminal(saved_ >= 0 ? saved_ : 1); }

std::string make_temporary_log(std::size_t max_length) {
#if defined(_WIN32)
    // A path under the user's temporary directory seldom fits the exit
    // data: the current directory serves instead.
    (void)max_length;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[32];
        std::snprintf(
            name, sizeof name, "tarvelo-%05u.log",
            static_cast<unsigned>((GetTickCount() + static_cast<DWORD>(attempt)) % 100000));
        const int fd = _open(name, _O_CREAT | _O_EXCL | _O_WRONLY, _S_IREAD | _S_IWRITE);
        if (fd >= 0) {
            _close(fd);
            return name;
        }
    }
    throw failure(exit_system, system_error("cannot create a log file in the current directory"));
#else
    const char *tmpdir = std::getenv("TMPDIR");
    std::string directory = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
    while (directory.size() > 1 && directory.back() == '/') {
        directory.pop_back();
    }
    // The path goes into the exit data, which is split on blanks.
    if (directory.find(' ') != std::string::npos) {
        throw setting_error("TMPDIR (" + directory +
                            ") holds a blank, and the exit data that names the log file is "
                            "split on blanks: set TMPDIR to a directory without one, or name a "
                            "log file with --log");
    }
    // The path must fit the exit data: a short name when the usual one
    // does not fit.
    std::string path = directory + "/tarvelo-XXXXXX.log";
    int suffix = 4;
    if (path.size() > max_length) {
        path = directory + "/tv-XXXXXX";
        suffix = 0;
    }
    if (path.size() > max_length) {
        throw setting_error("TMPDIR (" + directory + ") is too long a path for the exit data, " +
                            "which holds " + std::to_string(max_length) +
                            " bytes of log path beside TRACEON: set TMPDIR to a shorter one, or "
                            "name a log file with --log");
    }
    const int fd = mkstemps(path.data(), suffix);
    if (fd < 0) {
        // A directory that is missing or not writable is a setting, like a
        // too long one; anything else is the system failing us.
        const bool setting = errno == ENOENT || errno == ENOTDIR || errno == EACCES ||
                             errno == EROFS || errno == EPERM;
        const std::string what = system_error(("cannot create a log file in " + directory).c_str());
        if (setting) {
            throw setting_error(what + ": set TMPDIR to a writable directory, or name a log file "
                                       "with --log");
        }
        throw failure(exit_system, what);
    }
    close(fd);
    return path;
#endif
}

std::optional<std::uint64_t> regular_file_size(const std::string &path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0 || (status.st_mode & S_IFMT) != S_IFREG) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(status.st_size);
}

namespace {

// A regular file opened for reading at `offset`, or null. Checked again
// on the open file: the name may have been replaced in between.
std::FILE *open_regular_at(const std::string &path, std::uint64_t offset) {
    if (!regular_file_size(path)) {
        return nullptr;
    }
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return nullptr;
    }
    struct stat status {};
    if (fstat(fileno(file), &status) != 0 || (status.st_mode & S_IFMT) != S_IFREG ||
        std::fseek(file, static_cast<long>(offset), SEEK_SET) != 0) {
        std::fclose(file);
        return nullptr;
    }
    return file;
}

} // namespace

std::uint64_t count_lines_from(const std::string &path, std::uint64_t offset) {
    std::FILE *file = open_regular_at(path, offset);
    if (file == nullptr) {
        return 0;
    }
    std::uint64_t lines = 0;
    char buffer[1 << 16];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
        lines += static_cast<std::uint64_t>(std::count(buffer, buffer + got, '\n'));
    }
    std::fclose(file);
    return lines;
}

std::string read_tail(const std::string &path, std::uint64_t length) {
    const std::optional<std::uint64_t> size = regular_file_size(path);
    std::FILE *file = size ? open_regular_at(path, *size - std::min(*size, length)) : nullptr;
    std::string text;
    if (file == nullptr) {
        return text;
    }
    char buffer[1 << 16];
    for (std::size_t got;
         text.size() < length && (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
        text.append(buffer,
                    static_cast<std::size_t>(std::min<std::uint64_t>(got, length - text.size())));
    }
    std::fclose(file);
    return text;
}

bool can_append_to(const std::string &path, std::string *why) {
    struct stat status {};
    const bool existed = stat(path.c_str(), &status) == 0;
    if (existed && (status.st_mode & S_IFMT) == S_IFDIR) {
        *why = std::strerror(EISDIR);
        return false;
    }
    if (existed && (status.st_mode & S_IFMT) != S_IFREG) {
        // Opening a FIFO to try it would wait for a reader, or end the
        // stream of the one that is there.
#if defined(_WIN32)
        const bool writable = _access(path.c_str(), 2) == 0;
#else
        const bool writable = access(path.c_str(), W_OK) == 0;
#endif
        if (!writable) {
            *why = std::strerror(errno);
        }
        return writable;
    }
#if defined(_WIN32)
    const int fd =
        _open(path.c_str(), _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
#endif
    if (fd < 0) {
        *why = std::strerror(errno);
        return false;
    }
    close_fd(fd);
    if (!existed) {
        // The exit creates it with its first line; a run that stops before
        // then leaves nothing behind.
        std::remove(path.c_str());
    }
    return true;
}

namespace {
std::atomic<bool> interrupt_seen{false};

extern "C" void note_interrupt(int) {
    interrupt_seen.store(true);
    // A second Ctrl-C ends the program at once.
    std::signal(SIGINT, SIG_DFL);
}
} // namespace

void ignore_broken_pipe() {
#if !defined(_WIN32)
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

void catch_interrupt() { std::signal(SIGINT, note_interrupt); }

bool interrupted() { return interrupt_seen.load(); }

std::int64_t local_clock_now() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
#if defined(_WIN32)
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    // Days from the civil date, as the log's times count them.
    const std::int64_t y = local.tm_year + 1900 - (local.tm_mon < 2 ? 1 : 0);
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t m = local.tm_mon + 1;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + local.tm_mday - 1;
    const std::int64_t days = era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
    return days * 86400 + local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
}

std::optional<std::int64_t> local_clock_to_epoch(std::int64_t local) {
    // The clock's fields, read back through the machine's zone.
    std::int64_t days = local / 86400;
    std::int64_t seconds = local % 86400;
    if (seconds < 0) {
        seconds += 86400;
        --days;
    }
    if (days > INT32_MAX - 1 || days < INT32_MIN + 1) {
        return std::nullopt;
    }
    std::tm fields{};
    fields.tm_year = 70;
    fields.tm_mday = 1 + static_cast<int>(days); // mktime carries the days over
    fields.tm_sec = static_cast<int>(seconds);
    fields.tm_isdst = -1;
    const std::time_t t = std::mktime(&fields);
    if (t == static_cast<std::time_t>(-1)) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(t);
}

} // namespace tarvelo::tool
