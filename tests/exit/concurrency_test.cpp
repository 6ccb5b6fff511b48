// Channels of one host running on several threads at once: every line
// whole, none lost, in the shared log file and on standard output, and each
// channel's lines only in the log file its own exit data names.
#include "standin/signon.h"
#include "tests/support/expected_lines.h"
#include "tests/support/support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <thread>

namespace tarvelo::testing {
namespace {

constexpr int threads = 8;
constexpr int channels_per_thread = 40;

// The lines of a channel that signs on, by the catalogue entry each was
// written from: its start, its end, and the trace with the 32 bytes shown.
std::map<int, int> count_lines(const std::string &text) {
    static const line_classifier known("CH\\.[0-9]{3}\\.[0-9]{3} {10}",
                                       [](message_index) { return "[0-9A-F]{32} "; });
    std::map<int, int> counts;
    for (const std::string &line : bodies_of(text)) {
        const int entry = known.entry_of(line);
        EXPECT_TRUE(entry >= 0 &&
                    messages[static_cast<std::size_t>(entry)].kind != message_kind::refusal)
            << "torn or mixed line: " << line;
        counts[entry]++;
    }
    return counts;
}

std::string channel_name(int thread, int n) {
    char name[16];
    std::snprintf(name, sizeof name, "CH.%03d.%03d", thread, n);
    return name;
}

TEST(Concurrency, ManyThreadsSignOnIntoOneLogFileWithEveryLineWholeAndNoneLost) {
    scratch_directory dir;
    // Two paths of different lengths, so that a torn copy would name a third.
    const std::string paths[] = {dir.file("a.log"), dir.file("longer-name.log")};
    tarvelo_entry_fn *entry = exit_entry();
    int signed_on[threads] = {};

    captured_output capture;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int n = 0; n < channels_per_thread; ++n) {
                standin::channel_config config;
                config.name = channel_name(t, n);
                config.exit_data = paths[(t + n) % 2] + (n % 3 == 0 ? " TRACEON" : "");
                standin::partner_config partner;
                partner.seed = static_cast<std::uint32_t>(t * 1000 + n);
                if (standin::run_signon(entry, config, partner).signed_on) {
                    ++signed_on[t];
                }
            }
        });
    }
    for (std::thread &w : workers) {
        w.join();
    }
    auto out = capture.take();

    const int channels = threads * channels_per_thread;
    EXPECT_EQ(std::count(std::begin(signed_on), std::end(signed_on), channels_per_thread), threads);
    EXPECT_EQ(out.err, "");
    auto on_stdout = count_lines(out.out);
    EXPECT_EQ(on_stdout[msg_exit_started], channels);
    EXPECT_EQ(on_stdout[msg_channel_closed], channels);

    // Each line went to exactly one of the two files; together they hold
    // exactly the lines of standard output.
    auto in_files = count_lines(read_file(paths[0]) + read_file(paths[1]));
    EXPECT_EQ(in_files, on_stdout);
    std::vector<std::string> files = dir.entries();
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"a.log", "longer-name.log"}));
}

// Each thread runs one channel with a log file of its own, two with trace
// and two without, signing on again and again while the others do the
// same: a log holds its own channel's lines, all of them, and no other's.
// Another channel's trace line in it would hand its challenge and response
// pair to whoever may read this log.
TEST(Concurrency, FourThreadsEachWithItsOwnLogFileFindOnlyTheirOwnLinesInIt) {
    constexpr int four = 4;
    constexpr int signons = 60;
    scratch_directory dir;
    tarvelo_entry_fn *entry = exit_entry();
    captured_output capture;
    std::vector<std::thread> workers;
    for (int t = 0; t < four; ++t) {
        workers.emplace_back([&, t] {
            standin::channel_config config;
            config.name = channel_name(t, 0);
            config.exit_data =
                dir.file(std::to_string(t) + ".log") + (t % 2 == 0 ? " TRACEON" : "");
            standin::partner_config partner;
            partner.seed = static_cast<std::uint32_t>(t);
            for (int n = 0; n < signons; ++n) {
                standin::run_signon(entry, config, partner);
            }
        });
    }
    for (std::thread &w : workers) {
        w.join();
    }
    capture.take();

    for (int t = 0; t < four; ++t) {
        SCOPED_TRACE("channel " + channel_name(t, 0));
        const std::string own = read_file(dir.file(std::to_string(t) + ".log"));
        for (const std::string &line : split_lines(own)) {
            EXPECT_NE(line.find(" " + channel_name(t, 0) + " "), std::string::npos) << line;
        }
        std::map<int, int> counts = count_lines(own);
        EXPECT_EQ(counts[msg_exit_started], signons);
        EXPECT_EQ(counts[msg_channel_closed], signons);
    }
}

} // namespace
} // namespace tarvelo::testing
