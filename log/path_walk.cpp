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
// nobody but its owner and root can remove or rename a file).
bool entry_settled(const file_status &directory, const file_status &entry, unsigned user) {
    return !writable_by_others(directory, user) ||
           ((directory.mode & S_ISVTX) != 0 && belongs_to_root_or(entry.owner, user) &&
            belongs_to_root_or(directory.owner, user));
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
        if (length >= sizeof pending_) {
            errno = ENAMETOOLONG;
            return -1;
        }
        if (length == 0) {
            errno = ENOENT;
            return -1;
        }
        std::memcpy(pending_, path, length + 1);
        settled_ = path[0] == '/';
        if (!begin_at(path[0] == '/' ? "/" : ".")) {
            return -1;
        }
        for (;;) {
            const int step = next_component();
            if (step != walking_on) {
                *found = found_in(directory_status_, settled_, user_);
                return step;
            }
        }
    }

private:
    bool begin_at(const char *where) {
        return enter(::open(where, O_PATH | O_DIRECTORY | O_CLOEXEC));
    }

    // The directory open on `fd` (or the failed open's -1) is where the
    // walk goes on.
    bool enter(int fd) {
        file_status status{};
        if (fd < 0 || !status_of_descriptor(fd, &status)) {
            failed(fd);
            return false;
        }
        if (directory_ >= 0) {
            close(directory_);
        }
        directory_ = fd;
        directory_status_ = status;
        return true;
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
        const bool directory = fd >= 0;
        if (fd < 0 && errno == ENOTDIR) {
            fd = openat(directory_, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
        }
        file_status status{};
        if (fd < 0 || !status_of_descriptor(fd, &status)) {
            return failed(fd);
        }
        if (directory) {
            settled_ = settled_ && entry_settled(directory_status_, status, user_);
            return enter(fd) ? walking_on : -1;
        }
        if (!S_ISLNK(status.mode)) {
            close(fd);
            errno = ENOTDIR;
            return -1;
        }
        return follow(fd, status, name, false);
    }

    // The last component is opened as asked, but never through a link: a
    // link there (ELOOP) is looked at and followed as any other.
    int open_last(const char *name) {
        const int fd = openat(directory_, name, flags_ | O_NOFOLLOW, mode_);
        if (fd >= 0) {
            return checked(fd);
        }
        if (errno != ELOOP) {
            return -1;
        }
        const int link = openat(directory_, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
        file_status status{};
        if (link < 0 || !status_of_descriptor(link, &status)) {
            return failed(link);
        }
        if (!S_ISLNK(status.mode)) {
            // Replaced by something else since the open: walked again on
            // the next line, refused on this one.
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
        if (!belongs_to_root_or(status.owner, user_)) {
            close(link);
            errno = EACCES;
            return -1;
        }
        if (++links_ > links_at_most) {
            close(link);
            errno = ELOOP;
            return -1;
        }
        settled_ = settled_ && entry_settled(directory_status_, status, user_);
        if (on_process_file_system(directory_)) {
            close(link);
            return last ? checked(openat(directory_, name, flags_, mode_))
                        : (enter(openat(directory_, name, O_PATH | O_DIRECTORY | O_CLOEXEC))
                               ? walking_on
                               : -1);
        }
        return read_link(link) && (pending_[0] != '/' || begin_at("/")) ? walking_on : -1;
    }

    // The link's own text, read from the link that was looked at (not by
    // its name again), takes its name's place in front of the rest.
    bool read_link(int link) {
        const std::size_t rest = std::strlen(pending_ + at_);
        char *const tail = pending_ + sizeof pending_ - rest - 1;
        std::memmove(tail, pending_ + at_, rest + 1);
        const auto room = static_cast<std::size_t>(tail - pending_);
        const ssize_t length = room > 1 ? readlinkat(link, "", pending_, room) : -1;
        const int error = room > 1 ? errno : ENAMETOOLONG;
        close(link);
        if (length <= 0 || static_cast<std::size_t>(length) >= room) {
            errno = length < 0 ? error : length == 0 ? ENOENT : ENAMETOOLONG;
            return false;
        }
        const auto text = static_cast<std::size_t>(length);
        pending_[text] = rest > 0 ? '/' : '\0';
        if (rest > 0) {
            std::memmove(pending_ + text + 1, tail, rest + 1);
        }
        at_ = 0;
        return true;
    }

    // The file as opened: kept when the rules let it be written.
    int checked(int fd) {
        file_status file{};
        if (fd < 0 || !status_of_descriptor(fd, &file)) {
            return failed(fd);
        }
        if (!file_may_be_written(file.mode, file.owner, file.links, user_,
                                 found_in(directory_status_, settled_, user_))) {
            close(fd);
            errno = EACCES;
            return -1;
        }
        return fd;
    }

    // -1 with the error of the call that failed, `fd` closed when open.
    static int failed(int fd) {
        const int error = errno;
        if (fd >= 0) {
            close(fd);
        }
        errno = error;
        return -1;
    }

    const int flags_;
    const mode_t mode_;
    const unsigned user_;
    int directory_ = -1;
    file_status directory_status_{};
    char pending_[walk_room];
    std::size_t at_ = 0;
    int links_ = 0;
    bool settled_ = false;
};

} // namespace

bool file_may_be_written(unsigned mode, unsigned owner, unsigned long links, unsigned user,
                         const walked_path &where) {
    if (where.directory_open_to_all_and_sticky && !belongs_to_root_or(owner, user)) {
        return false;
    }
    return !(where.directory_writable_by_others && !S_ISDIR(mode) && links > 1);
}

int open_walking(const char *path, int flags, mode_t mode, unsigned user, walked_path *found) {
    path_walk walk(flags, mode, user);
    return walk.open(path, found);
}

} // namespace tarvelo
