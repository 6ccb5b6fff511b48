// temporary_log.cpp: see temporary_log.h.
#include "tools/system/temporary_log.h"

#include "exit/exit_data.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace tarvelo::tool {
namespace {

std::string system_error(const char *what) {
    return std::string(what) + ": " + std::strerror(errno);
}

} // namespace

result<std::string> make_temporary_log(std::size_t max_length) {
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
            return std::string(name);
        }
    }
    return trouble{cause::system,
                   system_error("cannot create a log file in the current directory")};
#else
    const char *tmpdir = std::getenv("TMPDIR");
    std::string directory = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
    while (directory.size() > 1 && directory.back() == '/') {
        directory.pop_back();
    }
    // The path goes into the exit data, which is split on blanks.
    if (directory.find(' ') != std::string::npos) {
        return trouble{cause::unusable,
                       "TMPDIR (" + directory +
                           ") holds a blank, and the exit data that names the log file is "
                           "split on blanks: set TMPDIR to a directory without one, or name a "
                           "log file with --log"};
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
        return trouble{cause::unusable,
                       "TMPDIR (" + directory + ") is too long a path for the exit data, " +
                           "which holds " + std::to_string(max_length) +
                           " bytes of log path beside " + std::string(trace_keyword) +
                           ": set TMPDIR to a shorter one, or name a log file with --log"};
    }
    const int fd = mkstemps(path.data(), suffix);
    if (fd < 0) {
        // A directory that is missing or not writable is a setting, like a
        // too long one; anything else is the system failing us.
        const bool setting = errno == ENOENT || errno == ENOTDIR || errno == EACCES ||
                             errno == EROFS || errno == EPERM;
        const std::string what = system_error(("cannot create a log file in " + directory).c_str());
        if (setting) {
            return trouble{cause::unusable, what + ": set TMPDIR to a writable directory, or name "
                                                   "a log file with --log"};
        }
        return trouble{cause::system, what};
    }
    close(fd);
    return path;
#endif
}

} // namespace tarvelo::tool
