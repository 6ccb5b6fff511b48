// Secrets steer nothing: a host runs a sign-on under valgrind's memcheck with
// the channel's password marked undefined, so that memcheck reports every
// branch and every memory address that depends on the password or on
// anything computed from it (its length, its digest, the response before it
// is sent, the expected response). The host marks public only what the
// protocol makes public: the response and the exit's challenge once they lie
// in the buffers the host sends from.
//
// One program, two roles. Run by CTest, it is the judge: each test starts
// valgrind on this same program with --host CASE and reads memcheck's
// report. Run with --host, it is the host of that case. The control case
// looks a table up by a password byte and branches on another, in the host
// itself: a memcheck that stopped seeing undefined values would pass the
// exit's cases silently, and fails the control case instead.
#include "auth/challenge.h"
#include "exit/tarvelo.h"

#include <gtest/gtest.h>
#include <valgrind/memcheck.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char **environ;

namespace {

// --- the host ------------------------------------------------------------

constexpr char partner_challenge[] = "821AE732808530800F021C0570451810";

struct host_case {
    const char *name;
    char field[TARVELO_PASSWORD_LENGTH]; // the channel definition's password field
    const char *exit_data;
};

const host_case host_cases[] = {
    {"blank-padded", {'S', '3', 'C', 'R', 'E', 'T', ' ', ' ', ' ', ' ', ' ', ' '}, ""},
    {"twelve-bytes", {'K', '7', 'q', 'P', '2', 'x', 'W', '9', 'm', 'Z', '4', 'v'}, ""},
    // Trace on: the response and the exit's challenge are written out as
    // they are sent, a log file besides.
    {"traced", {'K', '7', 'q', 'P', '2', 'x', 'W', '9', 'm', 'Z', '4', 'v'}, "/dev/null TRACEON"},
};

int fail(const char *what) {
    std::fprintf(stderr, "host: %s\n", what);
    return 1;
}

bool is_upper_hex(const std::uint8_t *text) {
    for (int i = 0; i < 32; ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (!digit && !(text[i] >= 'A' && text[i] <= 'F'))
            return false;
    }
    return true;
}

// Answers the partner's challenge, then, told the password was accepted,
// makes the exit's own challenge and expected response; then ends the
// channel. Every step is checked, so that a run that signed nothing on
// cannot pass for a clean one.
int run_host(const host_case &c) {
    void *library = dlopen(TARVELO_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr)
        return fail(dlerror());
    tarvelo_entry_fn *entry = nullptr;
    *reinterpret_cast<void **>(&entry) = dlsym(library, "TARVELO");
    if (entry == nullptr)
        return fail("no entry point TARVELO");

    tarvelo_exit_params params;
    tarvelo_channel_def channel;
    std::memset(&params, 0, sizeof params);
    std::memset(params.exit_data, ' ', sizeof params.exit_data);
    std::memcpy(params.exit_data, c.exit_data, std::strlen(c.exit_data));
    std::memset(&channel, ' ', sizeof channel);
    std::memcpy(channel.channel_name, "SECRET.CHANNEL", 14);
    std::memcpy(channel.password, c.field, sizeof channel.password);
    // From here on memcheck follows the password through the exit.
    (void)VALGRIND_MAKE_MEM_UNDEFINED(channel.password, sizeof channel.password);

    std::int32_t data_length = 0;
    std::int32_t exchange_length = 64;
    std::uint8_t exchange[64] = {};
    std::int32_t exit_length = 0;
    std::uint8_t *exit_buffer = nullptr;
    auto call = [&](std::int32_t reason) {
        params.exit_reason = reason;
        entry(&params, &channel, &data_length, &exchange_length, exchange, &exit_length,
              &exit_buffer);
    };

    call(ZTXR_INIT);
    if (params.exit_response != ZTXCC_OK || exit_buffer == nullptr)
        return fail("the channel did not start");

    std::memcpy(exchange, partner_challenge, 32);
    data_length = 32;
    call(ZTXR_SEC_MSG);
    if (params.exit_response != ZTXCC_SEND_SEC_MSG || params.user_area[0] != ZAVCONN_SIGNON)
        return fail("the partner's challenge was not answered");
    // Sent: public from now on.
    (void)VALGRIND_MAKE_MEM_DEFINED(exchange, 32);
    std::uint8_t expected[32];
    std::memcpy(expected, partner_challenge, 32);
    tarvelo::compute_response_from_field(reinterpret_cast<const std::uint8_t *>(c.field), expected);
    if (std::memcmp(exchange, expected, 32) != 0)
        return fail("the response is not the one for the password");

    exchange[0] = ZAVSTAT_AUTHORISED;
    data_length = 1;
    call(ZTXR_SEC_MSG);
    if (params.exit_response != ZTXCC_SEND_SEC_MSG || params.user_area[0] != ZAVCONN_VERIFY ||
        params.exit_response2 != ZTXR2_USE_EXIT_BUFFER || data_length != 32)
        return fail("the exit's challenge was not sent");
    // The challenge is sent; the expected response beside it stays secret.
    (void)VALGRIND_MAKE_MEM_DEFINED(exit_buffer, 32);
    if (!is_upper_hex(exit_buffer))
        return fail("the exit's challenge is not hex text");

    call(ZTXR_TERM);
    return params.exit_response == ZTXCC_OK ? 0 : fail("the channel did not end");
}

// The same marked bytes, used as no exit may use them: an address and a
// branch that depend on the password.
int run_control() {
    char password[TARVELO_PASSWORD_LENGTH];
    std::memcpy(password, host_cases[0].field, sizeof password);
    (void)VALGRIND_MAKE_MEM_UNDEFINED(password, sizeof password);
    static volatile std::uint8_t table[256];
    volatile unsigned sink = table[static_cast<std::uint8_t>(password[0])];
    if (password[1] == '3')
        sink = sink + 1;
    return 0;
}

// --- the judge -----------------------------------------------------------

// How many of memcheck's reports are a branch or an address computed from
// undefined bytes.
int steering_reports(const std::string &report) {
    int found = 0;
    for (const char *kind : {"Conditional jump or move depends on uninitialised value",
                             "Use of uninitialised value of size"}) {
        for (std::size_t at = report.find(kind); at != std::string::npos;
             at = report.find(kind, at + 1))
            ++found;
    }
    return found;
}

struct memcheck_run {
    int status = -1;    // the host's exit status, -1 if it did not exit
    int errors = -1;    // memcheck's error count, -1 if it gave none
    std::string report; // memcheck's whole report
};

memcheck_run run_under_memcheck(const char *host_case_name) {
    memcheck_run run;
    char log_name[] = "/tmp/tarvelo-memcheck-XXXXXX";
    const int log_fd = mkstemp(log_name);
    if (log_fd < 0)
        return run;
    close(log_fd);
    // This same program, as the kernel names it.
    char self[4096];
    const ssize_t self_length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (self_length <= 0)
        return run;
    self[self_length] = '\0';
    std::vector<std::string> args = {TARVELO_VALGRIND,
                                     "--tool=memcheck",
                                     "--error-limit=no",
                                     "--leak-check=no",
                                     std::string("--log-file=") + log_name,
                                     self,
                                     "--host",
                                     host_case_name};
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    // The exit's own lines go nowhere: only memcheck's report matters.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned == 0) {
        int wait_status = 0;
        if (waitpid(pid, &wait_status, 0) == pid && WIFEXITED(wait_status))
            run.status = WEXITSTATUS(wait_status);
    }
    std::ifstream file(log_name);
    std::stringstream text;
    text << file.rdbuf();
    run.report = text.str();
    std::remove(log_name);
    const std::size_t at = run.report.find("ERROR SUMMARY: ");
    if (at != std::string::npos) {
        char *end = nullptr;
        const long count = std::strtol(run.report.c_str() + at + 15, &end, 10);
        if (end != run.report.c_str() + at + 15 && count >= 0 && count < 1000000)
            run.errors = static_cast<int>(count);
    }
    return run;
}

TEST(SecretsUnderMemcheck, BlankPaddedPasswordSteersNoBranchAndNoAddress) {
    const memcheck_run run = run_under_memcheck("blank-padded");
    EXPECT_EQ(run.status, 0) << run.report;
    EXPECT_EQ(run.errors, 0) << run.report;
}

TEST(SecretsUnderMemcheck, TwelveBytePasswordSteersNoBranchAndNoAddress) {
    const memcheck_run run = run_under_memcheck("twelve-bytes");
    EXPECT_EQ(run.status, 0) << run.report;
    EXPECT_EQ(run.errors, 0) << run.report;
}

// With trace on, the exit writes its response to standard output and its
// log as it sends it: memcheck reports those writes of bytes the host has
// not yet marked public, and they are no branch. Nothing else may show.
TEST(SecretsUnderMemcheck, TracedSignOnSteersNoBranchAndNoAddress) {
    const memcheck_run run = run_under_memcheck("traced");
    EXPECT_EQ(run.status, 0) << run.report;
    EXPECT_GE(run.errors, 0) << run.report;
    EXPECT_EQ(steering_reports(run.report), 0) << run.report;
}

TEST(SecretsUnderMemcheck, ControlLookupAndBranchOnThePasswordAreReported) {
    const memcheck_run run = run_under_memcheck("control");
    EXPECT_EQ(run.status, 0) << run.report;
    EXPECT_GE(run.errors, 2) << run.report;
    EXPECT_NE(run.report.find("Conditional jump or move depends on uninitialised value"),
              std::string::npos)
        << run.report;
    EXPECT_NE(run.report.find("Use of uninitialised value of size"), std::string::npos)
        << run.report;
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 3 && std::strcmp(argv[1], "--host") == 0) {
        if (std::strcmp(argv[2], "control") == 0)
            return run_control();
        for (const host_case &c : host_cases)
            if (std::strcmp(argv[2], c.name) == 0)
                return run_host(c);
        return fail("no such case");
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
