// Exit data is read on every call, runs of blanks eight at a time: every
// placement of the log path and the trace keyword in the 32-byte field, so
// that no run of blanks, whatever its length and start, is misread.
#include "tests/support/support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace tarvelo::testing {
namespace {

using standin::channel;
using standin::channel_config;

// In a scratch directory, so that relative log paths land there.
class ExitDataBlanks : public InScratchDirectory {
protected:
    // One call with `field` as the exact 32 bytes of exit data, in a state
    // that writes the first trace line and a numbered message. Returns what
    // reached standard output.
    static std::string call_with(const std::string &field) {
        channel ch(exit_entry(), channel_config{});
        std::memcpy(ch.params().exit_data, field.data(), 32);
        ch.params().user_area[0] = 0;
        captured_output capture;
        ch.deliver(std::vector<std::uint8_t>{6});
        return capture.take().out;
    }
};

TEST_F(ExitDataBlanks, PathAndKeywordAreFoundAfterAnyRunsOfBlanks) {
    const std::string path = "p.log";
    const std::string keyword = "TRACEON";
    for (std::size_t lead = 0; lead + path.size() + 1 + keyword.size() <= 32; ++lead) {
        for (std::size_t gap = 1; lead + path.size() + gap + keyword.size() <= 32; ++gap) {
            std::string field = std::string(lead, ' ') + path + std::string(gap, ' ') + keyword;
            field.resize(32, ' ');
            SCOPED_TRACE("exit data \"" + field + "\"");
            turn_trace_off();
            const std::string out = call_with(field);
            EXPECT_TRUE(traced(out));
            EXPECT_EQ(read_file(path), out);
            EXPECT_EQ(dir_.entries(), std::vector<std::string>{path});
            std::remove(path.c_str());
        }
    }
}

TEST_F(ExitDataBlanks, AZeroByteAfterBlanksEndsTheField) {
    for (std::size_t lead = 0; lead < 31; ++lead) {
        std::string field = std::string(lead, ' ') + '\0' + "x.log TRACEON";
        field.resize(32, ' ');
        SCOPED_TRACE("blanks before the zero byte: " + std::to_string(lead));
        turn_trace_off();
        EXPECT_FALSE(traced(call_with(field)));
        EXPECT_TRUE(dir_.entries().empty());
    }
}

TEST_F(ExitDataBlanks, APathEndingTheFieldIsWhole) {
    for (std::size_t lead = 0; lead < 32; ++lead) {
        const std::string path(32 - lead, 'q');
        const std::string field = std::string(lead, ' ') + path;
        SCOPED_TRACE("blanks before the path: " + std::to_string(lead));
        call_with(field);
        EXPECT_EQ(dir_.entries(), std::vector<std::string>{path});
        std::remove(path.c_str());
    }
}

} // namespace
} // namespace tarvelo::testing
