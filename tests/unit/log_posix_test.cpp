// The log's POSIX pieces on their own. Log paths that another user could
// have steered (a link of theirs anywhere on the path, their file in /tmp,
// a second name where others may write) are refused, and only those; what
// the walk says of paths that name no file; the file-status calls the
// check rests on, where they fail; and the
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

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

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

// What stands on the log's path, besides the directory `mode` names.
enum class left {
    file,              // a file at the log's name
    link,              // a link there, to a file of ours
    link_to_nowhere,   // a path through a link that leads to itself
    link_in_between,   // the log's directory is a link, to a directory of ours
    link_to_a_link,    // our link there, leading on through a second link
    second_name,       // a second name (hard link) for a file of ours
    link_of_the_kernel // /proc/self/fd/N, a file the process has open
};

// How the path is spelled: longer than the exit data holds, with "./"
// in it; with ".." and "//" in it (short enough to be kept for a second,
// were it not for "..").
enum class spelled { absolute, relative, padded, dotted };

// What stood there when a line found the path clean before it was planted:
// the same shape, all ours, this second or the second before, or a file of
// ours, this second, moved away as a rotation moves it; or, in the log's
// directory's place, a directory of the other user's own, this second.
enum class seen {
    never,
    ours_this_second,
    ours_a_second_before,
    our_file_this_second,
    theirs_this_second
};

struct planted_case {
    const char *what;
    const char *directory_mode; // "sticky" 01777, "open" 0777, "sticky_closed" 01755,
                                // "group" 0770, "own" 0700, "theirs" 0755 of user 65534
    left what_is_there;
    bool others;          // the link (the second one, for link_to_a_link) or the file
                          // left there is someone else's (root only)
    bool as_someone_else; // opened as user 65534 (root only)
    spelled spelling;
    seen before;
    int expected_errno; // 0: opened
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
        if (name == "group") {
            return 0770;
        }
        if (name == "theirs") {
            return 0755;
        }
        return name == "sticky_closed" ? 01755 : 0700;
    }
    static void make_file(const std::string &path, mode_t mode) {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT, mode);
        ASSERT_GE(fd, 0) << path;
        close(fd);
        ASSERT_EQ(chmod(path.c_str(), mode), 0);
    }
};

TEST_F(PlantedLog, RefusedWhereAnotherUserCouldHavePlacedWhatIsOpened) {
    constexpr spelled absolute = spelled::absolute;
    constexpr seen never = seen::never;
    const planted_case cases[] = {
        {"our file in a sticky directory open to all", "sticky", left::file, false, false, absolute,
         never, 0},
        {"our link in a sticky directory open to all", "sticky", left::link, false, false, absolute,
         never, 0},
        {"another's file in a sticky directory open to all", "sticky", left::file, true, false,
         absolute, never, EACCES},
        {"the same, by a path without a directory part", "sticky", left::file, true, false,
         spelled::relative, never, EACCES},
        {"another's link in a sticky directory open to all", "sticky", left::link, true, false,
         absolute, never, EACCES},
        {"another's file, opened as that user", "sticky", left::file, true, true, absolute, never,
         0},
        {"root's file, opened as another user", "sticky", left::file, false, true, absolute, never,
         0},
        {"another's file in a directory open to all, not sticky", "open", left::file, true, false,
         absolute, never, 0},
        {"another's file in a sticky directory closed to others", "sticky_closed", left::file, true,
         false, absolute, never, 0},
        {"another's file in a directory of our own", "own", left::file, true, false, absolute,
         never, 0},
        {"another's link in a directory of our own", "own", left::link, true, false, absolute,
         never, EACCES},
        {"another's link in a directory of that user's own", "theirs", left::link, true, false,
         absolute, never, EACCES},
        {"a path through a link that leads to itself", "own", left::link_to_nowhere, false, false,
         absolute, never, ELOOP},
        // Anywhere on the path, not only at its end.
        {"our link in place of the log's directory", "own", left::link_in_between, false, false,
         absolute, never, 0},
        {"the same, by a relative path", "own", left::link_in_between, false, false,
         spelled::relative, never, 0},
        {"the same, by a path with .. in it", "own", left::link_in_between, false, false,
         spelled::dotted, never, 0},
        {"our file by a path longer than the exit data holds", "own", left::file, false, false,
         spelled::padded, never, 0},
        {"our link in place of the log's directory, in a directory open to all", "open",
         left::link_in_between, false, false, absolute, never, 0},
        {"our link in place of the log's directory, in a directory of another user", "theirs",
         left::link_in_between, false, false, absolute, never, 0},
        {"another's link in place of the log's directory", "own", left::link_in_between, true,
         false, absolute, never, EACCES},
        {"the same, in a sticky directory open to all", "sticky", left::link_in_between, true,
         false, absolute, never, EACCES},
        {"our link leading on through our link", "own", left::link_to_a_link, false, false,
         absolute, never, 0},
        {"our link leading on through another's link", "own", left::link_to_a_link, true, false,
         absolute, never, EACCES},
        {"a link the kernel made to a file the process has open", "own", left::link_of_the_kernel,
         false, false, absolute, never, 0},
        // A second name for a file of root's, where someone else could have
        // made it.
        {"a second name in a sticky directory open to all", "sticky", left::second_name, false,
         false, absolute, never, EACCES},
        {"a second name in a directory open to all, not sticky", "open", left::second_name, false,
         false, absolute, never, EACCES},
        {"a second name in a directory its group may write", "group", left::second_name, false,
         false, absolute, never, EACCES},
        {"a second name in a directory of another user", "theirs", left::second_name, false, false,
         absolute, never, EACCES},
        {"a second name in a sticky directory closed to others", "sticky_closed", left::second_name,
         false, false, absolute, never, 0},
        {"a second name in a directory of our own", "own", left::second_name, false, false,
         absolute, never, 0},
        // Planted after a line found the path clean: not taken on the
        // strength of what was found then.
        {"another's file, after ours was moved away in the same second", "sticky", left::file, true,
         false, absolute, seen::ours_this_second, EACCES},
        {"another's link, after ours was moved away in the same second", "sticky", left::link, true,
         false, absolute, seen::ours_this_second, EACCES},
        {"another's link, after our file was moved away in the same second", "sticky", left::link,
         true, false, absolute, seen::our_file_this_second, EACCES},
        {"our link, after our file was moved away in the same second", "sticky", left::link, false,
         false, absolute, seen::our_file_this_second, 0},
        {"a second name, after ours was moved away in the same second", "sticky", left::second_name,
         false, false, absolute, seen::ours_this_second, EACCES},
        {"another's link in place of our link to the log's directory, in the same second", "open",
         left::link_in_between, true, false, absolute, seen::ours_this_second, EACCES},
        {"another's directory in place of the log's directory, swapped for their link in the "
         "same second",
         "sticky", left::link_in_between, true, false, absolute, seen::theirs_this_second, EACCES},
        {"the same, in a directory of theirs", "theirs", left::link_in_between, true, false,
         absolute, seen::theirs_this_second, EACCES},
        {"another's link in place of our link to the log's directory, in the next second", "own",
         left::link_in_between, true, false, absolute, seen::ours_a_second_before, EACCES},
        // What only root (or the host's own user) could change in a path
        // found settled is taken until the second ends, as planted.cpp says:
        // here root itself put another's link in a directory of our own.
        {"another's link that root put in place of our link to the log's directory, in the same "
         "second",
         "own", left::link_in_between, true, false, absolute, seen::ours_this_second, 0},
        // A path with ".." in it is walked on every line.
        {"the same, by a path with .. in it", "own", left::link_in_between, true, false,
         spelled::dotted, seen::ours_this_second, EACCES},
        {"our file again, after ours was moved away in the same second", "sticky", left::file,
         false, false, absolute, seen::ours_this_second, 0},
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
        const bool gives_away =
            c.others || c.as_someone_else || std::string(c.directory_mode) == "theirs";
        if (gives_away && !root) {
            std::printf("not run (only root can give a file away, and here cannot): %s\n", c.what);
            continue;
        }
        const std::string name = std::to_string(++row);
        const std::string directory = dir_.file(name);
        ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);
        ASSERT_EQ(chmod(directory.c_str(), mode_of(c.directory_mode)), 0);
        if (std::string(c.directory_mode) == "theirs") {
            ASSERT_EQ(chown(directory.c_str(), someone_else, someone_else), 0);
        }
        const std::string target = directory + ".target";
        // The path from the directory, and as the row spells it.
        const std::string in_directory = c.what_is_there == left::link_in_between   ? "d/x.log"
                                         : c.what_is_there == left::link_to_nowhere ? "loop/x.log"
                                                                                    : "x.log";
        std::string path = directory + "/" + in_directory;
        if (c.spelling == spelled::relative) {
            path = in_directory;
        } else if (c.spelling == spelled::padded) {
            path = directory + "/././././././././././" + in_directory;
        } else if (c.spelling == spelled::dotted) {
            path = directory + "/../" + name + "//" + in_directory;
        }
        const uid_t owner = c.others ? someone_else : 0;
        int kept_open = -1;

        // A line while the path was clean, then what it found moved away.
        if (c.before != seen::never) {
            const bool in_between = c.what_is_there == left::link_in_between;
            const std::string clean = directory + (in_between ? "/d" : "/x.log");
            const std::string clean_target = directory + ".clean";
            if (c.before == seen::theirs_this_second) {
                ASSERT_EQ(mkdir(clean.c_str(), 0755), 0);
                ASSERT_EQ(chown(clean.c_str(), someone_else, someone_else), 0);
            } else if (in_between) {
                ASSERT_EQ(mkdir(clean_target.c_str(), 0700), 0);
                ASSERT_EQ(symlink(clean_target.c_str(), clean.c_str()), 0);
            } else if (c.what_is_there == left::link && c.before != seen::our_file_this_second) {
                make_file(clean_target, 0600);
                ASSERT_EQ(symlink(clean_target.c_str(), clean.c_str()), 0);
            } else {
                make_file(clean, 0600);
            }
            const std::time_t then = c.before == seen::ours_a_second_before ? now - 1 : now;
            ASSERT_NE(c.spelling, spelled::relative);
            const int fd = open_unplanted(path.c_str(), O_WRONLY | O_CREAT, 0600, then);
            ASSERT_GE(fd, 0) << std::strerror(errno);
            close(fd);
            ASSERT_EQ(rename(clean.c_str(), (clean + ".1").c_str()), 0);
        }

        switch (c.what_is_there) {
        case left::file:
            make_file(directory + "/x.log", 0666);
            if (c.others) {
                ASSERT_EQ(chown((directory + "/x.log").c_str(), owner, owner), 0);
            }
            break;
        case left::link:
            make_file(target, 0600);
            ASSERT_EQ(symlink(target.c_str(), (directory + "/x.log").c_str()), 0);
            if (c.others) {
                ASSERT_EQ(lchown((directory + "/x.log").c_str(), owner, owner), 0);
            }
            break;
        case left::link_to_nowhere:
            ASSERT_EQ(symlink((directory + "/loop").c_str(), (directory + "/loop").c_str()), 0);
            break;
        case left::link_in_between:
            // To a directory only we may enter: nothing may be created there.
            ASSERT_EQ(mkdir(target.c_str(), 0700), 0);
            ASSERT_EQ(symlink(target.c_str(), (directory + "/d").c_str()), 0);
            if (c.others) {
                ASSERT_EQ(lchown((directory + "/d").c_str(), owner, owner), 0);
            }
            break;
        case left::link_to_a_link: {
            // Ours by its full name, then by a name relative to its own
            // directory.
            make_file(target, 0600);
            const std::string hop = directory + ".hop";
            ASSERT_EQ(symlink((name + ".target").c_str(), hop.c_str()), 0);
            ASSERT_EQ(symlink(hop.c_str(), (directory + "/x.log").c_str()), 0);
            if (c.others) {
                ASSERT_EQ(lchown(hop.c_str(), owner, owner), 0);
            }
            break;
        }
        case left::second_name:
            make_file(target, 0600);
            ASSERT_EQ(link(target.c_str(), (directory + "/x.log").c_str()), 0);
            break;
        case left::link_of_the_kernel:
            make_file(target, 0600);
            kept_open = open(target.c_str(), O_RDONLY | O_CLOEXEC);
            ASSERT_GE(kept_open, 0);
            break;
        }
        if (kept_open >= 0) {
            path = "/proc/self/fd/" + std::to_string(kept_open);
        }
        // As the exit opens its log, and without O_CREAT: some kernels refuse
        // another's link in such a directory themselves when asked to
        // create, before the check is reached.
        for (const int flags : {O_WRONLY | O_APPEND | O_CREAT, O_WRONLY | O_APPEND}) {
            SCOPED_TRACE(flags);
            if (c.spelling == spelled::relative) {
                ASSERT_EQ(chdir(directory.c_str()), 0);
            }
            if (c.as_someone_else) {
                // That user must be able to reach the directory.
                ASSERT_EQ(chmod(dir_.path().c_str(), 0711), 0);
                ASSERT_EQ(seteuid(someone_else), 0);
            }
            const int free_before = lowest_free_descriptor();
            const int fd = open_unplanted(path.c_str(), flags, 0600, now);
            const int error = errno;
            if (c.as_someone_else) {
                ASSERT_EQ(seteuid(0), 0);
                ASSERT_EQ(chmod(dir_.path().c_str(), 0700), 0);
            }
            if (c.spelling == spelled::relative) {
                ASSERT_EQ(chdir(dir_.path().c_str()), 0);
            }
            if (c.expected_errno != 0) {
                EXPECT_LT(fd, 0);
                EXPECT_EQ(error, c.expected_errno);
                EXPECT_EQ(lowest_free_descriptor(), free_before) << "a descriptor left open";
                continue;
            }
            ASSERT_GE(fd, 0) << std::strerror(error);
            EXPECT_EQ(write(fd, "x", 1), 1);
            close(fd);
            EXPECT_EQ(lowest_free_descriptor(), free_before) << "a descriptor left open";
        }
        if (kept_open >= 0) {
            close(kept_open);
        }
        // Each line went where the path leads, and only there.
        if (c.expected_errno == 0) {
            const bool own_file = c.what_is_there == left::file;
            const std::string written_to =
                own_file ? directory + "/x.log"
                         : target + (c.what_is_there == left::link_in_between ? "/x.log" : "");
            EXPECT_EQ(read_file(written_to), "xx") << written_to;
        }
        // Nothing created where the planter pointed.
        if (c.expected_errno != 0 && c.what_is_there == left::link_in_between) {
            EXPECT_FALSE(file_exists(target + "/x.log")) << "created through the link";
        }
    }

    // On descriptor 0 (a host running with its standard input closed), and
    // whatever errno held before: a log is opened, through our link, a link
    // the kernel made and a link of one character, and a planted one
    // refused all the same, with no descriptor of the walk left behind.
    const std::string planted = dir_.file("1/0.log"); // in the first row's sticky directory
    const int planted_fd = open(planted.c_str(), O_WRONLY | O_CREAT, 0666);
    ASSERT_GE(planted_fd, 0);
    close(planted_fd);
    const bool planted_too = root && chown(planted.c_str(), someone_else, someone_else) == 0;
    ASSERT_EQ(symlink(".", dir_.file("one").c_str()), 0);
    const int kept_open = open(dir_.file("kept").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(kept_open, 0);
    const std::string paths[] = {dir_.file("0.log"), planted,
                                 dir_.file("2/x.log"), // the second row's link, ours
                                 "/proc/self/fd/" + std::to_string(kept_open), dir_.file("one/z")};
    // Where the lines to each path land, and what they held before.
    const std::string lands_in[] = {dir_.file("0.log"), planted, dir_.file("2.target"),
                                    dir_.file("kept"), dir_.file("z")};
    std::size_t held_before[std::size(paths)];
    for (std::size_t i = 0; i < std::size(paths); ++i) {
        held_before[i] = read_file(lands_in[i]).size();
    }
    std::time_t second = now;
    for (const int error_before : {ELOOP, ENOTDIR}) {
        ++second; // walked, not taken as found in the second before
        for (const std::string &path : paths) {
            SCOPED_TRACE(path);
            if (path == planted && !planted_too) {
                continue;
            }
            const int saved_stdin = dup(STDIN_FILENO); // -1: closed already
            close(STDIN_FILENO);
            // Twice: walked, then opened as the walk found it.
            std::vector<int> errors;
            bool stdin_free = true;
            for (int time = 0; time < 2; ++time) {
                errno = error_before;
                const int fd =
                    open_unplanted(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0600, second);
                errors.push_back(fd >= 0 ? 0 : errno);
                if (fd >= 0) {
                    EXPECT_EQ(write(fd, "x", 1), 1);
                    close(fd);
                }
                stdin_free = stdin_free && lowest_free_descriptor() == STDIN_FILENO;
            }
            if (saved_stdin >= 0) {
                dup2(saved_stdin, STDIN_FILENO);
                close(saved_stdin);
            }
            EXPECT_TRUE(stdin_free) << "a descriptor of the walk left open";
            const int expected = path == planted ? EACCES : 0;
            EXPECT_EQ(errors, (std::vector<int>{expected, expected}));
        }
    }
    close(kept_open);
    for (std::size_t i = 0; i < std::size(paths); ++i) {
        EXPECT_EQ(read_file(lands_in[i]).size(), held_before[i] + (paths[i] == planted ? 0 : 4))
            << "the lines to " << paths[i];
    }
}

// What the walk answers where the path itself is wrong, and the status
// calls where the system cannot give a status.
TEST_F(PlantedLog, PathsThatNameNoFileAndStatusFailures) {
    // Paths of 1023 and 1024 characters, in components the kernel takes.
    std::string longest = dir_.path();
    while (longest.size() < 1023) {
        longest += "/" + std::string(std::min<std::size_t>(200, 1023 - longest.size() - 1), 'd');
    }
    // A link whose text, "d/d/d/...", does not fit in front of the rest.
    const std::string long_text = dir_.file("long");
    std::string text;
    while (text.size() < 1100) {
        text += "d/";
    }
    ASSERT_EQ(symlink(text.c_str(), long_text.c_str()), 0);
    // Links at the path's end whose texts just fit, and just do not.
    const std::string fits = dir_.file("fits");
    const std::string does_not_fit = dir_.file("does-not-fit");
    ASSERT_EQ(symlink((text.substr(0, 1021) + "e").c_str(), fits.c_str()), 0);
    ASSERT_EQ(symlink(text.substr(0, 1023).c_str(), does_not_fit.c_str()), 0);
    const int socket_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(socket_fd, 0);
    const std::string socket_link = "/proc/self/fd/" + std::to_string(socket_fd);
    const std::pair<std::string, int> paths[] = {
        {"", ENOENT},
        {"/", EISDIR},
        {dir_.file("x.log/"), EISDIR},
        {dir_.file("missing/x.log"), ENOENT},
        {longest, ENOENT},
        {longest + "d", ENAMETOOLONG},
        {long_text + "/" + std::string(30, 'e') + "/x.log", ENAMETOOLONG},
        {"/dev/null/x.log", ENOTDIR},
        {fits, ENOENT},
        {does_not_fit, ENAMETOOLONG},
        // Links the kernel makes, to what cannot be opened that way.
        {socket_link, ENXIO},
        {socket_link + "/x.log", ENOTDIR},
    };
    for (const auto &[path, error] : paths) {
        SCOPED_TRACE(path.substr(0, 64));
        errno = 0;
        const int free_before = lowest_free_descriptor();
        EXPECT_LT(open_unplanted(path.c_str(), O_WRONLY | O_CREAT, 0600, 1700000000), 0);
        EXPECT_EQ(errno, error);
        EXPECT_EQ(lowest_free_descriptor(), free_before) << "a descriptor left open";
    }
    close(socket_fd);
    file_status status{};
    EXPECT_FALSE(status_of_descriptor(-1, &status));
    EXPECT_FALSE(on_process_file_system(-1));
    errno = EDOM;
    EXPECT_EQ(status_or_close(-1, &status), -1);
    EXPECT_EQ(errno, EDOM) << "the failed open's error kept";
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
