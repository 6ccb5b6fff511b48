// path_walk.cpp: see path_walk.h.
#include "log/path_walk.h"

#include "os/file_status.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvelo {
namespace {

// As many links as the kernel follows in one path.
constexpr int links_at_most = 40;

// A path as it stands with the texts of the links met so far put in place
// of their names: a log path is at most 32 characters, and operators'
// links name directories, far shorter than this.
constexpr std::size_t walk_room = 1024;

// Returned by a step that has put a link's text in place of its name: the
// walk goes on from there.
constexpr int walking_on = -2;

bool belongs_to_root_or(unsigned owner, unsigned user) { return owner == 0 || owner == user; }

// A user other than root and `user` may add, remove or rename entries: it
// owns the directory (and so may change its mode), or the mode lets its
// group or everyone write. An access control list that grants writing to
// anyone shows in the group's write bit, so it counts too.
bool writable_by_others(const file_status &directory, unsigned user) {
    return !belongs_to_root_or(directory.owner, user) ||
           (directory.mode & (S_IWGRP | S_IWOTH)) != 0;
}

// Only root and `user` can replace `entry` in `directory`: nobody else may
// write the directory, or it is sticky and the entry is theirs (in /tmp
// nobody but its owner, the directory's owner and root can remove or
// rename an entry).
bool entry_settled(const file_status &directory, const file_status &entry, unsigned user) {
    if (!belongs_to_root_or(directory.owner, user)) {
        return false;
    }
    return (directory.mode & (S_IWGRP | S_IWOTH)) == 0 ||
           ((directory.mode & S_ISVTX) != 0 && belongs_to_root_or(entry.owner, user));
}

bool is_name(const char *component, const char *name) { return std::strcmp(component, name) == 0; }

// What a file found in `directory` is judged by.
walked_path found_in(const file_status &directory, bool settled, unsigned user) {
    walked_path found{};
    found.settled = settled;
    found.directory_open_to_all_and_sticky =
        (directory.mode & S_ISVTX) != 0 && (directory.mode & S_IWOTH) != 0;
    found.directory_writable_by_others = writable_by_others(directory, user);
    return found;
}

// One walk: the directory reached so far, open with O_PATH (which needs no
// permission on the directory itself, only to search the one above, as the
// kernel's own resolution does), and the rest of the path.
class path_walk {
public:
    path_walk(int flags, mode_t mode, unsigned user) : flags_(flags), mode_(mode), user_(user) {}
    ~path_walk() {
        if (directory_ >= 0) {
            close(directory_);
        }
    }
    path_walk(const path_walk &) = delete;
    path_walk &operator=(const path_walk &) = delete;

    int open(const char *path, walked_path *found) {
        const std::size_t length = std::strlen(path);
        if (length == 0 || length >= sizeof pending_) {
            errno = length == 0 ? ENOENT : ENAMETOOLONG;
            return -1;
        }
        std::memcpy(pending_, path, length + 1);
        settled_ = path[0] == '/';
        for (;;) {
            // From the working directory at first for a relative path; from
            // "/" for an absolute one, and again for each link whose text is.
            if (begin_ && !begin_at(pending_[0] == '/' ? "/" : ".")) {
                return -1;
            }
            begin_ = false;
            const int step = next_component();
            if (step != walking_on) {
                *found = found_in(directory_status_, settled_, user_);
                return step;
            }
        }
    }

private:
    bool begin_at(const char *where) {
        file_status status{};
        const int fd = status_or_close(::open(where, O_PATH | O_DIRECTORY | O_CLOEXEC), &status);
        if (fd >= 0) {
            enter(fd, status);
        }
        return fd >= 0;
    }

    // The walk goes on from the directory open on `fd`.
    void enter(int fd, const file_status &status) {
        if (directory_ >= 0) {
            close(directory_);
        }
        directory_ = fd;
        directory_status_ = status;
    }

    // Takes the next component off the path and steps over it: the file
    // when it is the last, else walking_on or -1.
    int next_component() {
        std::size_t at = at_;
        while (pending_[at] == '/') {
            ++at;
        }
        std::size_t end = at;
        while (pending_[end] != '\0' && pending_[end] != '/') {
            ++end;
        }
        std::size_t next = end;
        while (pending_[next] == '/') {
            ++next;
        }
        if (end == at || (pending_[next] == '\0' && next != end)) {
            errno = EISDIR; // "/" itself, or a name ending in a slash
            return -1;
        }
        const bool last = pending_[end] == '\0';
        pending_[end] = '\0';
        at_ = next;
        char *const name = pending_ + at;
        return last ? open_last(name) : step_into(name);
    }

    int step_into(const char *name) {
        if (is_name(name, ".")) {
            return walking_on;
        }
        if (is_name(name, "..")) {
            // Leads to wherever the directory now is, which nothing here
            // looked at: walked again on every line.
            settled_ = false;
        }
        // Asked for as a directory first, which is what it nearly always is,
        // and which mounts it if it is an automount point; as itself only
        // when it is not one, to see whether it is a link.
        int fd = openat(directory_, name, O_PATH | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0 && errno == ENOTDIR) {
            fd = openat(directory_, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
        }
        file_status status{};
        fd = status_or_close(fd, &status);
        if (fd < 0) {
            return -1;
        }
        if (S_ISDIR(status.mode)) {
            settled_ = settled_ && entry_settled(directory_status_, status, user_);
            enter(fd, status);
            return walking_on;
        }
        if (S_ISLNK(status.mode)) {
            return follow(fd, status, name, false);
        }
        close(fd);
        errno = ENOTDIR;
        return -1;
    }

    // The last component is opened as asked, but never through a link: a
    // link there (ELOOP) is looked at and followed as any other.
    int open_last(const char *name) {
        const int fd = openat(directory_, name, flags_ | O_NOFOLLOW, mode_);
        if (fd >= 0 || errno != ELOOP) {
            return kept(fd);
        }
        file_status status{};
        const int link =
            status_or_close(openat(directory_, name, O_PATH | O_NOFOLLOW | O_CLOEXEC), &status);
        if (link < 0) {
            return -1; // gone since the open: refused on this line
        }
        if (!S_ISLNK(status.mode)) {
            // No link any more since the open: refused on this line, walked
            // again on the next.
            close(link);
            errno = ELOOP;
            return -1;
        }
        return follow(link, status, name, true);
    }

    // The link open on `link` (with O_PATH and O_NOFOLLOW), found under
    // `name` in the directory reached: followed when its owner may decide
    // where the host writes.
    int follow(int link, const file_status &status, const char *name, bool last) {
        if (!belongs_to_root_or(status.owner, user_) || ++links_ > links_at_most) {
            close(link);
            errno = belongs_to_root_or(status.owner, user_) ? ELOOP : EACCES;
            return -1;
        }
        // A link of the host's own at the path's end may be moved away by
        // the host (a rotation), and where others may write, another user
        // may put theirs in its place: such a path is walked on every line.
        settled_ = settled_ && (last ? !writable_by_others(directory_status_, user_)
                                     : entry_settled(directory_status_, status, user_));
        if (!on_process_file_system(directory_)) {
            return read_link(link) ? walking_on : -1;
        }
        close(link);
        if (last) {
            return kept(openat(directory_, name, flags_, mode_));
        }
        file_status target{};
        const int fd =
            status_or_close(openat(directory_, name, O_PATH | O_DIRECTORY | O_CLOEXEC), &target);
        if (fd >= 0) {
            enter(fd, target);
        }
        return fd >= 0 ? walking_on : -1;
    }

    // The link's own text, read from the link that was looked at (not by
    // its name again), takes its name's place in front of the rest. There
    // is always room for a character of it: the link's name and a slash
    // stood before the rest, or the rest is empty.
    bool read_link(int link) {
        const std::size_t rest = std::strlen(pending_ + at_);
        char *const tail = pending_ + sizeof pending_ - rest - 1;
        std::memmove(tail, pending_ + at_, rest + 1);
        const auto room = static_cast<std::size_t>(tail - pending_);
        const ssize_t length = readlinkat(link, "", pending_, room);
        const int error = errno;
        close(link);
        if (length < 0) {
            errno = error;
            return false;
        }
        const auto text = static_cast<std::size_t>(length);
        if (text == 0 || text >= room) {
            errno = text == 0 ? ENOENT : ENAMETOOLONG; // cut short, or empty
            return false;
        }
        pending_[text] = rest > 0 ? '/' : '\0';
        if (rest > 0) {
            std::memmove(pending_ + text + 1, tail, rest + 1);
        }
        at_ = 0;
        begin_ = pending_[0] == '/';
        return true;
    }

    // The file opened at the path's end, or the failed open's -1.
    int kept(int fd) const {
        return kept_if_writable(fd, user_, found_in(directory_status_, settled_, user_));
    }

    const int flags_;
    const mode_t mode_;
    const unsigned user_;
    int directory_ = -1;
    file_status directory_status_{};
    std::size_t at_ = 0;
    int links_ = 0;
    bool begin_ = true;
    bool settled_ = false;
    // Last, and ending the walk's object with no padding after it: a write
    // past its end would leave the walk, where the address checker sees it.
    alignas(8) char pending_[walk_room];
};

// Whether a file found where `where` says may be written by `user` (see
// kept_if_writable).
bool file_may_be_written(const file_status &file, unsigned user, const walked_path &where) {
    if (where.directory_open_to_all_and_sticky && !belongs_to_root_or(file.owner, user)) {
        return false;
    }
    return !where.directory_writable_by_others || file.links <= 1;
}

} // namespace

int kept_if_writable(int fd, unsigned user, const walked_path &where) {
    file_status file{};
    fd = status_or_close(fd, &file);
    if (fd >= 0 && !file_may_be_written(file, user, where)) {
        close(fd);
        errno = EACCES;
        return -1;
    }
    return fd;
}

int open_walking(const char *path, int flags, mode_t mode, unsigned user, walked_path *found) {
    path_walk walk(flags, mode, user);
    return walk.open(path, found);
}

} // namespace tarvelo
