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
    unsigned long links;   // names the file has (hard links)
    unsigned device_major; // for a device: the kernel's numbers for it
    unsigned device_minor;
};

// The status of the file open on `fd`. False with errno set on failure.
bool status_of_descriptor(int fd, file_status *status);

// `fd` with its status in `status`. -1 as it stands when `fd` is a failed
// open's -1; -1 with errno set, and `fd` closed, when its status cannot be
// had.
int status_or_close(int fd, file_status *status);

// Whether the directory open on `fd` (an O_PATH descriptor will do) is on
// the kernel's process file system, /proc, whose links only the kernel
// makes. False when that cannot be told (kernels before 3.12 cannot say it
// of an O_PATH descriptor).
bool on_process_file_system(int fd);

} // namespace tarvelo

#endif
