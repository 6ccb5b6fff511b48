// A host that breaks its contract, or runs in bad conditions: the exit must
// still never let a channel run on a response to a challenge it did not
// send, its lines must never kill, hang or double up in the host, and a
// sandbox that refuses the random system call must not stop its sign-ons.
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
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <csignal>
#include <cstddef>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
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
enum class host_output { file, pipe_without_reader, closed };
enum class host_log { file, fifo_without_reader, fifo_with_reader };
enum class host_sigpipe { default_action, blocked, blocked_and_pending };
// Whether the host runs in a sandbox that refuses the getrandom system call
// with EPERM, as container runtimes' seccomp profiles did with calls they
// did not know. Its channels then sign on all the way, not just start.
enum class host_sandbox { none, getrandom_refused };

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
};

// A seccomp filter, as a sandbox sets one up: the getrandom system call is
// refused with EPERM, every other call allowed. For this process and its
// children, for good; true when the call is refused from then on.
bool refuse_getrandom() {
#if defined(__x86_64__)
    constexpr std::uint32_t this_arch = AUDIT_ARCH_X86_64;
#elif defined(__i386__)
    constexpr std::uint32_t this_arch = AUDIT_ARCH_I386;
#elif defined(__aarch64__)
    constexpr std::uint32_t this_arch = AUDIT_ARCH_AARCH64;
#else
    return false;
#endif
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
        // The exit learns what standard output is once a clock second, and
        // this process was forked from one whose standard output was
        // something else: a host started this way has run for a while.
        for (const std::time_t start = std::time(nullptr); std::time(nullptr) == start;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        break;
    case host_output::closed:
        close(STDOUT_FILENO);
        break;
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

    if (host.sandbox == host_sandbox::getrandom_refused) {
        if (!refuse_getrandom()) {
            _exit(host_without_sandbox);
        }
        standin::partner_config partner;
        partner.seed = 1700000000; // the stand-in partner's own bytes need no generator
        if (!standin::run_signon(entry, channel_with(log, false), partner).signed_on) {
            _exit(host_not_signed_on);
        }
    } else {
        standin::channel ch(entry, channel_with(log, false));
        ch.initialise();
        ch.terminate();
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
    default:
        return "exited with " + std::to_string(WEXITSTATUS(status));
    }
}

// Host processes in bad conditions, run side by side: each lives, returns
// promptly and has each line written once to each stream that can take it.
TEST(HostileHost, LivesReturnsPromptlyAndWritesEachLineOnce) {
    constexpr host_sandbox none = host_sandbox::none;
    constexpr host_sandbox refused = host_sandbox::getrandom_refused;
    const hostile_host hosts[] = {
        {"standard output a pipe with no reader", host_output::pipe_without_reader, host_log::file,
         host_sigpipe::default_action, none},
        {"the same, SIGPIPE blocked by the host", host_output::pipe_without_reader, host_log::file,
         host_sigpipe::blocked, none},
        {"the same, the host's own SIGPIPE pending", host_output::pipe_without_reader,
         host_log::file, host_sigpipe::blocked_and_pending, none},
        {"log path a FIFO with no reader", host_output::file, host_log::fifo_without_reader,
         host_sigpipe::default_action, none},
        {"log path a FIFO with a reader", host_output::file, host_log::fifo_with_reader,
         host_sigpipe::default_action, none},
        {"descriptor 1 closed", host_output::closed, host_log::file, host_sigpipe::default_action,
         none},
        {"getrandom refused by a sandbox", host_output::file, host_log::file,
         host_sigpipe::default_action, refused},
        {"the same, descriptor 1 closed", host_output::closed, host_log::file,
         host_sigpipe::default_action, refused},
    };
    tarvelo_entry_fn *entry = exit_entry();
    ASSERT_NE(entry, nullptr);
    scratch_directory dir;
    struct running {
        pid_t pid;
        int fifo_reader;
    };
    std::vector<running> started;
    for (std::size_t i = 0; i < std::size(hosts); ++i) {
        const hostile_host &host = hosts[i];
        const std::string n = std::to_string(i);
        const std::string log = dir.file(n + ".log");
        int reader = -1;
        if (host.log != host_log::file) {
            ASSERT_EQ(mkfifo(log.c_str(), 0600), 0) << host.what;
        }
        if (host.log == host_log::fifo_with_reader) {
            reader = open(log.c_str(), O_RDONLY | O_NONBLOCK);
            ASSERT_GE(reader, 0) << host.what;
        }
        std::fflush(stdout);
        std::fflush(stderr);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            run_host(entry, host, log, dir.file(n + ".out"), dir.file(n + ".err"));
        }
        started.push_back({pid, reader});
    }

    for (std::size_t i = 0; i < std::size(hosts); ++i) {
        const hostile_host &host = hosts[i];
        const std::string n = std::to_string(i);
        SCOPED_TRACE(host.what);
        EXPECT_EQ(end_of(started[i].pid, std::chrono::seconds(10)), "");
        const std::string err = read_file(dir.file(n + ".err"));
        switch (host.log) {
        case host_log::file:
            expect_each_line_once("log file", read_file(dir.file(n + ".log")));
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
        }
        if (host.output == host_output::file) {
            expect_each_line_once("standard output", read_file(dir.file(n + ".out")));
        }
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
