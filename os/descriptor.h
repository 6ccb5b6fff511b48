// descriptor.h: descriptors the exit opens inside a host's process.
//
// The host's descriptors are its own, and it may run with 0, 1 or 2 closed:
// the system then gives the lowest free number to whatever the exit opens
// next, and the host's own writes to standard output (or the exit's) would
// land in the exit's file. POSIX systems only.
#ifndef TARVELO_OS_DESCRIPTOR_H
#define TARVELO_OS_DESCRIPTOR_H

namespace tarvelo {

// fcntl made as the system call itself. The C library's fcntl symbol is
// versioned 2.28 on 32-bit x86, which would keep the library from loading
// in hosts on older C libraries; the system call is the same on every
// version. Returns what the call returns; on failure -1 with errno set.
int system_fcntl(int fd, int command, long argument);

// `fd` itself when it is above 2 (or negative: a failed open stays one).
// Otherwise a close-on-exec duplicate above 2, with `fd` closed: -1 with
// errno set when no duplicate can be had, and then `fd` is closed too.
int above_standard_streams(int fd);

} // namespace tarvelo

#endif
