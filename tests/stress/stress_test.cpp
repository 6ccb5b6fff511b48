// Many channels of one host on many threads at once, with every way a
// sign-on can end and several log files named in turn: every line whole on
// standard output and in the log files, every numbered message counted
// exactly, and no file but the named ones created.
#include "tests/support/endings.h"
#include "tests/support/expected_lines.h"
#include "tests/support/support.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <map>
#include <set>
#include <thread>

namespace tarvelo::testing {
namespace {

constexpr int threads = 8;
constexpr int channels_per_thread = 60;

std::string channel_name(int thread, int n) {
    char name[16];
    std::snprintf(name, sizeof name, "ST.%02d.%03d", thread, n);
    return name;
}

// What the endings put in their messages' arguments: the reason 99 of the
// invalid call, the unknown state 9, and in the trace the 32 bytes shown.
std::string argument_of(message_index index) {
    return index == msg_invalid_exit_call ? " 99 "
           : index == msg_invalid_state   ? "09"
                                          : "[0-9A-F]{32} ";
}

// The lines by the catalogue entry each was written from; -1 counts the
// torn, mixed or unknown ones.
std::map<int, int> count_lines(const std::string &where, const std::string &text) {
    static const line_classifier known("ST\\.[0-9]{2}\\.[0-9]{3} {11}", argument_of);
    std::map<int, int> counts;
    EXPECT_TRUE(text.empty() || text.back() == '\n') << where << " ends within a line";
    for (const std::string &line : bodies_of(text)) {
        const int entry = known.entry_of(line);
        EXPECT_GE(entry, 0) << where << ": torn, mixed or unknown line: " << line;
        ++counts[entry];
    }
    return counts;
}

TEST(Stress, ManyThreadsManyChannelsEveryEndingInterleavedLogPaths) {
    scratch_directory dir;
    // Four files with paths of different lengths, so that a torn copy of the
    // shared log path would name a fifth; trace asked for on some channels.
    const std::array<std::string, 4> names = {"a", "bb.log", "c.trace", "dddd"};
    std::array<std::string, 4> paths;
    for (std::size_t i = 0; i < names.size(); ++i) {
        paths[i] = dir.file(names[i]);
        ASSERT_LE(paths[i].size() + sizeof " TRACEON" - 1, std::size_t{TARVELO_EXIT_DATA_LENGTH});
    }
    tarvelo_entry_fn *entry = exit_entry();
    ASSERT_NE(entry, nullptr);

    constexpr int endings = static_cast<int>(ending::count);
    std::array<std::atomic<int>, endings> ran{};
    {
        captured_output capture;
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([&, t] {
                for (int n = 0; n < channels_per_thread; ++n) {
                    const int e = (t * 7 + n) % endings;
                    standin::channel_config config;
                    config.name = channel_name(t, n);
                    config.exit_data = paths[static_cast<std::size_t>(t + 3 * n) % paths.size()] +
                                       (n % 5 == 0 ? " TRACEON" : "");
                    run_channel(entry, config, static_cast<ending>(e),
                                static_cast<std::uint32_t>(t * 1000 + n));
                    ++ran[static_cast<std::size_t>(e)];
                }
            });
        }
        for (std::thread &w : workers) {
            w.join();
        }
        const captured_output::streams out = capture.take();
        EXPECT_EQ(out.err, "") << "a named log file could not be opened";

        std::map<int, int> expected;
        const int channels = threads * channels_per_thread;
        expected[msg_exit_started] = channels;
        expected[msg_channel_closed] = channels;
        for (int e = 0; e < endings; ++e) {
            const int index = message_index_of(static_cast<ending>(e));
            if (index >= 0) {
                expected[index] += ran[static_cast<std::size_t>(e)];
            }
        }

        // Trace was asked for on some channels: its lines are counted as
        // they came, each in one place as all the others.
        const std::map<int, int> on_stdout = count_lines("standard output", out.out);
        for (const auto &[index, n] : on_stdout) {
            if (index >= 0 &&
                messages[static_cast<std::size_t>(index)].kind == message_kind::trace) {
                expected[index] = n;
            }
        }
        EXPECT_EQ(on_stdout, expected);

        // Every line also went to exactly one of the named files: whichever
        // the shared log path named when it was written.
        std::map<int, int> in_files;
        for (const std::string &path : paths) {
            for (const auto &[index, n] : count_lines(path, read_file(path))) {
                in_files[index] += n;
            }
        }
        EXPECT_EQ(in_files, expected);
    }

    // No file appeared but the named ones.
    const std::vector<std::string> entries = dir.entries();
    const std::set<std::string> present(entries.begin(), entries.end());
    EXPECT_EQ(present, std::set<std::string>(names.begin(), names.end()));
}

} // namespace
} // namespace tarvelo::testing
