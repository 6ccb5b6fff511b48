// append_check.cpp: see append_check.h.
#include "tools/system/append_check.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>
#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace tarvelo::tool {
namespace {

trouble cannot_append(const std::string &path, int error) {
    return {cause::unusable, "cannot append to the log file " + path + ": " + std::strerror(error)};
}

} // namespace

result<void> can_append_to(const std::string &path) {
    struct stat status {};
    const bool existed = stat(path.c_str(), &status) == 0;
    if (existed && (status.st_mode & S_IFMT) == S_IFDIR) {
        return cannot_append(path, EISDIR);
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
            return cannot_append(path, errno);
        }
        return {};
    }
#if defined(_WIN32)
    const int fd =
        _open(path.c_str(), _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
#endif
    if (fd < 0) {
        return cannot_append(path, errno);
    }
#if defined(_WIN32)
    _close(fd);
#else
    close(fd);
#endif
    if (!existed) {
        // The exit creates it with its first line; a run that stops before
        // then leaves nothing behind.
        std::remove(path.c_str());
    }
    return {};
}

} // namespace tarvelo::tool
