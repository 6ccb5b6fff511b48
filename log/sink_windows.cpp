// sink_windows.cpp: see sink.h. The Windows sinks: the C runtime's
// descriptors over the system's handles. Windows has no SIGPIPE: a write to
// a pipe whose reader has gone fails and raises nothing.
#include "log/sink.h"

#include "log/catalogue.h"

#include "os/windows_api.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

namespace tarvelo {

// The log file's descriptor is never 0, 1 or 2: a host may run with one of
// those closed, and the C runtime then gives its number to the log file.
// The C runtime has no "lowest number above 2": duplicates are taken until
// one is, the low ones held open meanwhile and closed after. Windows files
// have no permissions for others: the file takes its directory's.
int open_log(const char *path, std::time_t) {
    int fd = _open(path, _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY | _O_NOINHERIT,
                   _S_IREAD | _S_IWRITE);
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

int append_and_close(int fd, const char *, const char *line, std::size_t length, std::time_t) {
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
    const BOOL wrote = WriteFile(file, line, static_cast<DWORD>(length), &written, &at_end);
    const DWORD why = GetLastError();
    ReleaseSRWLockExclusive(&turn);
    _close(fd);
    // Windows writes a file whole or fails: a full disk is said, in the C
    // runtime's numbers as the open failure is.
    if (wrote && written == length) {
        return 0;
    }
    return why == ERROR_DISK_FULL || why == ERROR_HANDLE_DISK_FULL ? ENOSPC : EIO;
}

void close_log(int fd) { _close(fd); }

// A line goes to a standard stream whole and flushed, as stdio output, so
// that it keeps its place among the host's own buffered output.
void put_standard_output(const char *line, std::size_t length, std::time_t) {
    std::fwrite(line, 1, length, stdout);
    std::fflush(stdout);
}

namespace {
void report(standard_error_index which, int error) {
    char line[standard_error_line_max];
    const int length =
        std::snprintf(line, sizeof line, standard_error_lines[which].format.data(), error);
    if (length > 0) {
        std::fwrite(line, 1, static_cast<std::size_t>(length), stderr);
        std::fflush(stderr);
    }
}
} // namespace

void report_open_failure(int error) { report(log_open_failed, error); }

void report_write_failure(int error) { report(log_write_failed, error); }

} // namespace tarvelo
