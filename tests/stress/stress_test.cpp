// Many channels of one host on many threads at once, with every way a
// sign-on can end and several log files named in turn: every line whole on
// standard output and in the log files, every numbered message counted
// exactly, and no file but the named ones created.
#include "tests/support/endings.h"
#include "tests/support/support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <map>
#include <regex>
#include <set>
#include <string_view>
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

// The key a line is counted under: the message code (the two 009E texts
// apart), or "trace". Empty when the line is not one the exit writes for
// these channels: a torn, mixed or unknown line.
std::string classify(const std::string &body) {
    if (body.size() < 11) {
        return "";
    }
    static const std::string name = "ST\\.[0-9]{2}\\.[0-9]{3} {11}";
    static const std::array<std::pair<const char *, std::regex>, 12> known = {{
        {"001I", std::regex("TARVELO001I - KOR Security Exit Started Channel => " + name)},
        {"003W", std::regex("TARVELO003W - KOR Password Violation channel => " + name)},
        {"004E", std::regex("TARVELO004E - Channel => " + name +
                            " has been revoked by sucessive invalid passwords!")},
        {"005E", std::regex("TARVELO005E - Channel => " + name +
                            " cannot be started - Sender channel MUST be started first")},
        {"006S", std::regex("TARVELO006S - Unknown signon status received from KOR Platform : "
                            "channel => " +
                            name)},
        {"007E", std::regex("TARVELO007E - Possible Partner impersonation! on channel => " + name)},
        {"008I", std::regex("TARVELO008I - KOR Security Exit Channel => " + name + " closed\\.")},
        {"009E call", std::regex("TARVELO009E - KOR Security Exit - Invalid exit call - "
                                 "Channel => " +
                                 name + " - ZT Code =>  99 ")},
        {"009E state", std::regex("TARVELO009E - KOR Security Exit - Invalid Internal State - "
                                  "Channel => " +
                                  name + " - State Code => 09")},
        {"010E", std::regex("TARVELO010E - KOR Security Exit - Channel - " + name +
                            " - not registered on KOR service")},
        {"trace", std::regex("Trace \\.\\.\\.\\.> +- [A-Za-z0-9_ =-]+ Channel =>  ?" + name)},
        {"trace", std::regex("Trace \\.\\.\\.\\.> +- MD5 [A-Za-z ]+ Channel => " + name +
                             " ---> [0-9A-F]{32} ")},
    }};
    // Only the patterns of the line's own code are tried: std::regex is slow,
    // and this runs under valgrind too.
    const bool trace = body.compare(0, 11, "Trace ....>") == 0;
    for (const auto &[key, pattern] : known) {
        const std::string_view k = key;
        const bool candidate =
            trace ? k == "trace" : k != "trace" && body.compare(7, 4, k.substr(0, 4)) == 0;
        if (candidate && std::regex_match(body, pattern)) {
            return key;
        }
    }
    return "";
}

std::map<std::string, int> count_lines(const std::string &where, const std::string &text) {
    std::map<std::string, int> counts;
    EXPECT_TRUE(text.empty() || text.back() == '\n') << where << " ends within a line";
    for (const std::string &line : split_lines(text)) {
        const std::string key = classify(without_timestamp(line));
        EXPECT_NE(key, "") << where << ": torn, mixed or unknown line: " << line;
        ++counts[key];
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

        std::map<std::string, int> expected;
        const int channels = threads * channels_per_thread;
        expected["001I"] = channels;
        expected["008I"] = channels;
        for (int e = 0; e < endings; ++e) {
            const std::string key = message_of(static_cast<ending>(e));
            if (!key.empty()) {
                expected[key] += ran[static_cast<std::size_t>(e)];
            }
        }

        std::map<std::string, int> on_stdout = count_lines("standard output", out.out);
        const int traced = on_stdout["trace"];
        on_stdout.erase("trace");
        EXPECT_EQ(on_stdout, expected);

        // Every line also went to exactly one of the named files: whichever
        // the shared log path named when it was written.
        std::map<std::string, int> in_files;
        for (const std::string &path : paths) {
            for (const auto &[key, n] : count_lines(path, read_file(path))) {
                in_files[key] += n;
            }
        }
        EXPECT_EQ(in_files["trace"], traced);
        in_files.erase("trace");
        EXPECT_EQ(in_files, expected);
    }

    // No file appeared but the named ones.
    const std::vector<std::string> entries = dir.entries();
    const std::set<std::string> present(entries.begin(), entries.end());
    EXPECT_EQ(present, std::set<std::string>(names.begin(), names.end()));
}

} // namespace
} // namespace tarvelo::testing
