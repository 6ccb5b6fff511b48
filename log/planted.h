// planted.h: a log file opened only where it cannot have been planted.
// POSIX systems only.
//
// In a sticky directory that everyone may write (/tmp), anyone can leave a
// symbolic link or a file under the name a host will log to: the host's
// lines (with trace on, challenge and response pairs) would then go into a
// file the planter reads, or be appended to a file of the planter's choice
// that the host may write and the planter may not. There, as the kernel's
// protected_symlinks and protected_regular do where they are on, a link or
// an existing file is taken only when it belongs to root or to the
// process's own user. Elsewhere operators link and share logs in their own
// directories, and nothing changes.
#ifndef TARVELO_LOG_PLANTED_H
#define TARVELO_LOG_PLANTED_H

#include <ctime>
#include <sys/types.h>

namespace tarvelo {

// open(path, flags, mode), but a symbolic link or an existing file in a
// sticky directory open to all that belongs to neither root nor the
// process's user fails with EACCES. `now` is the clock second of the call:
// what a path was found to be is taken for the rest of that second (see
// planted.cpp). -1 with errno set on failure.
int open_unplanted(const char *path, int flags, mode_t mode, std::time_t now);

} // namespace tarvelo

#endif
