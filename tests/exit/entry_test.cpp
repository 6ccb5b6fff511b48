// The entry point and its dispatch, as a host calls them: start and close a
// channel, the invitation, reasons the exit does not handle, and the exit
// data that configures the log file and trace.
#include "standin/signon.h"
#include "tests/support/expected_lines.h"
#include "tests/support/posix.h"
#include "tests/support/support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>

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
// whose sandbox refuses it, still has its generator behind /dev/urandom; a
// call cut short by a signal is made again.
TEST(AllocationFailure, NoRandomBytesNoChallengeAndNoSignOn) {
    auto *failing_malloc = static_cast<int *>(dlsym(RTLD_DEFAULT, "tarvelo_test_failing_malloc"));
    auto *failing_random = static_cast<int *>(dlsym(RTLD_DEFAULT, "tarvelo_test_failing_random"));
    if (failing_malloc == nullptr || failing_random == nullptr) {
        GTEST_SKIP() << "runs only with the failing allocator preloaded";
    }
    *failing_malloc = 0;
#if defined(_WIN32)
    const int errors[] = {EAGAIN};
#else
    const int errors[] = {EAGAIN, ENOSYS, EPERM, EINTR};
#endif
    for (const int error : errors) {
        SCOPED_TRACE(error);
        *failing_random = error;
        standin::partner_config partner;
        partner.seed = 1700000000;
        standin::signon_record record;
        auto out = captured(
            [&] { record = standin::run_signon(exit_entry(), channel_config{}, partner); });
        if (error != EAGAIN) {
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
    *failing_malloc = 1;
}

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
