// planted.cpp: see planted.h.
#include "log/planted.h"

#include "os/file_status.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvelo {
namespace {

bool in_open_to_all_sticky_directory(const char *path) {
    file_status directory{};
    return status_of_parent(path, &directory) && (directory.mode & S_ISVTX) != 0 &&
           (directory.mode & S_IWOTH) != 0;
}

bool belongs_to_root_or_us(const file_status &status) {
    return status.owner == 0 || status.owner == static_cast<unsigned>(geteuid());
}

// Which path was last found free of a planted file, and in which second:
// a hash of the path mixed with the second, in one word. A line to the same
// path in the same second takes the answer as it stands, so a logged line
// costs no system call more than it did; the first line of each second, and
// a line to another path, asks again. In a sticky directory nobody else can
// remove or rename a file that root or we own, so what was found stays true
// until the host itself moves the file away (a rotation): then for the rest
// of that second at most a file planted in its place could be taken. Two
// paths mistaken for each other in one second is a chance of one in 2^32.
constinit std::atomic<std::uint32_t> last_found_unplanted{0};

std::uint32_t path_in_second(const char *path, std::time_t now) {
    std::uint32_t hash = 2166136261u; // FNV-1a
    for (const char *p = path; *p != '\0'; ++p) {
        hash = (hash ^ static_cast<unsigned char>(*p)) * 16777619u;
    }
    return (hash ^ (static_cast<std::uint32_t>(now) * 2654435761u)) | 1u;
}

bool found_unplanted_this_second(std::uint32_t key) {
    return last_found_unplanted.load(std::memory_order_relaxed) == key;
}

// A log file already open, found where the path led without following a
// link. True when it may be written.
bool not_planted(int fd, const char *path, std::uint32_t key) {
    if (found_unplanted_this_second(key)) {
        return true;
    }
    file_status file{};
    if (status_of_descriptor(fd, &file) && !belongs_to_root_or_us(file) &&
        in_open_to_all_sticky_directory(path)) {
        return false;
    }
    last_found_unplanted.store(key, std::memory_order_relaxed);
    return true;
}

// The path's last component is a symbolic link (the open without following
// one gave ELOOP): followed only where it cannot have been planted. An
// operator's link in a directory of their own costs two system calls more
// in the first line of each second only.
int open_through_link(const char *path, int flags, mode_t mode, std::uint32_t key) {
    if (!found_unplanted_this_second(key)) {
        file_status link{};
        if (!status_of_link(path, &link) || !S_ISLNK(link.mode)) {
            errno = ELOOP; // a loop in the path before the last component
            return -1;
        }
        if (!belongs_to_root_or_us(link) && in_open_to_all_sticky_directory(path)) {
            errno = EACCES;
            return -1;
        }
        last_found_unplanted.store(key, std::memory_order_relaxed);
    }
    return open(path, flags, mode);
}

} // namespace

// The last component is opened without following a link, which costs
// nothing: only a link (ELOOP) takes the longer way. A link there still
// costs one open more on every line.
int open_unplanted(const char *path, int flags, mode_t mode, std::time_t now) {
    const std::uint32_t key = path_in_second(path, now);
    const int fd = open(path, flags | O_NOFOLLOW, mode);
    if (fd < 0 && errno == ELOOP) {
        return open_through_link(path, flags, mode, key);
    }
    if (fd >= 0 && !not_planted(fd, path, key)) {
        close(fd);
        errno = EACCES;
        return -1;
    }
    return fd;
}

} // namespace tarvelo
