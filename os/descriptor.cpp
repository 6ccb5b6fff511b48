// descriptor.cpp: see descriptor.h.
#include "os/descriptor.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tarvelo {

int system_fcntl(int fd, int command, long argument) {
    // Where the system has both, the 64-bit call is the one the C library
    // makes; neither command used here differs between the two.
#if defined(SYS_fcntl64)
    return static_cast<int>(syscall(SYS_fcntl64, fd, command, argument));
#else
    return static_cast<int>(syscall(SYS_fcntl, fd, command, argument));
#endif
}

int above_standard_streams(int fd) {
    if (fd < 0 || fd > STDERR_FILENO) {
        return fd;
    }
    const int moved = system_fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int error = errno;
    close(fd);
    errno = error;
    return moved;
}

} // namespace tarvelo
