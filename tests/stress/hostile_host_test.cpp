// A host that breaks its contract, or runs in bad conditions: the exit must
// still never let a channel run on a response to a challenge it did not
// send, its lines must never kill, hang or double up in the host, a sandbox
// that refuses the random system call must not stop its sign-ons, a disk
// that fills must leave only whole lines and say what it lost, and nothing
// planted in /tmp or mounted over the random device is trusted.
#include "auth/challenge.h"
#include "standin/host.h"
#include "standin/partner.h"
#include "standin/signon.h"
#include "tests/support/expected_lines.h"
#include "tests/support/posix.h"
#include "tests/support/support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <csignal>
#include <cstddef>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#endif

namespace tarvelo::testing {
namespace {

// A whole sign-on; returns the right answer the partner gave to the exit's
// challenge, which travelled in clear on the channel.
std::vector<std::uint8_t> sign_on(standin::channel &ch) {
    ch.initialise();
    std::vector<std::uint8_t> challenge(security_text_length);
    standin::seeded_challenge(1700000000, challenge.data());
    ch.deliver(challenge);
    ch.deliver(std::vector<std::uint8_t>{ZAVSTAT_AUTHORISED});
    std::vector<std::uint8_t> answer = ch.outgoing();
    EXPECT_EQ(answer.size(), security_text_length);
    answer.resize(security_text_length);
    compute_response(reinterpret_cast<const std::uint8_t *>("SECRET"), 6, answer.data());
    ch.deliver(answer);
    EXPECT_EQ(ch.response(), ZTXCC_OK);
    EXPECT_EQ(ch.state(), ZAVCONN_VERIFY);
    return answer;
}

// The state byte set to "verifying" right after initialisation: the exit
// buffer holds no challenge, so no response may pass: not one of constant
// bytes, and not a response replayed from an earlier sign-on whose freed
// buffer the allocator hands out again. The refusal is the impersonation
// message.
TEST(HostileHost, ForgedVerifyStateAcceptsNoResponse) {
    std::vector<std::vector<std::uint8_t>> forged = {std::vector<std::uint8_t>(32, 0x00),
                                                     std::vector<std::uint8_t>(32, 0xBE)};
    {
        captured_output quiet;
        standin::channel earlier(exit_entry(), standin::channel_config{});
        forged.push_back(sign_on(earlier));
        earlier.terminate();
    }
    for (const std::vector<std::uint8_t> &response : forged) {
        standin::channel ch(exit_entry(), standin::channel_config{});
        captured_output capture;
        ch.initialise();
        ch.params().user_area[0] = ZAVCONN_VERIFY;
        ch.deliver(response);
        const std::string out = capture.take().out;
        EXPECT_EQ(ch.response(), ZTXCC_CLOSE_CHANNEL) << int{response[0]};
        EXPECT_EQ(identifiers_in(out), identifiers_of({msg_exit_started, msg_impersonation}))
            << out;
        captured_output quiet;
        ch.terminate();
    }
}

// The two lines of a channel started and ended, each exactly once.
void expect_each_line_once(const std::string &where, const std::string &text) {
    const std::vector<std::string> lines = split_lines(text);
    ASSERT_EQ(lines.size(), 2u) << where << ":\n" << text;
    EXPECT_EQ(identifiers_in(text), identifiers_of({msg_exit_started, msg_channel_closed}))
        << where;
}

#if !defined(_WIN32)
// What a host process is like when its channel starts.
enum class host_output { file, pipe_without_reader, closed, dev_null };
enum class host_log {
    file,
    fifo_without_reader,
    fifo_with_reader,
    // The disk's faults: the host runs 30 channels into a log that cannot
    // hold their lines, then (on the file system) frees room and runs one
    // more. Each physical line of the log must be a whole line of the exit,
    // and each line lost said on standard error.
    under_file_size_limit, // ulimit -f 4 (4 KiB), as the host was started
    on_full_file_system,   // a 64 KiB tmpfs with one page left
    dev_full,              // every write fails with ENOSPC
    // Left by another user (root only can give them away) where the log
    // path leads, to read the host's lines or to steer them into a file
    // only the host may write: the lines go nowhere but standard output.
    planted_link,               // a symbolic link, in a sticky directory open to all
    planted_file,               // a file anyone may write, there
    planted_directory_link,     // a link there in the middle of the path, to a
                                // directory only the host may enter, that holds the log
    planted_directory_link_new, // the same, where the log is not yet
    planted_in_their_directory, // a link in a directory of their own, not sticky
    // A second name (hard link) for a file only the host may write, in a
    // sticky directory open to all. Another user can make one only where
    // fs.protected_hardlinks is off; the test makes it as the host's own
    // user, which the exit cannot tell apart, so this row needs no root.
    planted_second_name,
};
enum class host_sigpipe { default_action, blocked, blocked_and_pending };
// Whether the host runs in a sandbox that refuses the getrandom system call
// with EPERM, as container runtimes' seccomp profiles did with calls they
// did not know. Its channels then sign on all the way, not just start;
// unless /dev/zero stands at /dev/urandom too (root in the host's mount
// namespace can do that): then every challenge would be the same and its
// answer could be replayed, so the channel is refused. So it is when a FIFO
// stands there, which must not hold the channel start waiting for a writer.
enum class host_sandbox {
    none,
    getrandom_refused,
    getrandom_refused_urandom_zero,
    getrandom_refused_urandom_fifo
};

bool urandom_replaced(host_sandbox sandbox) {
    return sandbox == host_sandbox::getrandom_refused_urandom_zero ||
           sandbox == host_sandbox::getrandom_refused_urandom_fifo;
}

struct hostile_host {
    const char *what;
    host_output output;
    host_log log;
    host_sigpipe sigpipe;
    host_sandbox sandbox;
};

// What the host process says about itself when its channel has ended.
enum host_verdict : int {
    host_fine = 0,
    host_left_with_our_sigpipe = 10, // the exit's own signal left pending
    host_lost_its_sigpipe = 11,      // the host's pending signal taken
    host_setup_failed = 12,
    host_not_signed_on = 13,   // the channel was refused
    host_without_sandbox = 14, // the filter could not be put in place
    host_without_mount = 15,   // no mount namespace of its own: not run
    host_signed_on_fake = 16,  // signed on with challenges from /dev/zero
};

// Channels a host on a disk that fills runs before it frees room.
constexpr int channels_into_a_full_log = 30;

// A mount namespace of this process's own, as root or as a user namespace
// allows: what it mounts is seen by nobody else and gone when it ends.
bool own_mount_namespace() {
    if (unshare(CLONE_NEWNS) != 0) {
        const uid_t uid = geteuid();
        const gid_t gid = getegid();
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
            return false;
        }
        const std::string uid_map = "0 " + std::to_string(uid) + " 1";
        const std::string gid_map = "0 " + std::to_string(gid) + " 1";
        const int deny = open("/proc/self/setgroups", O_WRONLY);
        const int uids = open("/proc/self/uid_map", O_WRONLY);
        const int gids = open("/proc/self/gid_map", O_WRONLY);
        const bool mapped =
            deny >= 0 && uids >= 0 && gids >= 0 && write(deny, "deny", 4) == 4 &&
            write(uids, uid_map.data(), uid_map.size()) == static_cast<ssize_t>(uid_map.size()) &&
            write(gids, gid_map.data(), gid_map.size()) == static_cast<ssize_t>(gid_map.size());
        for (int fd : {deny, uids, gids}) {
            if (fd >= 0) {
                close(fd);
            }
        }
        if (!mapped) {
            return false;
        }
    }
    return mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) == 0;
}

// A 64 KiB tmpfs at `where`, filled but for one page.
bool mount_nearly_full_tmpfs(const std::string &where) {
    if (!own_mount_namespace() ||
        mount("tv", where.c_str(), "tmpfs", 0, "size=64k,mode=0700") != 0) {
        return false;
    }
    const int fill = open((where + "/fill").c_str(), O_WRONLY | O_CREAT, 0600);
    const std::vector<char> page(4096, 'x');
    for (int i = 0; i < 15 && fill >= 0; ++i) {
        if (write(fill, page.data(), page.size()) != static_cast<ssize_t>(page.size())) {
            break;
        }
    }
    return fill >= 0 && close(fill) == 0;
}

// /dev/zero, or a FIFO with no writer made at `fifo`, mounted on
// /dev/urandom, as `sandbox` says.
bool mount_on_urandom(host_sandbox sandbox, const std::string &fifo) {
    const bool zero = sandbox == host_sandbox::getrandom_refused_urandom_zero;
    return (zero || mkfifo(fifo.c_str(), 0666) == 0) && own_mount_namespace() &&
           mount(zero ? "/dev/zero" : fifo.c_str(), "/dev/urandom", "none", MS_BIND, nullptr) == 0;
}

// Waits for the next clock second: what the exit learns of the process
// (what standard output is, whether it has a file-size limit) it learns
// once a second, and this process was forked from one that was otherwise:
// a host started this way has run for a while.
void into_the_next_second() {
    for (const std::time_t start = std::time(nullptr); std::time(nullptr) == start;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// A seccomp filter, as a sandbox sets one up: the getrandom system call is
// refused with EPERM, every other call allowed. For this process and its
// children, for good; true when the call is refused from then on.
bool refuse_getrandom() {
    // The filter sees calls of this process's own architecture only; every
    // architecture the exit is built for must be named here, or the host
    // reports that its sandbox could not be put in place.
#if defined(__x86_64__)
    constexpr std::uint32_t this_arch = AUDIT_ARCH_X86_64;
#elif defined(__i386__)
    constexpr std::uint32_t this_arch = AUDIT_ARCH_I386;
#elif defined(__aarch64__)
    constexpr std::uint32_t this_arch = AUDIT_ARCH_AARCH64;
#elif defined(__s390x__)
    constexpr std::uint32_t this_arch = AUDIT_ARCH_S390X;
#elif defined(__powerpc64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    constexpr std::uint32_t this_arch = AUDIT_ARCH_PPC64LE;
#else
    constexpr std::uint32_t this_arch = 0;
#endif
    if constexpr (this_arch == 0) {
        return false;
    }
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, this_arch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_getrandom, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        return false;
    }
    unsigned char byte = 0;
    return syscall(SYS_getrandom, &byte, 1, 0) < 0 && errno == EPERM;
}

bool sigpipe_pending() {
    sigset_t pending;
    sigemptyset(&pending);
    return sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
}

// The host process: standard output, the signal and the clock as `host`
// says, then one channel started and ended (two numbered lines). Never
// returns.
[[noreturn]] void run_host(tarvelo_entry_fn *entry, const hostile_host &host,
                           const std::string &log, const std::string &out, const std::string &err) {
    const int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (err_fd < 0 || dup2(err_fd, STDERR_FILENO) < 0) {
        _exit(host_setup_failed);
    }
    int pipe_ends[2];
    switch (host.output) {
    case host_output::file: {
        const int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out_fd < 0 || dup2(out_fd, STDOUT_FILENO) < 0) {
            _exit(host_setup_failed);
        }
        break;
    }
    case host_output::pipe_without_reader:
        if (pipe(pipe_ends) != 0 || dup2(pipe_ends[1], STDOUT_FILENO) < 0) {
            _exit(host_setup_failed);
        }
        close(pipe_ends[0]);
        close(pipe_ends[1]);
        into_the_next_second();
        break;
    case host_output::closed:
        close(STDOUT_FILENO);
        break;
    case host_output::dev_null: {
        const int null_fd = open("/dev/null", O_WRONLY);
        if (null_fd < 0 || dup2(null_fd, STDOUT_FILENO) < 0) {
            _exit(host_setup_failed);
        }
        break;
    }
    }
    signal(SIGPIPE, SIG_DFL);
    sigset_t only_sigpipe;
    sigemptyset(&only_sigpipe);
    sigaddset(&only_sigpipe, SIGPIPE);
    sigprocmask(host.sigpipe == host_sigpipe::default_action ? SIG_UNBLOCK : SIG_BLOCK,
                &only_sigpipe, nullptr);
    if (host.sigpipe == host_sigpipe::blocked_and_pending) {
        raise(SIGPIPE);
    }

    // The log as the disk leaves it, where the test reads it: a tmpfs of
    // this process's own is seen by nobody else.
    std::string log_here = log;
    if (host.log == host_log::under_file_size_limit) {
        const rlimit four_kib{4096, RLIM_INFINITY};
        if (setrlimit(RLIMIT_FSIZE, &four_kib) != 0) {
            _exit(host_setup_failed);
        }
        into_the_next_second();
    } else if (host.log == host_log::on_full_file_system) {
        const std::string mounted = log.substr(0, log.rfind('/')) + "/m";
        if (mkdir(mounted.c_str(), 0700) != 0 || !mount_nearly_full_tmpfs(mounted)) {
            _exit(host_without_mount);
        }
        log_here = mounted + "/x.log";
    } else if (host.log == host_log::dev_full) {
        log_here = "/dev/full";
    }

    if (host.sandbox != host_sandbox::none) {
        if (urandom_replaced(host.sandbox) && !mount_on_urandom(host.sandbox, log + ".urandom")) {
            _exit(host_without_mount);
        }
        if (!refuse_getrandom()) {
            _exit(host_without_sandbox);
        }
        standin::partner_config partner;
        partner.seed = 1700000000; // the stand-in partner's own bytes need no generator
        const bool signed_on =
            standin::run_signon(entry, channel_with(log, false), partner).signed_on;
        if (host.sandbox == host_sandbox::getrandom_refused && !signed_on) {
            _exit(host_not_signed_on);
        }
        if (urandom_replaced(host.sandbox) && signed_on) {
            _exit(host_signed_on_fake);
        }
    } else {
        const bool filling = host.log == host_log::under_file_size_limit ||
                             host.log == host_log::on_full_file_system;
        for (int i = 0; i < (filling ? channels_into_a_full_log : 1); ++i) {
            standin::channel ch(entry, channel_with(log_here, false));
            ch.initialise();
            ch.terminate();
        }
        if (host.log == host_log::on_full_file_system) {
            unlink((log_here.substr(0, log_here.rfind('/')) + "/fill").c_str());
            standin::channel_config after = channel_with(log_here, false);
            after.name = "AFTER";
            standin::channel ch(entry, after);
            ch.initialise();
            ch.terminate();
            const std::string kept = read_file(log_here);
            const int copy = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (copy < 0 ||
                write(copy, kept.data(), kept.size()) != static_cast<ssize_t>(kept.size())) {
                _exit(host_setup_failed);
            }
            close(copy);
        }
    }

    if (host.sigpipe == host_sigpipe::blocked && sigpipe_pending()) {
        _exit(host_left_with_our_sigpipe);
    }
    if (host.sigpipe == host_sigpipe::blocked_and_pending && !sigpipe_pending()) {
        _exit(host_lost_its_sigpipe);
    }
    _exit(host_fine);
}

// How the host process ended: "" when it returned normally and said all was
// well, else what went wrong. Killed after `patience`: a host hangs.
std::string end_of(pid_t pid, std::chrono::seconds patience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return "hung, killed after " + std::to_string(patience.count()) + " s";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (WIFSIGNALED(status)) {
        return "killed by signal " + std::to_string(WTERMSIG(status));
    }
    switch (WEXITSTATUS(status)) {
    case host_fine:
        return "";
    case host_left_with_our_sigpipe:
        return "left with a SIGPIPE the exit's write raised";
    case host_lost_its_sigpipe:
        return "its own pending SIGPIPE was taken";
    case host_not_signed_on:
        return "its channel did not sign on";
    case host_without_sandbox:
        return "the seccomp filter could not be put in place";
    case host_signed_on_fake:
        return "its channel signed on with challenges read from what stands at /dev/urandom";
    default:
        return "exited with " + std::to_string(WEXITSTATUS(status));
    }
}

// Every physical line of a log is a whole line of the exit: a channel
// started or closed, nothing cut, nothing glued to it. Returns how many.
std::size_t expect_whole_lines(const std::string &text) {
    static const std::regex whole(
        "(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
        "[ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4} TARVELO00"
        "(1I - KOR Security Exit Started Channel => .{20}|8I - KOR Security Exit Channel => "
        ".{20} closed\\.)");
    EXPECT_TRUE(text.empty() || text.back() == '\n') << "the log ends in a cut line";
    const std::vector<std::string> lines = split_lines(text);
    for (const std::string &line : lines) {
        EXPECT_TRUE(std::regex_match(line, whole)) << "not a whole line: " << line;
    }
    return lines.size();
}

// Standard error holds only `line`, at least once; returns how many times.
std::size_t expect_only(const std::string &err, const std::string &line) {
    const std::vector<std::string> lines = split_lines(err);
    EXPECT_FALSE(lines.empty()) << "nothing said on standard error";
    for (const std::string &said : lines) {
        EXPECT_EQ(said, line);
    }
    return lines.size();
}

// What another user left for host `n`, in scratch directory `dir`, as
// `what` says: the log path the host is given, or "" when this process may
// not make it (only root can give a file away). Whatever the path leads
// to is empty and only the host may write it: `n`.target, a file, and
// `n`.d, a directory that holds x.log.
std::string plant(host_log what, const scratch_directory &dir, const std::string &n) {
    constexpr uid_t someone_else = 65534;
    const std::string sticky = dir.file("s");
    const std::string target = dir.file(n + ".target");
    const std::string closed = dir.file(n + ".d");
    const auto make = [](const std::string &path, mode_t mode) {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
        return fd >= 0 && close(fd) == 0 && chmod(path.c_str(), mode) == 0;
    };
    const auto theirs = [](const std::string &path) {
        return lchown(path.c_str(), someone_else, someone_else) == 0;
    };
    if ((mkdir(sticky.c_str(), 01777) != 0 && errno != EEXIST) || chmod(sticky.c_str(), 01777) ||
        !make(target, 0600) || mkdir(closed.c_str(), 0700) != 0 || !make(closed + "/x.log", 0600)) {
        return "";
    }
    const std::string log = sticky + "/" + n + ".log";
    switch (what) {
    case host_log::planted_link:
        return symlink(target.c_str(), log.c_str()) == 0 && theirs(log) ? log : "";
    case host_log::planted_file:
        return make(log, 0666) && theirs(log) ? log : "";
    case host_log::planted_directory_link:
    case host_log::planted_directory_link_new: {
        const std::string link = sticky + "/" + n;
        const bool new_log = what == host_log::planted_directory_link_new;
        return symlink(closed.c_str(), link.c_str()) == 0 && theirs(link)
                   ? link + (new_log ? "/y.log" : "/x.log")
                   : "";
    }
    case host_log::planted_in_their_directory: {
        const std::string their_directory = dir.file("t" + n);
        const std::string link = their_directory + "/x.log";
        return mkdir(their_directory.c_str(), 0755) == 0 &&
                       symlink(target.c_str(), link.c_str()) == 0 && theirs(link) &&
                       theirs(their_directory)
                   ? link
                   : "";
    }
    case host_log::planted_second_name:
        return link(target.c_str(), log.c_str()) == 0 ? log : "";
    default:
        return "";
    }
}

bool is_planted(host_log log) { return log >= host_log::planted_link; }

// Host processes in bad conditions, run side by side: each lives, returns
// promptly and has each line written once to each stream that can take it,
// or, where the disk cannot hold them, only whole lines in the log and each
// loss said. Rows that need what this machine does not give (root, a mount
// namespace) say that they did not run.
TEST(HostileHost, LivesReturnsPromptlyAndWritesEachLineOnce) {
    constexpr host_sandbox none = host_sandbox::none;
    constexpr host_sandbox refused = host_sandbox::getrandom_refused;
    constexpr host_sigpipe sigpipe_default = host_sigpipe::default_action;
    const hostile_host hosts[] = {
        {"standard output a pipe with no reader", host_output::pipe_without_reader, host_log::file,
         sigpipe_default, none},
        {"the same, SIGPIPE blocked by the host", host_output::pipe_without_reader, host_log::file,
         host_sigpipe::blocked, none},
        {"the same, the host's own SIGPIPE pending", host_output::pipe_without_reader,
         host_log::file, host_sigpipe::blocked_and_pending, none},
        {"log path a FIFO with no reader", host_output::file, host_log::fifo_without_reader,
         sigpipe_default, none},
        {"log path a FIFO with a reader", host_output::file, host_log::fifo_with_reader,
         sigpipe_default, none},
        {"descriptor 1 closed", host_output::closed, host_log::file, sigpipe_default, none},
        {"getrandom refused by a sandbox", host_output::file, host_log::file, sigpipe_default,
         refused},
        {"the same, descriptor 1 closed", host_output::closed, host_log::file, sigpipe_default,
         refused},
        {"the same, /dev/zero mounted on /dev/urandom", host_output::dev_null, host_log::file,
         sigpipe_default, host_sandbox::getrandom_refused_urandom_zero},
        {"the same, a FIFO with no writer mounted on /dev/urandom", host_output::dev_null,
         host_log::file, sigpipe_default, host_sandbox::getrandom_refused_urandom_fifo},
        {"a file-size limit the log reaches", host_output::dev_null,
         host_log::under_file_size_limit, sigpipe_default, none},
        {"a file system that fills, then has room again", host_output::dev_null,
         host_log::on_full_file_system, sigpipe_default, none},
        {"log path /dev/full", host_output::file, host_log::dev_full, sigpipe_default, none},
        {"log path a link another user planted in a sticky directory", host_output::file,
         host_log::planted_link, sigpipe_default, none},
        {"log path a file another user planted in a sticky directory", host_output::file,
         host_log::planted_file, sigpipe_default, none},
        {"log path through a link another user planted in its middle", host_output::file,
         host_log::planted_directory_link, sigpipe_default, none},
        {"the same, to a log not yet there", host_output::file,
         host_log::planted_directory_link_new, sigpipe_default, none},
        {"log path a link another user planted in a directory of their own", host_output::file,
         host_log::planted_in_their_directory, sigpipe_default, none},
        {"log path a second name for a file of the host's, in a sticky directory",
         host_output::file, host_log::planted_second_name, sigpipe_default, none},
    };
    tarvelo_entry_fn *entry = exit_entry();
    ASSERT_NE(entry, nullptr);
    scratch_directory dir;
    struct running {
        pid_t pid;
        int fifo_reader;
        std::string log;
    };
    std::vector<running> started;
    std::string not_run;
    for (std::size_t i = 0; i < std::size(hosts); ++i) {
        const hostile_host &host = hosts[i];
        const std::string n = std::to_string(i);
        const bool planted = is_planted(host.log);
        const std::string log = planted ? plant(host.log, dir, n) : dir.file(n + ".log");
        int reader = -1;
        if (host.log == host_log::fifo_without_reader || host.log == host_log::fifo_with_reader) {
            ASSERT_EQ(mkfifo(log.c_str(), 0600), 0) << host.what;
        }
        if (host.log == host_log::fifo_with_reader) {
            reader = open(log.c_str(), O_RDONLY | O_NONBLOCK);
            ASSERT_GE(reader, 0) << host.what;
        }
        if (planted && log.empty()) {
            not_run += std::string("\n  ") + host.what + ": only root can plant it";
            started.push_back({-1, reader, log});
            continue;
        }
        std::fflush(stdout);
        std::fflush(stderr);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            run_host(entry, host, log, dir.file(n + ".out"), dir.file(n + ".err"));
        }
        started.push_back({pid, reader, log});
    }

    for (std::size_t i = 0; i < std::size(hosts); ++i) {
        const hostile_host &host = hosts[i];
        const std::string n = std::to_string(i);
        SCOPED_TRACE(host.what);
        if (started[i].pid < 0) {
            continue;
        }
        const std::string ended = end_of(started[i].pid, std::chrono::seconds(10));
        if (ended == "exited with " + std::to_string(host_without_mount)) {
            not_run += std::string("\n  ") + host.what + ": no mount namespace could be had";
            continue;
        }
        EXPECT_EQ(ended, "");
        const std::string err = read_file(dir.file(n + ".err"));
        // Read only where the log is a file: a FIFO would wait for a writer.
        const bool fifo =
            host.log == host_log::fifo_without_reader || host.log == host_log::fifo_with_reader;
        const std::string log = fifo ? "" : read_file(started[i].log);
        switch (host.log) {
        case host_log::file:
            if (urandom_replaced(host.sandbox)) {
                // Started, refused when its challenge was due, closed.
                const std::vector<std::string> lines = split_lines(log);
                EXPECT_EQ(lines.size(), 3u) << log;
                const std::string refusal = lines.size() > 1 ? lines[1] : "";
                EXPECT_NE(refusal.find("TARVELO009E"), std::string::npos) << log;
            } else {
                expect_each_line_once("log file", log);
            }
            EXPECT_EQ(err, "");
            break;
        case host_log::fifo_without_reader:
            EXPECT_EQ(err, "Error accessing log file - errno 6\n"
                           "Error accessing log file - errno 6\n"); // ENXIO
            break;
        case host_log::fifo_with_reader: {
            std::string read_back;
            char chunk[4096];
            for (ssize_t got; (got = read(started[i].fifo_reader, chunk, sizeof chunk)) > 0;) {
                read_back.append(chunk, static_cast<std::size_t>(got));
            }
            close(started[i].fifo_reader);
            expect_each_line_once("FIFO", read_back);
            EXPECT_EQ(err, "");
            break;
        }
        case host_log::under_file_size_limit:
        case host_log::on_full_file_system: {
            const bool limit = host.log == host_log::under_file_size_limit;
            const std::size_t kept = expect_whole_lines(log);
            const std::size_t lost =
                expect_only(err, limit ? "Error writing log file - errno 27"   // EFBIG
                                       : "Error writing log file - errno 28"); // ENOSPC
            const std::size_t more = limit ? 0 : 2;
            EXPECT_EQ(kept + lost, 2 * channels_into_a_full_log + more);
            if (!limit) {
                EXPECT_NE(log.rfind("Channel => AFTER"), std::string::npos)
                    << "not after room came";
                EXPECT_LT(log.size() - log.rfind("closed.\n"), 10u) << log;
            }
            break;
        }
        case host_log::dev_full:
            EXPECT_EQ(err, "Error writing log file - errno 28\n"
                           "Error writing log file - errno 28\n"); // ENOSPC
            break;
        default: // planted
            EXPECT_EQ(err, "Error accessing log file - errno 13\n"
                           "Error accessing log file - errno 13\n"); // EACCES
            EXPECT_EQ(log, "");
            EXPECT_EQ(read_file(dir.file(n + ".target")), "");
            EXPECT_EQ(read_file(dir.file(n + ".d/x.log")), "");
            EXPECT_FALSE(file_exists(dir.file(n + ".d/y.log"))) << "created through the link";
            break;
        }
        if (host.output == host_output::file) {
            expect_each_line_once("standard output", read_file(dir.file(n + ".out")));
        }
    }
    if (!not_run.empty()) {
        GTEST_SKIP() << "not run on this machine:" << not_run;
    }
}
#else
// Windows has no SIGPIPE and no fork: the host's channel runs on a thread of
// this process, which must be done within ten seconds. Its standard streams
// are kept in `out`.
bool channel_returns_promptly(const std::string &log, HANDLE pipe_server,
                              captured_output::streams *out) {
    captured_output capture;
    std::atomic<bool> done{false};
    std::thread host([&] {
        standin::channel ch(exit_entry(), channel_with(log, false));
        ch.initialise();
        ch.terminate();
        done = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const bool in_time = done;
    // A write the pipe's server has not read holds the host's thread: read
    // what the pipe holds until it lets go.
    while (!done) {
        DWORD waiting = 0;
        char chunk[4096];
        DWORD got = 0;
        if (PeekNamedPipe(pipe_server, nullptr, 0, nullptr, &waiting, nullptr) && waiting != 0) {
            ReadFile(pipe_server, chunk, sizeof chunk, &got, nullptr);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    host.join();
    *out = capture.take();
    return in_time;
}

// What one instance of a named pipe holds once its client has gone.
std::string read_pipe(HANDLE server) {
    std::string text;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(server, chunk, sizeof chunk, &got, nullptr) && got != 0) {
        text.append(chunk, got);
    }
    return text;
}

// A named pipe as log path: a server that never reads (no room at all in
// the pipe) must not hold the channel, and one that reads gets each line
// once, on a connection of its own. With descriptor 1 closed, each line is
// in the log file once.
TEST(HostileHost, NamedPipeLogOrClosedDescriptorNeitherHangsNorWritesTwice) {
    const std::string pipe_name = "\\\\.\\pipe\\tv-" + std::to_string(GetCurrentProcessId());
    {
        SCOPED_TRACE("a named pipe whose server never reads");
        HANDLE server = CreateNamedPipeA(pipe_name.c_str(), PIPE_ACCESS_INBOUND,
                                         PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0, 0, 0, nullptr);
        ASSERT_NE(server, INVALID_HANDLE_VALUE);
        captured_output::streams out;
        EXPECT_TRUE(channel_returns_promptly(pipe_name, server, &out));
        CloseHandle(server);
        expect_each_line_once("standard output", out.out);
    }
    {
        SCOPED_TRACE("a named pipe whose server reads");
        HANDLE servers[2];
        for (HANDLE &server : servers) {
            server =
                CreateNamedPipeA(pipe_name.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_WAIT,
                                 PIPE_UNLIMITED_INSTANCES, 0, 4096, 0, nullptr);
            ASSERT_NE(server, INVALID_HANDLE_VALUE);
        }
        captured_output::streams out;
        EXPECT_TRUE(channel_returns_promptly(pipe_name, servers[0], &out));
        EXPECT_EQ(out.err, "");
        std::string read_back;
        for (HANDLE server : servers) {
            read_back += read_pipe(server);
            CloseHandle(server);
        }
        expect_each_line_once("named pipe", read_back);
    }
    {
        SCOPED_TRACE("descriptor 1 closed");
        scratch_directory dir;
        const std::string log = dir.file("exit.log");
        std::fflush(stdout);
        const int saved = _dup(1);
        ASSERT_GE(saved, 0);
        _close(1);
        {
            standin::channel ch(exit_entry(), channel_with(log, false));
            ch.initialise();
            ch.terminate();
        }
        _dup2(saved, 1);
        _close(saved);
        std::clearerr(stdout);
        expect_each_line_once("log file", read_file(log));
    }
}
#endif

} // namespace
} // namespace tarvelo::testing
