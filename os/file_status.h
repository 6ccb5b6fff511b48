// file_status.h: what a file is and who owns it, asked of the kernel
// directly. POSIX (Linux) systems only.
//
// The C library's stat family is versioned 2.33 and later where it is a
// function of its own, which would keep the library from loading in hosts
// on older C libraries; the system calls are the same on every version.
#ifndef TARVELO_OS_FILE_STATUS_H
#define TARVELO_OS_FILE_STATUS_H

namespace tarvelo {

struct file_status {
    unsigned long long device; // which file system, and which file on it
    unsigned long long inode;
    unsigned mode;         // type and permission bits, as st_mode
    unsigned owner;        // user id
    unsigned device_major; // for a device: the kernel's numbers for it
    unsigned device_minor;
};

// The status of the file open on `fd`. False with errno set on failure.
bool status_of_descriptor(int fd, file_status *status);

// The status of `path` itself: a symbolic link is described, not followed.
// False with errno set on failure.
bool status_of_link(const char *path, file_status *status);

// The status of the directory that holds `path`'s last component: the
// working directory when `path` has no slash. False with errno set on
// failure (ENAMETOOLONG for a directory name longer than a log path can be).
bool status_of_parent(const char *path, file_status *status);

} // namespace tarvelo

#endif
