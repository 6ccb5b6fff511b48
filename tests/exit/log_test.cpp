// The log file and standard streams as operators see them: the same line in
// both places, a log moved away between messages, a path that cannot be
// opened, and the host's own locale and time zone.
#include "tests/support/expected_lines.h"
#include "tests/support/posix.h"
#include "tests/support/support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <utility>
#include <vector>

namespace tarvelo::testing {
namespace {

using standin::channel;

// One channel, configured with `exit_data`, making one numbered message
// (an invalid exit call) or one trace line (an unknown state with trace on
// or off) on demand.
class LogFile : public ::testing::Test {
protected:
    captured_output::streams numbered(const std::string &exit_data) {
        standin::channel_config config;
        config.exit_data = exit_data;
        channel ch(exit_entry(), config);
        captured_output capture;
        ch.call(13);
        return capture.take();
    }
    // A challenge answered: four trace lines and no numbered message. Trace
    // is off (the initialisation turned it off), so nothing is written.
    captured_output::streams answer_challenge_untraced(const std::string &exit_data,
                                                       std::string *log_after = nullptr) {
        standin::channel_config config;
        config.exit_data = exit_data;
        channel ch(exit_entry(), config);
        {
            captured_output quiet;
            ch.initialise();
        }
        std::remove(config.exit_data.c_str()); // holds the started message
        captured_output capture;
        ch.deliver(std::vector<std::uint8_t>(32, 'A'));
        auto out = capture.take();
        EXPECT_EQ(ch.response(), ZTXCC_SEND_SEC_MSG);
        if (log_after != nullptr) {
            *log_after = read_file(config.exit_data);
        }
        captured_output quiet;
        ch.terminate();
        return out;
    }
    scratch_directory dir_;
};

TEST_F(LogFile, ReceivesExactlyTheLinesOfStandardOutput) {
    const std::string log = dir_.file("exit.log");
    auto first = numbered(log);
    auto second = numbered(log + " TRACEON");
    EXPECT_EQ(read_file(log), first.out + second.out);
    EXPECT_EQ(split_lines(read_file(log)).size(), 2u);
}

TEST_F(LogFile, MovedAwayBetweenMessagesIsCreatedAgainByTheNextOne) {
    const std::string log = dir_.file("exit.log");
    auto first = numbered(log);
    ASSERT_EQ(rename(log.c_str(), dir_.file("exit.log.1").c_str()), 0);
    auto second = numbered(log);
    EXPECT_EQ(read_file(dir_.file("exit.log.1")), first.out);
    EXPECT_EQ(read_file(log), second.out);
}

TEST_F(LogFile, AppendsToWhatIsAlreadyThere) {
    const std::string log = dir_.file("exit.log");
    ASSERT_TRUE(write_file(log, "earlier line\n"));
    auto out = numbered(log);
    EXPECT_EQ(read_file(log), "earlier line\n" + out.out);
}

TEST_F(LogFile, ThatCannotBeOpenedIsReportedAndTheMessageStillReachesStandardOutput) {
    const std::string log = dir_.file("missing/exit.log");
    auto out = numbered(log);
    EXPECT_EQ(out.err, "Error accessing log file - errno 2\n");
    ASSERT_EQ(split_lines(out.out).size(), 1u);
    EXPECT_EQ(identifiers_in(out.out), identifiers_of({msg_invalid_exit_call}));
    EXPECT_FALSE(file_exists(log));
}

TEST_F(LogFile, ThatCannotBeOpenedOrWrittenLeavesTheHostsErrnoAsItWas) {
    std::vector<std::string> paths = {dir_.file("missing/exit.log")};
#if !defined(_WIN32)
    paths.emplace_back("/dev/full"); // opened, every write refused
#endif
    for (const std::string &path : paths) {
        standin::channel_config config;
        config.exit_data = path;
        channel ch(exit_entry(), config);
        captured_output capture;
        errno = EDOM;
        ch.call(13);
        const int after = errno;
        const std::string err = capture.take().err;
        EXPECT_EQ(after, EDOM) << path;
        EXPECT_NE(err, "") << path;
    }
}

TEST_F(LogFile, ThatIsADirectoryGivesItsOwnErrorNumber) {
    auto out = numbered(dir_.path());
#if defined(_WIN32)
    // The C runtime refuses to open a directory as a file with EACCES.
    EXPECT_EQ(out.err, "Error accessing log file - errno 13\n");
#else
    EXPECT_EQ(out.err, "Error accessing log file - errno 21\n"); // EISDIR
#endif
    EXPECT_EQ(split_lines(out.out).size(), 1u);
}

TEST_F(LogFile, SuppressedTraceLinesStillCreateTheFileButWriteNothing) {
    const std::string log = dir_.file("exit.log");
    std::string written;
    auto out = answer_challenge_untraced(log, &written);
    EXPECT_EQ(out.out, "");
    EXPECT_EQ(out.err, "");
    EXPECT_TRUE(file_exists(log));
    EXPECT_EQ(written, "");
}

TEST_F(LogFile, SuppressedTraceLinesWithABadPathAreReportedButStaySuppressed) {
    auto out = answer_challenge_untraced(dir_.file("missing/exit.log"));
    EXPECT_EQ(out.out, "");
    // One attempt to open for each of the four suppressed trace lines.
    std::string four;
    for (int i = 0; i < 4; ++i) {
        four += "Error accessing log file - errno 2\n";
    }
    EXPECT_EQ(out.err, four);
}

#if !defined(_WIN32)
// Trace lines hold challenge and response pairs: a new log file gives others
// no access, whatever the host's umask allows, and the umask narrows it
// further. A file that is already there keeps the mode its owner gave it.
TEST_F(LogFile, NewFileGivesOthersNoAccessAndAnExistingOneKeepsItsMode) {
    const std::pair<mode_t, mode_t> created[] = {{0, 0640}, {022, 0640}, {027, 0640}, {077, 0600}};
    for (const auto &[mask, mode] : created) {
        const std::string log = dir_.file("exit-" + std::to_string(mask) + ".log");
        const mode_t host_mask = umask(mask);
        numbered(log);
        umask(host_mask);
        struct stat st {};
        ASSERT_EQ(stat(log.c_str(), &st), 0) << log;
        EXPECT_EQ(st.st_mode & 07777, mode) << "umask 0" << std::oct << mask;
    }
    const std::string existing = dir_.file("existing.log");
    ASSERT_TRUE(write_file(existing, ""));
    ASSERT_EQ(chmod(existing.c_str(), 0664), 0);
    numbered(existing);
    struct stat st {};
    ASSERT_EQ(stat(existing.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0664u);
    EXPECT_EQ(split_lines(read_file(existing)).size(), 1u);
}
#endif

TEST_F(LogFile, WithoutAPathNothingIsCreated) {
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    auto out = numbered("");
    EXPECT_EQ(split_lines(out.out).size(), 1u);
    EXPECT_TRUE(dir_.entries().empty());
    ASSERT_EQ(chdir("/"), 0);
}

// The host's locale and time zone are its own; timestamps are local time in
// the C library's English ctime layout whatever the locale says.
class HostEnvironment : public ::testing::Test {
protected:
    void TearDown() override {
        std::setlocale(LC_ALL, "C");
        unsetenv("TZ");
        tzset();
    }
    static std::string timestamp_of_next_line() {
        standin::channel_config config;
        channel ch(exit_entry(), config);
        captured_output capture;
        ch.call(13);
        return capture.take().out.substr(0, 24);
    }
    // A locale with other day and month names; compiled into a scratch
    // directory when the machine has none installed.
    bool use_german_locale() {
#if defined(_WIN32)
        // Windows names its locales by language and country; every
        // installation (and Wine) has German.
        return std::setlocale(LC_ALL, "German_Germany.1252") != nullptr ||
               std::setlocale(LC_ALL, "de-DE") != nullptr;
#else
        if (std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr) {
            return true;
        }
        const std::string command =
            "localedef -i de_DE -f UTF-8 '" + locales_.file("de_DE.UTF-8") + "' >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0 && !file_exists(locales_.file("de_DE.UTF-8"))) {
            return false;
        }
        setenv("LOCPATH", locales_.path().c_str(), 1);
        const bool ok = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
        unsetenv("LOCPATH");
        return ok;
#endif
    }
    scratch_directory locales_;
};

TEST_F(HostEnvironment, TimestampFollowsTheHostsTimeZoneWithinASecond) {
    // Fixed offsets need no time zone files: UTC and five and a half hours
    // east. The host changes the zone as a program does for ctime there: on
    // POSIX systems it only sets TZ; the Windows C runtime reads TZ again
    // only when told to. The exit reads the zone again at most once a clock
    // second, so a line from the next second on must show the new zone.
    const auto change_zone = [](const char *zone) {
        setenv("TZ", zone, 1);
#if defined(_WIN32)
        tzset();
#endif
    };
    const auto next_second = [] {
        const std::time_t start = std::time(nullptr);
        while (std::time(nullptr) == start) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    };
    const std::pair<const char *, std::time_t> zones[] = {{"UTC0", 0}, {"IST-5:30", 19800}};
    for (const auto &[zone, east_of_greenwich] : zones) {
        change_zone(zone);
        next_second();
        std::time_t at = 0;
        std::string line;
        for (int attempt = 0; attempt < 5; ++attempt) {
            at = std::time(nullptr);
            line = timestamp_of_next_line();
            if (std::time(nullptr) == at) {
                break; // the line was written within the second read
            }
        }
        ASSERT_TRUE(looks_like_timestamp(line)) << line;
        const std::time_t shifted = at + east_of_greenwich;
        std::tm expected{};
        ASSERT_NE(gmtime_r(&shifted, &expected), nullptr);
        char time_of_day[16];
        std::snprintf(time_of_day, sizeof time_of_day, "%02d:%02d:%02d", expected.tm_hour,
                      expected.tm_min, expected.tm_sec);
        EXPECT_EQ(line.substr(11, 8), time_of_day) << zone << ": " << line;
    }
}

TEST_F(HostEnvironment, TimestampKeepsEnglishNamesUnderAnotherLocale) {
    if (!use_german_locale()) {
        GTEST_SKIP() << "no German locale can be had on this machine";
    }
    char day[32];
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(day, sizeof day, "%a %b", &local);
    const std::string line = timestamp_of_next_line();
    EXPECT_TRUE(looks_like_timestamp(line)) << line << " (the locale says " << day << ")";
}

} // namespace
} // namespace tarvelo::testing
