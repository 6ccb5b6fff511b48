// The writer on its own: the timestamp against the C library's own ctime,
// every catalogue line's exact text, and the arguments' edge cases.
#include "log/catalogue.h"
#include "log/timestamp.h"
#include "log/trace_switch.h"
#include "log/writer.h"
#include "tests/support/posix.h"
#include "tests/support/support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <utility>

namespace tarvelo::testing {
namespace {

constexpr log_destination no_log_file{};

class Writer : public ::testing::Test {
protected:
    void SetUp() override { set_trace_on(true); }
    void TearDown() override {
        set_trace_on(false);
        unsetenv("TZ");
        tzset();
    }
    static std::string written(int index, const char *name, const char *text) {
        captured_output capture;
        write_message(no_log_file, index, name, text);
        return capture.take().out;
    }
    static std::string body(int index, const char *name, const char *text) {
        const std::string line = written(index, name, text);
        return line.size() > 25 ? line.substr(25) : line;
    }
};

TEST_F(Writer, TimestampMatchesTheCLibrarysCtimeInSeveralTimeZones) {
    // Days 1 to 9 (two blanks after the month), leap days, both ends of the
    // 32-bit clock and a sample across decades.
    std::vector<std::time_t> instants = {0,          86399,      951782400,  1709164800,
                                         1733702400, 2147483647, 1000000000, 1704067200};
    for (std::time_t t = 0; t < 2000000000; t += 7777777) {
        instants.push_back(t);
    }
    for (const char *zone :
         {"UTC0", "EST5EDT,M3.2.0,M11.1.0", "NPT-5:45", "CET-1CEST,M3.5.0,M10.5.0/3"}) {
        setenv("TZ", zone, 1);
        tzset();
        for (std::time_t t : instants) {
            char ours[timestamp_length];
            format_timestamp(t, ours);
            char theirs[64];
#if defined(_WIN32)
            // The Windows C runtime has no local time before 1970 (the first
            // instants west of Greenwich): there is nothing to compare with.
            if (ctime_r(&t, theirs) == nullptr && t < 86400) {
                continue;
            }
#endif
            ASSERT_NE(ctime_r(&t, theirs), nullptr);
            if (theirs[8] == '0') {
                theirs[8] = ' '; // the Windows C runtime's zero before days 1 to 9
            }
            EXPECT_EQ(std::string(ours, timestamp_length), std::string(theirs, timestamp_length))
                << zone << " " << t;
        }
    }
}

// An instant the C library cannot break down writes the epoch, weekday
// included, and a year before year 0 its number without the sign: the text
// keeps its 24 characters either way.
TEST_F(Writer, TimestampOutsideTheCLibrarysRangeKeepsItsLayout) {
    // A 32-bit clock reaches neither instant: nothing to check there.
    if constexpr (sizeof(std::time_t) >= 8) {
        setenv("TZ", "UTC0", 1);
        tzset();
        const std::pair<std::time_t, std::string> cases[] = {
            {std::numeric_limits<std::time_t>::max(), "Thu Jan  1 00:00:00 1970"},
#if defined(_WIN32)
            // No local time before 1970 there.
            {static_cast<std::time_t>(-62198755200LL), "Thu Jan  1 00:00:00 1970"},
#else
            {static_cast<std::time_t>(-62198755200LL), "Fri Jan  1 00:00:00 0001"}, // the year -1
#endif
        };
        for (const auto &[when, text] : cases) {
            char ours[timestamp_length];
            format_timestamp(when, ours);
            EXPECT_EQ(std::string(ours, timestamp_length), text) << when;
        }
    }
}

TEST_F(Writer, NumberedMessagesReadExactlyAsReleased) {
    const char *n = "TO.PARTNER          ";
    EXPECT_EQ(body(msg_exit_started, n, nullptr),
              "TARVELO001I - KOR Security Exit Started Channel => TO.PARTNER          \n");
    EXPECT_EQ(body(msg_revoked, n, nullptr), "TARVELO004E - Channel => TO.PARTNER           has "
                                             "been revoked by sucessive invalid passwords!\n");
    EXPECT_EQ(body(msg_sender_not_started, n, nullptr),
              "TARVELO005E - Channel => TO.PARTNER           cannot be started - Sender channel "
              "MUST be started first\n");
    EXPECT_EQ(body(msg_not_registered, n, nullptr),
              "TARVELO010E - KOR Security Exit - Channel - TO.PARTNER           - not registered "
              "on KOR service\n");
    EXPECT_EQ(body(msg_invalid_state, n, "04"),
              "TARVELO009E - KOR Security Exit - Invalid Internal State - Channel => TO.PARTNER    "
              "       - State Code => 04\n");
}

TEST_F(Writer, AllocationFailureLineLeavesABlankThatBeginsTheNextLine) {
    captured_output capture;
    write_message(no_log_file, msg_allocation_failure, nullptr, nullptr);
    write_message(no_log_file, msg_channel_closed, "X", nullptr);
    const std::string out = capture.take().out;
    const std::vector<std::string> lines = split_lines(out);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(24), " TARVELO002E - ZTXR_INIT - Memory allocation failure!");
    ASSERT_EQ(lines[1][0], ' ');
    EXPECT_TRUE(looks_like_timestamp(lines[1].substr(1, 24))) << lines[1];
    EXPECT_EQ(lines[1].substr(25), " TARVELO008I - KOR Security Exit Channel => X closed.");
}

TEST_F(Writer, TraceLinesAreWrittenOnlyWhileTraceIsOn) {
    EXPECT_EQ(body(trace_verify, "C", nullptr),
              "Trace ....>      - ZAVCONN_VERIFY   - Channel =>  C\n");
    set_trace_on(false);
    EXPECT_EQ(written(trace_verify, "C", nullptr), "");
    EXPECT_NE(written(msg_channel_closed, "C", nullptr), "") << "numbered messages always are";
}

TEST_F(Writer, EveryLineIsTheTimestampAndTheFormatFilledInOrder) {
    for (int index = 0; index < static_cast<int>(catalogue.size()); ++index) {
        const std::string line = written(index, "NAME", "TEXT");
        ASSERT_GT(line.size(), 25u) << index;
        EXPECT_TRUE(looks_like_timestamp(line.substr(0, 24))) << line;
        std::string expected(catalogue[static_cast<std::size_t>(index)]);
        expected.replace(0, 2, line.substr(0, 24));
        for (const char *value : {"NAME", "TEXT"}) {
            const std::size_t at = expected.find("%s");
            if (at != std::string::npos) {
                expected.replace(at, 2, value);
            }
        }
        EXPECT_EQ(line, expected) << index;
    }
}

TEST_F(Writer, IndicesOutsideTheCatalogueWriteNothing) {
    EXPECT_EQ(written(-1, "C", nullptr), "");
    EXPECT_EQ(written(static_cast<int>(catalogue.size()), "C", nullptr), "");
}

TEST_F(Writer, LongestArgumentsFitTheLineWhole) {
    const std::string name(99, 'N');
    const std::string text(99, 'T');
    const std::string line = written(msg_invalid_state, name.c_str(), text.c_str());
    EXPECT_NE(line.find(name + " - State Code => " + text + "\n"), std::string::npos);
    // A 20-byte name and a 33-byte argument with every byte escaped: each
    // line stays whole, with the format's own line ending.
    const std::string control_name(20, '\x1b');
    const std::string control_text(33, '\n');
    std::string shown_name;
    std::string shown_text;
    while (shown_name.size() < 4 * control_name.size()) {
        shown_name += "\\x1b";
    }
    while (shown_text.size() < 4 * control_text.size()) {
        shown_text += "\\x0a";
    }
    for (int index = 0; index < static_cast<int>(catalogue.size()); ++index) {
        const std::string_view format = catalogue[static_cast<std::size_t>(index)];
        const std::string escaped = written(index, control_name.c_str(), control_text.c_str());
        EXPECT_EQ(std::count(escaped.begin(), escaped.end(), '\n'),
                  std::count(format.begin(), format.end(), '\n'))
            << escaped;
        EXPECT_EQ(escaped.back(), format.back()) << escaped;
    }
    EXPECT_NE(written(msg_invalid_state, control_name.c_str(), control_text.c_str())
                  .find(shown_name + " - State Code => " + shown_text + "\n"),
              std::string::npos);
}

} // namespace
} // namespace tarvelo::testing
