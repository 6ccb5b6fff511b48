// file_status.cpp: see file_status.h.
#include "os/file_status.h"

#include <cerrno>
#include <cstdint>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tarvelo {
namespace {

// 32-bit x86 has the 64-bit calls beside the old ones, and their records
// are the C library's stat64; 64-bit systems have one record, the C
// library's stat, which is the kernel's own there.
#if defined(SYS_fstatat64)
using kernel_stat = struct stat64;
constexpr long fstat_call = SYS_fstat64;
#else
using kernel_stat = struct stat;
constexpr long fstat_call = SYS_fstat;
#endif

// The kernel hands device numbers over in its own encoding: major in bits 8
// to 19, minor in bits 0 to 7 and 20 to 31.
void describe(const kernel_stat &raw, file_status *status) {
    const auto device = static_cast<std::uint64_t>(raw.st_rdev);
    status->device = static_cast<unsigned long long>(raw.st_dev);
    status->inode = static_cast<unsigned long long>(raw.st_ino);
    status->mode = static_cast<unsigned>(raw.st_mode);
    status->owner = static_cast<unsigned>(raw.st_uid);
    status->links = static_cast<unsigned long>(raw.st_nlink);
    status->device_major = static_cast<unsigned>((device >> 8) & 0xfffu);
    status->device_minor = static_cast<unsigned>((device & 0xffu) | ((device >> 12) & 0xfff00u));
}

} // namespace

bool status_of_descriptor(int fd, file_status *status) {
    kernel_stat raw{};
    if (syscall(fstat_call, fd, &raw) != 0) {
        return false;
    }
    describe(raw, status);
    return true;
}

int status_or_close(int fd, file_status *status) {
    if (fd < 0 || status_of_descriptor(fd, status)) {
        return fd;
    }
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
}

bool on_process_file_system(int fd) {
    struct statfs raw {};
    return fstatfs(fd, &raw) == 0 && raw.f_type == PROC_SUPER_MAGIC;
}

} // namespace tarvelo
