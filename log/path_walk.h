// path_walk.h: a log path opened one component at a time, each one looked
// at on the descriptor that reached it, so that what was looked at is what
// is opened. POSIX (Linux) systems only.
//
// Whoever owns a symbolic link decides where the path leads: a link that
// another user left anywhere on the path (in /tmp, in a directory of their
// own, in the middle of the path or at its end) would send a host's lines,
// which with trace on hold challenge and response pairs, into a file that
// user reads, or have a root host append to a file of that user's choice.
// The kernel resolves a path by name, and its protected_symlinks guards
// only sticky directories, and only where it is on; so the walk resolves
// the path itself, with openat and O_NOFOLLOW, and follows a link only when
// root or the process's effective user owns it, whatever the kernel's
// settings say.
#ifndef TARVELO_LOG_PATH_WALK_H
#define TARVELO_LOG_PATH_WALK_H

#include <sys/types.h>

namespace tarvelo {

// What the walk found besides the file, for a later line to take without
// walking again (see planted.cpp).
struct walked_path {
    // Nothing on the way could have been changed by anyone but root and the
    // process's user: the path is absolute, has no "..", and each directory
    // entered and each link followed sits in a directory that only they may
    // write, or in a sticky one (/tmp) of theirs and belongs to them; a link
    // at the path's end, only in a directory that only they may write.
    // Opening the same name again then leads to the same place until one of
    // them changes it.
    bool settled;
    // The directory that holds the file, as the rules for the file see it
    // (see kept_if_writable).
    bool directory_open_to_all_and_sticky;
    bool directory_writable_by_others;
};

// The file open on `fd` (or a failed open's -1), found in a directory as
// `where` says, when a process whose effective user is `user` may write
// it: `fd` itself. Not when the directory is sticky and open to all (/tmp)
// and the file belongs to neither root nor `user` (anyone could have left
// it there, as the kernel's protected_regular says), and not when others
// may write the directory and the file has more than one name (anyone
// could have given a file of root's a second name there, which the kernel
// allows where protected_hardlinks is off): then -1 with EACCES, and `fd`
// closed; so too when the file's status cannot be had, with its error.
int kept_if_writable(int fd, unsigned user, const walked_path &where);

// open(path, flags, mode), with the path resolved one component at a time
// from "/" (or from the working directory for a relative path, which is
// taken as the host left it): a symbolic link anywhere on it is followed
// only when it belongs to root or to `user`, else EACCES; at most 40 links
// are followed, else ELOOP; a link's text longer than the walk has room
// for gives ENAMETOOLONG, as does a path of 1024 characters or more; a
// path that names a directory (ends in a slash) gives EISDIR, an empty one
// ENOENT. A link on the process file system (/proc/self/fd/1, behind
// /dev/stdout) is made by the kernel and followed by it, as it leads to
// what the process has open and has no text that names it. The file opened
// must then pass kept_if_writable, else EACCES. -1 with errno set on
// failure, and no descriptor of the walk left open. `found` says what a
// later line may take as it stands.
int open_walking(const char *path, int flags, mode_t mode, unsigned user, walked_path *found);

} // namespace tarvelo

#endif
