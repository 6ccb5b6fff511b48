// The entry point and its dispatch, as a host calls them: start and close a
// channel, the invitation, reasons the exit does not handle, and the exit
// data that configures the log file and trace.
#include "standin/signon.h"
#include "tests/support/expected_lines.h"
#include "tests/support/posix.h"
#include "tests/support/support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <thread>

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

namespace tarvelo::testing {
namespace {

using standin::channel;
using standin::channel_config;

constexpr const char *padded_name = "TO.PARTNER          "; // the 20-byte field as it stands

// Runs `steps` in the scratch directory with output captured.
template <typename Steps> captured_output::streams captured(Steps steps) {
    captured_output capture;
    steps();
    return capture.take();
}

TEST(ChannelStart, WritesStartedMessageSetsStateOneAndAllocatesTheExitBuffer) {
    channel ch(exit_entry(), channel_config{});
    ch.params().exit_response = 77;
    auto out = captured([&] { ch.initialise(); });
    EXPECT_EQ(ch.response(), ZTXCC_OK);
    EXPECT_EQ(ch.state(), ZAVCONN_STARTUP);
    EXPECT_EQ(ch.exit_length(), 64);
    ASSERT_NE(ch.exit_buffer(), nullptr);
    std::memset(ch.exit_buffer(), 0xA5, 64); // all 64 bytes are ours to use
    EXPECT_EQ(bodies_of(out.out), std::vector<std::string>{line_of(msg_exit_started, padded_name)});
    EXPECT_EQ(out.err, "");
    captured([&] { ch.terminate(); });
}

// A host that gives the exit nowhere to keep its buffer: the channel starts
// and is closed at once, and what the host did give is left as it was.
TEST(ChannelStart, WithNowhereToKeepTheExitBufferClosesWithTarvelo002E) {
    for (const std::pair<bool, bool> &missing :
         {std::pair{true, false}, std::pair{false, true}, std::pair{true, true}}) {
        const bool without_buffer = missing.first;
        const bool without_length = missing.second;
        SCOPED_TRACE(std::string(without_buffer ? "no buffer address" : "") +
                     (without_length ? " no buffer length" : ""));
        channel ch(exit_entry(), channel_config{});
        ch.params().exit_reason = ZTXR_INIT;
        ch.exit_length() = 5;
        auto out = captured([&] {
            exit_entry()(&ch.params(), &ch.definition(), &ch.data_length(), &ch.exchange_length(),
                         ch.exchange(), without_length ? nullptr : &ch.exit_length(),
                         without_buffer ? nullptr : &ch.exit_buffer());
        });
        EXPECT_EQ(ch.response(), ZTXCC_CLOSE_CHANNEL);
        EXPECT_EQ(ch.state(), ZAVCONN_STARTUP);
        EXPECT_EQ(ch.exit_buffer(), nullptr);
        EXPECT_EQ(ch.exit_length(), 5);
        EXPECT_EQ(identifiers_in(out.out),
                  identifiers_of({msg_exit_started, msg_allocation_failure}));
    }
}

TEST(ChannelClose, WritesClosedMessageReleasesAndClearsTheExitBuffer) {
    channel ch(exit_entry(), channel_config{});
    captured([&] { ch.initialise(); });
    auto out = captured([&] { ch.terminate(); });
    EXPECT_EQ(ch.response(), ZTXCC_OK);
    EXPECT_EQ(ch.exit_buffer(), nullptr);
    EXPECT_EQ(bodies_of(out.out),
              std::vector<std::string>{line_of(msg_channel_closed, padded_name)});
    // A second termination finds nothing to release (a double release would
    // abort under the allocator's checks and the sanitizers).
    auto again = captured([&] { ch.terminate(); });
    EXPECT_EQ(ch.response(), ZTXCC_OK);
    EXPECT_EQ(bodies_of(again.out).size(), 1u);
}

TEST(ChannelClose, WithoutAnExitBufferOnlyWritesTheClosedMessage) {
    channel ch(exit_entry(), channel_config{});
    auto out = captured([&] { ch.terminate(); });
    EXPECT_EQ(ch.response(), ZTXCC_OK);
    EXPECT_EQ(bodies_of(out.out).size(), 1u);
}

TEST(Invitation, DoesNothingAndAnswersOkWhateverTheHostLeftInTheResponse) {
    channel ch(exit_entry(), channel_config{});
    captured([&] { ch.initialise(); });
    ch.params().exit_response = ZTXCC_CLOSE_CHANNEL;
    ch.params().exit_response2 = 9;
    const std::uint8_t state = ch.state();
    auto out = captured([&] { ch.invite(); });
    EXPECT_EQ(ch.response(), ZTXCC_OK);
    EXPECT_EQ(ch.response2(), 9);
    EXPECT_EQ(ch.state(), state);
    EXPECT_EQ(out.out, "");
    EXPECT_EQ(out.err, "");
    captured([&] { ch.terminate(); });
}

TEST(InvalidCall, ReasonsTheExitDoesNotHandleCloseWithTarvelo009E) {
    const std::pair<std::int32_t, const char *> reasons[] = {{13, " 13 "},
                                                             {14, " 14 "},
                                                             {0, " 0 "},
                                                             {-1, " -1 "},
                                                             {17, " 17 "},
                                                             {INT_MIN, " -2147483648 "},
                                                             {INT_MAX, " 2147483647 "}};
    for (const auto &[reason, shown] : reasons) {
        channel ch(exit_entry(), channel_config{});
        const std::int32_t called_with = reason;
        auto out = captured([&] { ch.call(called_with); });
        EXPECT_EQ(ch.response(), ZTXCC_CLOSE_CHANNEL) << reason;
        EXPECT_EQ(bodies_of(out.out),
                  std::vector<std::string>{line_of(msg_invalid_exit_call, padded_name, shown)})
            << reason;
        EXPECT_EQ(ch.state(), 0) << "nothing else changes";
    }
}

// A host that passes no parameter block leaves the exit nowhere to answer:
// it returns at once, writing nothing and leaving the channel's buffers, its
// exit buffer and the lengths as they were.
TEST(InvalidCall, WithoutAParameterBlockReturnsTouchingNothing) {
    channel ch(exit_entry(), channel_config{});
    captured([&] { ch.initialise(); });
    std::uint8_t *const buffer = ch.exit_buffer();
    ASSERT_NE(buffer, nullptr);
    ch.data_length() = 1;
    ch.exchange()[0] = ZAVSTAT_AUTHORISED;
    const std::vector<std::uint8_t> exchange(ch.exchange(), ch.exchange() + 64);
    const std::vector<std::uint8_t> own(buffer, buffer + 64);
    const std::int32_t exchange_length = ch.exchange_length();
    const std::int32_t exit_length = ch.exit_length();
    auto out = captured([&] {
        exit_entry()(nullptr, &ch.definition(), &ch.data_length(), &ch.exchange_length(),
                     ch.exchange(), &ch.exit_length(), &ch.exit_buffer());
    });
    EXPECT_EQ(out.out, "");
    EXPECT_EQ(out.err, "");
    EXPECT_EQ(ch.exit_buffer(), buffer);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 64), own);
    EXPECT_EQ(std::vector<std::uint8_t>(ch.exchange(), ch.exchange() + 64), exchange);
    EXPECT_EQ(ch.data_length(), 1);
    EXPECT_EQ(ch.exchange_length(), exchange_length);
    EXPECT_EQ(ch.exit_length(), exit_length);
    captured([&] { ch.terminate(); });
}

TEST(InvalidCall, ZtCodeThirteenEndsWithTwoBlanksTheNumberAndABlank) {
    channel ch(exit_entry(), channel_config{});
    auto out = captured([&] { ch.call(13); });
    EXPECT_EQ(without_timestamp(out.out),
              line_of(msg_invalid_exit_call, padded_name, " 13 ") + "\n");
}

TEST(ChannelName, KeepsTheBlanksOfItsFieldAndStopsAtAZeroByte) {
    channel_config config;
    config.name = "A";
    channel ch(exit_entry(), config);
    auto out = captured([&] { ch.call(13); });
    EXPECT_NE(out.out.find("Channel => A" + std::string(19, ' ') + " - ZT Code"), std::string::npos)
        << out.out;

    config.name = std::string("AB\0CD", 5);
    channel zero(exit_entry(), config);
    out = captured([&] { zero.call(13); });
    EXPECT_NE(out.out.find("Channel => AB - ZT Code"), std::string::npos) << out.out;
}

// In a scratch directory, so that relative log paths land there.
class ExitData : public InScratchDirectory {
protected:
    // A security message in an unknown state: trace line 11, then message 9.
    // Shows whether trace is on and where lines go: what reached standard
    // output.
    std::string probe(const std::string &exit_data) {
        channel_config config;
        config.exit_data = exit_data;
        channel ch(exit_entry(), config);
        ch.params().user_area[0] = 0;
        return captured([&] { ch.deliver(std::vector<std::uint8_t>{6}); }).out;
    }
};

TEST_F(ExitData, TraceonAloneIsTheLogPathAndLeavesTraceAsItWas) {
    turn_trace_off();
    auto out = probe("TRACEON");
    EXPECT_FALSE(traced(out));
    EXPECT_TRUE(file_exists("TRACEON"));
}

TEST_F(ExitData, OnlyAnUpperCaseKeywordOfSevenOrMoreLettersCounts) {
    turn_trace_off();
    EXPECT_FALSE(traced(probe("a.log traceon")));
    EXPECT_FALSE(traced(probe("a.log TRACE")));
    EXPECT_FALSE(traced(probe("a.log x TRACEON")));
    EXPECT_TRUE(traced(probe("a.log TRACEONPLEASE")));
}

TEST_F(ExitData, TraceStaysOnForEveryChannelUntilAnyInitialisation) {
    turn_trace_off();
    probe("a.log TRACEON");
    EXPECT_TRUE(traced(probe(""))) << "another channel, no keyword";
    turn_trace_off();
    EXPECT_FALSE(traced(probe("")));
}

TEST_F(ExitData, InitialisationWithTraceonEndsWithTraceOff) {
    channel_config config;
    config.exit_data = "a.log TRACEON";
    channel ch(exit_entry(), config);
    captured([&] { ch.initialise(); });
    EXPECT_FALSE(traced(probe("")));
    // The channel's next call reads its exit data again.
    auto out = captured([&] { ch.deliver(std::vector<std::uint8_t>{8}); });
    EXPECT_TRUE(traced(out.out));
    captured([&] { ch.terminate(); });
}

TEST_F(ExitData, EmptyOrBlankMeansNoLogFile) {
    probe("");
    probe("                                ");
    EXPECT_TRUE(dir_.entries().empty());
}

TEST_F(ExitData, IsReadOnlyUpToAZeroByteAndNeverBeyondItsField) {
    channel_config config;
    channel ch(exit_entry(), config);
    std::memcpy(ch.params().exit_data, "cut.log\0more.log TRACEON       ", 32);
    captured([&] { ch.call(13); });
    EXPECT_EQ(dir_.entries(), std::vector<std::string>{"cut.log"});

    // 32 characters with no blank: the whole field is the path.
    const std::string full(32, 'p');
    std::memcpy(ch.params().exit_data, full.data(), 32);
    captured([&] { ch.call(13); });
    EXPECT_TRUE(file_exists(full));
}

// Run with the failing allocator preloaded (a test of its own in CTest):
// the channel cannot have its exit buffer.
TEST(AllocationFailure, ClosesTheChannelAndTerminationReleasesNothing) {
    if (dlsym(RTLD_DEFAULT, "tarvelo_test_failing_malloc") == nullptr) {
        GTEST_SKIP() << "runs only with the failing allocator preloaded";
    }
    channel ch(exit_entry(), channel_config{});
    ch.exit_buffer() = reinterpret_cast<std::uint8_t *>(&ch); // whatever the host left there
    auto out = captured([&] { ch.initialise(); });
    EXPECT_EQ(ch.response(), ZTXCC_CLOSE_CHANNEL);
    EXPECT_EQ(ch.exit_buffer(), nullptr);
    EXPECT_EQ(ch.exit_length(), 64);
    EXPECT_EQ(ch.state(), ZAVCONN_STARTUP);
    // The failure line ends with a blank that begins the next line.
    const std::vector<std::string> lines = split_lines(out.out);
    ASSERT_EQ(lines.size(), 3u) << out.out;
    EXPECT_EQ(without_timestamp(lines[1]), line_of(msg_allocation_failure, ""));
    EXPECT_EQ(lines[2], " ");

    out = captured([&] { ch.terminate(); });
    EXPECT_EQ(ch.response(), ZTXCC_OK);
    ASSERT_EQ(split_lines(out.out).size(), 1u) << out.out;
    EXPECT_EQ(identifiers_in(out.out), identifiers_of({msg_channel_closed}));
}

// Also with the preloaded failures: a random source that gives nothing
// leaves the exit without a challenge that an impersonator could not
// predict, so it sends none. A Linux system without the getrandom call, or
// whose sandbox refuses it, still has its generator behind /dev/urandom,
// used only when it is the kernel's generator and gives every byte asked; a
// call cut short by a signal is made again. A host running with its
// standard input closed gets no descriptor of ours left on it.
TEST(AllocationFailure, NoRandomBytesNoChallengeAndNoSignOn) {
    auto *failing_malloc = static_cast<int *>(dlsym(RTLD_DEFAULT, "tarvelo_test_failing_malloc"));
    auto *failing_random = static_cast<int *>(dlsym(RTLD_DEFAULT, "tarvelo_test_failing_random"));
#if defined(_WIN32)
    // Windows has no /dev/urandom to fall back on: its rows are left out.
    int no_urandom = 0;
    int *failing_urandom = &no_urandom;
#else
    auto *failing_urandom = static_cast<int *>(dlsym(RTLD_DEFAULT, "tarvelo_test_failing_urandom"));
#endif
    if (failing_malloc == nullptr || failing_random == nullptr || failing_urandom == nullptr) {
        GTEST_SKIP() << "runs only with the failing allocator preloaded";
    }
    *failing_malloc = 0;
    struct random_case {
        const char *what;
        int getrandom_error;
        int urandom; // failing_malloc.c's urandom_... values, in their order
        bool stdin_closed;
        bool signs_on;
    };
    const random_case cases[] = {
        {"generator not yet seeded", EAGAIN, 0, false, false},
#if !defined(_WIN32)
        {"getrandom giving no bytes and no error", -1, 0, false, false},
#endif
#if !defined(_WIN32)
        {"getrandom cut short by a signal", EINTR, 0, false, true},
        {"no getrandom: /dev/urandom", ENOSYS, 0, false, true},
        {"getrandom refused: /dev/urandom", EPERM, 0, false, true},
        {"/dev/urandom onto a closed standard input, moved", ENOSYS, 0, true, true},
        {"opening /dev/urandom cut short by a signal", ENOSYS, 1, false, true},
        {"no /dev/urandom", ENOSYS, 2, false, false},
        {"no descriptor above the standard streams", ENOSYS, 3, true, false},
        {"the status of /dev/urandom cannot be had", ENOSYS, 4, false, false},
        {"another character device at /dev/urandom", ENOSYS, 5, false, false},
        {"reading /dev/urandom cut short by a signal", ENOSYS, 6, false, true},
        {"reading /dev/urandom fails", ENOSYS, 7, false, false},
        {"/dev/urandom ends early", ENOSYS, 8, false, false},
#endif
    };
    for (const random_case &c : cases) {
        SCOPED_TRACE(c.what);
        *failing_random = c.getrandom_error;
        *failing_urandom = c.urandom;
        standin::partner_config partner;
        partner.seed = 1700000000;
        standin::signon_record record;
        bool stdin_left_closed = true;
        auto out = captured([&] {
#if defined(_WIN32)
            record = standin::run_signon(exit_entry(), channel_config{}, partner);
#else
            const int saved_stdin = c.stdin_closed ? dup(STDIN_FILENO) : -1;
            if (c.stdin_closed) {
                close(STDIN_FILENO);
            }
            record = standin::run_signon(exit_entry(), channel_config{}, partner);
            if (c.stdin_closed) {
                stdin_left_closed = fcntl(STDIN_FILENO, F_GETFD) < 0;
                dup2(saved_stdin, STDIN_FILENO);
                close(saved_stdin);
            }
#endif
        });
        EXPECT_TRUE(stdin_left_closed) << "a descriptor of the exit's left on standard input";
        if (c.signs_on) {
            EXPECT_TRUE(record.signed_on) << out.out;
            continue;
        }
        EXPECT_FALSE(record.signed_on);
        EXPECT_TRUE(record.closed);
        ASSERT_EQ(record.messages.size(), 3u) << "challenge, response, status; nothing after";
        EXPECT_NE(out.out.find(line_of(msg_invalid_state, padded_name, "03") + "\n"),
                  std::string::npos)
            << out.out;
    }
    *failing_random = 0;
    *failing_urandom = 0;
    *failing_malloc = 1;
}

#if !defined(_WIN32)
// Also with the preloaded failures: a log file's disk or another writer
// fails a line's write in each way they can. The line ends whole in the log
// or not at all (a part is taken out while it is still the file's end, and
// stays only where the file system will not cut it or another's line is
// behind it), and each line not known to be whole is said on standard
// error, the host's standard output keeping every line.
TEST(AllocationFailure, LogFaultsLeaveEachLineWholeOrSaidAsLost) {
    auto *failing_malloc = static_cast<int *>(dlsym(RTLD_DEFAULT, "tarvelo_test_failing_malloc"));
    auto *failing_log = static_cast<int *>(dlsym(RTLD_DEFAULT, "tarvelo_test_failing_log"));
    if (failing_malloc == nullptr || failing_log == nullptr) {
        GTEST_SKIP() << "runs only with the failing allocator preloaded";
    }
    // refused: the log not opened at all (and not created), said as a log
    // file that cannot be opened.
    enum class kept { whole, nothing, parts, parts_behind_anothers, as_before, refused };
    struct log_case {
        const char *what;
        int log; // failing_malloc.c's log_... values, in their order
        kept in_log;
        int said;                  // the errno said on standard error for each line, or 0
        bool at_limit = false;     // the log already as long as the file-size limit
        bool stdin_closed = false; // the host's standard input closed
    };
    const log_case cases[] = {
        {"cut short, then room", 1, kept::whole, 0},
        {"interrupted, then room", 2, kept::whole, 0},
        {"cut short, then room, the host's standard input closed", 1, kept::whole, 0, false, true},
        {"cut short, the path then leads to another file", 3, kept::whole, EIO},
        {"cut short, the path then leads to another device", 4, kept::whole, EIO},
        {"cut short, the path then cannot be opened to read", 5, kept::whole, EIO},
        {"cut short, the log's status then cannot be had", 6, kept::whole, EIO},
        {"cut short, the reader's status then cannot be had", 7, kept::whole, EIO},
        {"cut short, the read-back then short", 8, kept::whole, EIO},
        {"cut short, the file then seen shorter than the line", 9, kept::whole, EIO},
        {"no room at all", 10, kept::nothing, ENOSPC},
        {"cut short, then failing: the part taken out", 11, kept::nothing, EIO},
        {"cut short, then failing: the part cannot be taken out", 12, kept::parts, EIO},
        {"cut short, then failing: another's line behind the part", 13, kept::parts_behind_anothers,
         EIO},
        {"the file-size limit cannot be had", 14, kept::whole, 0},
        {"the file-size limit reached: its signal never reaches the host", 0, kept::as_before,
         EFBIG, true},
        // What a link on the path leads to cannot be told: nothing is opened.
        {"no status of any file to be had", 15, kept::refused, EIO},
        {"cut short, then failing: the path then leads to a copy that ends as the log", 16,
         kept::parts, EIO},
    };
    *failing_malloc = 0;
    scratch_directory dir;
    for (const log_case &c : cases) {
        SCOPED_TRACE(c.what);
        // A log of its own: what was found of the last path this second is
        // not taken for this one.
        const std::string log =
            dir.file("f" + std::to_string(c.log) + (c.stdin_closed ? "c" : "") + ".log");
        ASSERT_LE(log.size(), 32u) << "the exit data holds the log path";
        channel_config config;
        config.exit_data = log;
        if (c.log == 14) {
            // What the limit is is learned once a second.
            for (const std::time_t start = std::time(nullptr); std::time(nullptr) == start;) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        constexpr rlim_t limit = 4096;
        const std::string before = c.at_limit ? std::string(limit, 'x') : "";
        if (c.at_limit) {
            write_file(log, before);
        }
        rlimit hosts_limit{};
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &hosts_limit), 0);
        *failing_log = c.log;
        auto out = captured([&] {
            if (c.at_limit) {
                const rlimit at{limit, hosts_limit.rlim_max};
                setrlimit(RLIMIT_FSIZE, &at);
            }
            const int saved_stdin = c.stdin_closed ? dup(STDIN_FILENO) : -1;
            if (c.stdin_closed) {
                close(STDIN_FILENO);
            }
            channel ch(exit_entry(), config);
            ch.initialise();
            ch.terminate();
            setrlimit(RLIMIT_FSIZE, &hosts_limit);
            if (saved_stdin >= 0) {
                dup2(saved_stdin, STDIN_FILENO);
                close(saved_stdin);
            }
        });
        *failing_log = 0;
        const std::string in_log = read_file(log);
        const std::vector<std::string> lines = split_lines(out.out);
        ASSERT_EQ(lines.size(), 2u) << out.out;
        const std::string said =
            c.said == 0
                ? ""
                : std::string(c.in_log == kept::refused ? "Error accessing" : "Error writing") +
                      " log file - errno " + std::to_string(c.said) + "\n";
        EXPECT_EQ(out.err, said + said);
        switch (c.in_log) {
        case kept::whole:
            EXPECT_EQ(in_log, out.out);
            break;
        case kept::nothing:
            EXPECT_EQ(in_log, "");
            break;
        case kept::refused:
            EXPECT_FALSE(file_exists(log));
            break;
        case kept::parts:
            EXPECT_EQ(in_log, lines[0].substr(0, (lines[0].size() + 1) / 2) +
                                  lines[1].substr(0, (lines[1].size() + 1) / 2));
            break;
        case kept::as_before:
            EXPECT_EQ(in_log, before);
            break;
        case kept::parts_behind_anothers:
            EXPECT_EQ(in_log, lines[0].substr(0, (lines[0].size() + 1) / 2) + "another's\n" +
                                  lines[1].substr(0, (lines[1].size() + 1) / 2) + "another's\n");
            break;
        }
    }
    *failing_malloc = 1;
}
#endif

// Also with the preloaded allocator, which looks at the exit's buffer as it
// is released: after a sign-on the buffer holds the expected response, which
// is derived from the password, and termination must wipe it before handing
// the block back, or the secret lives on in freed memory.
TEST(AllocationFailure, TerminationWipesTheExitBufferBeforeReleasingIt) {
    auto *failing_malloc = static_cast<int *>(dlsym(RTLD_DEFAULT, "tarvelo_test_failing_malloc"));
    auto *released = static_cast<int *>(dlsym(RTLD_DEFAULT, "tarvelo_test_released_blocks"));
    auto *unwiped = static_cast<int *>(dlsym(RTLD_DEFAULT, "tarvelo_test_released_unwiped"));
    if (failing_malloc == nullptr || released == nullptr || unwiped == nullptr) {
        GTEST_SKIP() << "runs only with the failing allocator preloaded";
    }
    *failing_malloc = 0;
    const int released_before = *released;
    const int unwiped_before = *unwiped;
    standin::partner_config partner;
    partner.seed = 1700000000;
    standin::signon_record record;
    auto out =
        captured([&] { record = standin::run_signon(exit_entry(), channel_config{}, partner); });
    EXPECT_TRUE(record.signed_on) << out.out;
    EXPECT_EQ(*released - released_before, 1) << "the exit's one buffer, released once";
    EXPECT_EQ(*unwiped - unwiped_before, 0) << "released with the expected response still in it";
    *failing_malloc = 1;
}

} // namespace
} // namespace tarvelo::testing
