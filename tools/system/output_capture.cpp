// output_capture.cpp: see output_capture.h.
#include "tools/system/output_capture.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <fcntl.h>
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

} // namespace

output_capture::~output_capture() { stop(); }

result<void> output_capture::start_keeping() {
    std::fflush(stdout);
    int ends[2];
#if defined(_WIN32)
    if (_pipe(ends, 1 << 16, _O_BINARY) != 0) {
        return trouble{cause::system, system_error("cannot make a pipe for the exit's output")};
    }
#else
    if (pipe(ends) != 0) {
        return trouble{cause::system, system_error("cannot make a pipe for the exit's output")};
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
        return trouble{cause::system, why};
    }
    close_fd(ends[1]);
    read_end_ = ends[0];
    return {};
}

result<void> output_capture::start_counting() {
    if (result<void> kept = start_keeping(); !kept) {
        return kept;
    }
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
        return trouble{cause::system, "cannot start a thread to count the exit's lines"};
    }
    return {};
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

} // namespace tarvelo::tool
