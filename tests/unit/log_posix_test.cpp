// The log's POSIX pieces on their own. Log files and links that another
// user left in a directory open to all and sticky are refused, and only
// those; the file-status calls the check rests on, where they fail; and the
// guard that keeps a write's SIGPIPE or SIGXFSZ from the host; the
// timestamp when the C library breaks an instant down out of range. Giving a
// file away takes root: rows that need it say so and are left out
// otherwise.
#include "log/planted.h"
#include "log/signal_guard.h"
#include "log/timestamp.h"
#include "os/file_status.h"
#include "tests/support/support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

// The C library's localtime_r, unless a test asks for a broken one: the
// month and weekday it then gives are those below. The log's code is linked
// into this program, so its calls come here.
namespace {
bool breakdown_broken = false;
int broken_month = 0;
int broken_weekday = 0;
} // namespace

// The C library's header names the parameters with reserved names.
// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
extern "C" std::tm *localtime_r(const std::time_t *when, std::tm *out) noexcept {
    using real_fn = std::tm *(*)(const std::time_t *, std::tm *);
    static const auto real = reinterpret_cast<real_fn>(dlsym(RTLD_NEXT, "localtime_r"));
    std::tm *const got = real(when, out);
    if (got != nullptr && breakdown_broken) {
        got->tm_mon = broken_month;
        got->tm_wday = broken_weekday;
    }
    return got;
}

namespace tarvelo::testing {
namespace {

constexpr uid_t someone_else = 65534;

enum class left { file, link, link_to_nowhere };

struct planted_case {
    const char *what;
    const char *directory_mode; // "sticky" 01777, "open" 0777, "sticky_closed" 01755, "own" 0700
    left what_is_there;
    bool others;          // owned by someone else (root only)
    bool as_someone_else; // opened as user 65534 (root only)
    bool relative;        // the path without a directory part, from the directory
    int expected_errno;   // 0: opened
};

class PlantedLog : public InScratchDirectory {
protected:
    static int lowest_free_descriptor() {
        const int fd = dup(STDERR_FILENO);
        close(fd);
        return fd;
    }
    static mode_t mode_of(const std::string &name) {
        if (name == "sticky") {
            return 01777;
        }
        if (name == "open") {
            return 0777;
        }
        return name == "sticky_closed" ? 01755 : 0700;
    }
};

TEST_F(PlantedLog, RefusedOnlyWhenAnotherUserLeftItInAStickyDirectoryOpenToAll) {
    const planted_case cases[] = {
        {"our file in a sticky directory open to all", "sticky", left::file, false, false, false,
         0},
        {"our link in a sticky directory open to all", "sticky", left::link, false, false, false,
         0},
        {"another's file in a sticky directory open to all", "sticky", left::file, true, false,
         false, EACCES},
        {"the same, by a path without a directory part", "sticky", left::file, true, false, true,
         EACCES},
        {"another's link in a sticky directory open to all", "sticky", left::link, true, false,
         false, EACCES},
        {"another's file, opened as that user", "sticky", left::file, true, true, false, 0},
        {"root's file, opened as another user", "sticky", left::file, false, true, false, 0},
        {"another's file in a directory open to all, not sticky", "open", left::file, true, false,
         false, 0},
        {"another's file in a sticky directory closed to others", "sticky_closed", left::file, true,
         false, false, 0},
        {"another's file in a directory of our own", "own", left::file, true, false, false, 0},
        {"another's link in a directory of our own", "own", left::link, true, false, false, 0},
        {"a path through a link that leads to itself", "own", left::link_to_nowhere, false, false,
         false, ELOOP},
    };
    // Root of a user namespace (an emulator's, a container's) may not give
    // a file to a user the namespace does not map: tried, not assumed.
    const bool root = [&] {
        const std::string probe = dir_.file("probe");
        const int fd = open(probe.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
        const bool given = fd >= 0 && fchown(fd, someone_else, someone_else) == 0;
        if (fd >= 0) {
            close(fd);
        }
        unlink(probe.c_str());
        return given;
    }();
    // Every row in one second: what was found of one path this second must
    // not be taken for another.
    constexpr std::time_t now = 1700000000;
    int row = 0;
    for (const planted_case &c : cases) {
        SCOPED_TRACE(c.what);
        if ((c.others || c.as_someone_else) && !root) {
            std::printf("not run (only root can give a file away, and here cannot): %s\n", c.what);
            continue;
        }
        const std::string directory = dir_.file(std::to_string(++row));
        ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);
        ASSERT_EQ(chmod(directory.c_str(), mode_of(c.directory_mode)), 0);
        const std::string target = directory + ".target";
        std::string path = directory + "/x.log";
        switch (c.what_is_there) {
        case left::file: {
            const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0666);
            ASSERT_GE(fd, 0);
            close(fd);
            ASSERT_EQ(chmod(path.c_str(), 0666), 0);
            if (c.others) {
                ASSERT_EQ(chown(path.c_str(), someone_else, someone_else), 0);
            }
            break;
        }
        case left::link: {
            const int fd = open(target.c_str(), O_WRONLY | O_CREAT, 0600);
            ASSERT_GE(fd, 0);
            close(fd);
            ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
            if (c.others) {
                ASSERT_EQ(lchown(path.c_str(), someone_else, someone_else), 0);
            }
            break;
        }
        case left::link_to_nowhere:
            ASSERT_EQ(symlink((directory + "/loop").c_str(), (directory + "/loop").c_str()), 0);
            path = directory + "/loop/x.log";
            break;
        }
        // As the exit opens its log, and without O_CREAT: some kernels refuse
        // another's link in such a directory themselves when asked to
        // create, before the check is reached.
        for (const int flags : {O_WRONLY | O_APPEND | O_CREAT, O_WRONLY | O_APPEND}) {
            SCOPED_TRACE(flags);
            if (c.relative) {
                ASSERT_EQ(chdir(directory.c_str()), 0);
            }
            if (c.as_someone_else) {
                // That user must be able to reach the directory.
                ASSERT_EQ(chmod(dir_.path().c_str(), 0711), 0);
                ASSERT_EQ(seteuid(someone_else), 0);
            }
            const int free_before = lowest_free_descriptor();
            const int fd = open_unplanted(c.relative ? "x.log" : path.c_str(), flags, 0600, now);
            const int error = errno;
            if (c.as_someone_else) {
                ASSERT_EQ(seteuid(0), 0);
                ASSERT_EQ(chmod(dir_.path().c_str(), 0700), 0);
            }
            if (c.relative) {
                ASSERT_EQ(chdir(dir_.path().c_str()), 0);
            }
            if (c.expected_errno != 0) {
                EXPECT_LT(fd, 0);
                EXPECT_EQ(error, c.expected_errno);
                EXPECT_EQ(lowest_free_descriptor(), free_before) << "a descriptor left open";
                continue;
            }
            ASSERT_GE(fd, 0) << std::strerror(error);
            close(fd);
        }
    }

    // On descriptor 0 (a host running with its standard input closed), and
    // whatever errno held before: a log is opened there, and a planted one
    // refused all the same.
    const std::string planted = dir_.file("1/0.log"); // in the first row's sticky directory
    const int planted_fd = open(planted.c_str(), O_WRONLY | O_CREAT, 0666);
    ASSERT_GE(planted_fd, 0);
    close(planted_fd);
    const bool planted_too = root && chown(planted.c_str(), someone_else, someone_else) == 0;
    for (const std::string &path : {dir_.file("0.log"), planted}) {
        if (path == planted && !planted_too) {
            continue;
        }
        const int saved_stdin = dup(STDIN_FILENO); // -1: closed already
        close(STDIN_FILENO);
        errno = ELOOP;
        const int fd = open_unplanted(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0600, now);
        const int error = errno;
        if (fd >= 0) {
            close(fd);
        }
        if (saved_stdin >= 0) {
            dup2(saved_stdin, STDIN_FILENO);
            close(saved_stdin);
        }
        if (path == planted) {
            EXPECT_LT(fd, 0);
            EXPECT_EQ(error, EACCES);
        } else {
            EXPECT_EQ(fd, 0);
        }
    }
}

// Where the parent of a path is, and what the status calls answer when the
// system cannot give a status.
TEST(FileStatus, ParentsAndFailures) {
    struct stat root_status {};
    struct stat here_status {};
    ASSERT_EQ(stat("/", &root_status), 0);
    ASSERT_EQ(stat(".", &here_status), 0);
    file_status status{};
    ASSERT_TRUE(status_of_parent("/x.log", &status));
    EXPECT_EQ(status.inode, static_cast<unsigned long long>(root_status.st_ino));
    ASSERT_TRUE(status_of_parent("x.log", &status));
    EXPECT_EQ(status.inode, static_cast<unsigned long long>(here_status.st_ino));
    EXPECT_TRUE(S_ISDIR(status.mode));

    errno = 0;
    EXPECT_FALSE(status_of_parent((std::string(256, 'd') + "/x.log").c_str(), &status));
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_TRUE(status_of_parent((std::string(255, 'd') + "/x.log").c_str(), &status) ||
                errno == ENOENT)
        << "a parent of 255 characters is looked at";
    EXPECT_FALSE(status_of_link("/nonexistent-tarvelo/x.log", &status));
    EXPECT_FALSE(status_of_descriptor(-1, &status));
}

std::atomic<int> delivered{0}; // lock-free: safe in a handler

void count_delivery(int) { delivered.fetch_add(1); }

bool blocked(int signal) {
    sigset_t mask;
    sigemptyset(&mask);
    return sigprocmask(SIG_BLOCK, nullptr, &mask) == 0 && sigismember(&mask, signal) == 1;
}

bool pending(int signal) {
    sigset_t set;
    sigemptyset(&set);
    return sigpending(&set) == 0 && sigismember(&set, signal) == 1;
}

// While a guard is held, exactly its signals are blocked, and the host's
// mask comes back after it. A signal our write raised (here raised by hand,
// as the kernel raises it at the writing thread) is taken when the write
// failed with its error, so the host never sees it; one the host already
// had pending is the host's, and stays.
TEST(SignalGuard, HoldsItsSignalsAndTakesOnlyWhatOurWriteRaised) {
    struct guard_case {
        const char *what;
        unsigned held;
        int raised;     // by our write, or 0
        int error;      // the write's error
        bool hosts_own; // the host's own, blocked and pending before
        bool reaches_host;
    };
    const guard_case cases[] = {
        {"SIGPIPE of a write to a pipe without reader", holds_sigpipe, SIGPIPE, EPIPE, false,
         false},
        {"SIGXFSZ of a write at the file-size limit", holds_sigxfsz, SIGXFSZ, EFBIG, false, false},
        {"both held, SIGXFSZ raised", holds_sigpipe | holds_sigxfsz, SIGXFSZ, EFBIG, false, false},
        {"the host's own SIGPIPE, pending before", holds_sigpipe, SIGPIPE, EPIPE, true, true},
        {"a write that failed otherwise takes nothing", holds_sigpipe, SIGPIPE, EIO, false, true},
        {"a signal not held is not taken", holds_sigpipe, SIGXFSZ, EFBIG, false, true},
        {"nothing raised", holds_sigpipe | holds_sigxfsz, 0, 0, false, false},
        {"EPIPE, its signal already gone", holds_sigpipe, 0, EPIPE, false, false},
    };
    struct sigaction counting {};
    counting.sa_handler = count_delivery;
    sigemptyset(&counting.sa_mask);
    struct sigaction old_pipe {};
    struct sigaction old_xfsz {};
    ASSERT_EQ(sigaction(SIGPIPE, &counting, &old_pipe), 0);
    ASSERT_EQ(sigaction(SIGXFSZ, &counting, &old_xfsz), 0);
    sigset_t both;
    sigemptyset(&both);
    sigaddset(&both, SIGPIPE);
    sigaddset(&both, SIGXFSZ);
    sigset_t hosts_mask;
    ASSERT_EQ(sigprocmask(SIG_UNBLOCK, &both, &hosts_mask), 0);
    for (const guard_case &c : cases) {
        SCOPED_TRACE(c.what);
        delivered.store(0);
        if (c.hosts_own) {
            sigset_t one;
            sigemptyset(&one);
            sigaddset(&one, c.raised);
            sigprocmask(SIG_BLOCK, &one, nullptr);
            raise(c.raised);
        }
        {
            signal_held guard(c.held);
            EXPECT_EQ(blocked(SIGPIPE), (c.held & holds_sigpipe) != 0 || c.hosts_own);
            EXPECT_EQ(blocked(SIGXFSZ), (c.held & holds_sigxfsz) != 0);
            if (c.raised != 0 && !c.hosts_own) {
                raise(c.raised); // held: stays pending, or arrives now if not
            }
            errno = 12345;
            guard.after_write(c.error);
            EXPECT_EQ(errno, 12345) << "the host's errno kept";
        }
        if (c.hosts_own) {
            EXPECT_TRUE(pending(c.raised)) << "the host's own signal taken";
            sigprocmask(SIG_UNBLOCK, &both, nullptr);
        }
        EXPECT_FALSE(blocked(SIGPIPE) || blocked(SIGXFSZ)) << "the host's mask not restored";
        EXPECT_EQ(delivered.load(), c.reaches_host ? 1 : 0);
    }
    sigprocmask(SIG_SETMASK, &hosts_mask, nullptr);
    sigaction(SIGPIPE, &old_pipe, nullptr);
    sigaction(SIGXFSZ, &old_xfsz, nullptr);
}

// A month or weekday out of range from a broken C library is written as
// January or Sunday: the text keeps its 24 characters and reads no byte
// beyond the tables of names.
TEST(Timestamp, BrokenBreakdownKeepsTheLayout) {
    const std::time_t when = 1765249200; // Tue Dec  9 03:00:00 2025 in UTC
    setenv("TZ", "UTC0", 1);
    tzset();
    const struct {
        int month, weekday;
        const char *text;
    } cases[] = {
        {12, 7, "Sun Jan  9 03:00:00 2025"},
        {-1, -1, "Sun Jan  9 03:00:00 2025"},
        {11, 2, "Tue Dec  9 03:00:00 2025"}, // in range: as given
    };
    for (const auto &c : cases) {
        breakdown_broken = true;
        broken_month = c.month;
        broken_weekday = c.weekday;
        char text[timestamp_length];
        format_timestamp(when, text);
        breakdown_broken = false;
        EXPECT_EQ(std::string(text, timestamp_length), c.text) << c.month << " " << c.weekday;
    }
}

} // namespace
} // namespace tarvelo::testing
