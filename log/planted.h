// planted.h: a log file opened only where no other user could have placed
// what is opened. POSIX (Linux) systems only.
//
// A host often runs as root or as a service user, and other local users
// can leave things on the way to its log: a symbolic link in /tmp or in a
// directory of their own, a link in the middle of the path that puts a
// directory of their choice in its place, a second name (hard link) for a
// file of root's. The host would then append its lines (with trace on,
// challenge and response pairs) to a file of their choice, create one
// where they say, or write where they read. So, whatever the kernel's
// protected_symlinks, protected_hardlinks and protected_regular say:
//   - a symbolic link anywhere on the path is followed only when root or
//     the process's effective user owns it: whoever owns a link decides
//     where the host writes;
//   - a file with more than one name, in a directory that a user other than
//     root and the process's user may write, is refused;
//   - an existing file in a sticky directory open to all (/tmp) that
//     belongs to neither root nor the process's user is refused.
// A log in the host's own directory, in /var/log, in /tmp itself, through
// root's or the host's own links, or by a relative path, opens as before.
#ifndef TARVELO_LOG_PLANTED_H
#define TARVELO_LOG_PLANTED_H

#include <ctime>
#include <sys/types.h>

namespace tarvelo {

// open(path, flags, mode) under the rules above: EACCES for a path they
// refuse (see path_walk.h for the other errors of the walk). `now` is the
// clock second of the call: what a path was found to be may be taken for
// the rest of that second (see planted.cpp for what that lets through).
// -1 with errno set on failure.
int open_unplanted(const char *path, int flags, mode_t mode, std::time_t now);

} // namespace tarvelo

#endif
