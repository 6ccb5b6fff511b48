// The tarvelo program as its users run it: the verdicts it gives for the
// exit's answers, the exchange it shows, the load summary, and its refusal of
// bad arguments and of libraries it cannot use.
#include "tool_runner.h"

#include "auth/challenge.h"
#include "standin/partner.h"
#include "tests/support/expected_lines.h"

#include <gtest/gtest.h>

#include "exit/tarvelo.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace tarvelo::testing {
namespace {

// The lines the exit wrote, picked out of the program's output by their
// timestamp: "Tue Dec  8 18:43:24 2026 ".
std::string exit_lines(const std::string &out) {
    std::string lines;
    for (const std::string &line : split_lines(out)) {
        if (line.size() > timestamp_length &&
            looks_like_timestamp(line.substr(0, timestamp_length))) {
            lines += line + "\n";
        }
    }
    return lines;
}

std::string challenge_for(std::uint32_t seed) {
    std::string text(security_text_length, ' ');
    standin::seeded_challenge(seed, reinterpret_cast<std::uint8_t *>(text.data()));
    return text;
}

// The log file the demo made, named in its output; removed afterwards.
std::string demo_log_path(const std::string &out) {
    static const std::regex named(
        "log file (/tmp/[A-Za-z0-9/-]*(tarvelo-|tv-)[A-Za-z0-9]+(\\.log)?):");
    std::smatch m;
    return std::regex_search(out, m, named) ? m[1].str() : std::string();
}

TEST(Demo, SignsOnAndLogsExactlyTheLinesItShows) {
    const tool_result r = run_tool({"demo", "--keep-log"});
    const std::string log = demo_log_path(r.out);
    ASSERT_FALSE(log.empty()) << r.out;
    const std::string logged = read_file(log);
    unlink(log.c_str());

    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(last_line(r.out), "channel TO.PARTNER signed on: both sides proved the password");
    EXPECT_EQ(r.err, "");
    // Trace is on, so the whole exchange is in the exit's own lines, and the
    // fresh log file holds exactly what was shown.
    const std::string shown = exit_lines(r.out);
    EXPECT_EQ(logged, shown);
    for (const message_index index :
         {msg_exit_started, trace_challenge_received, trace_response_sent, trace_authorised,
          trace_challenge_sent, trace_response_expected, trace_partner_authorised,
          msg_channel_closed}) {
        EXPECT_TRUE(contains(shown, opening_of(index))) << opening_of(index);
    }
    EXPECT_TRUE(contains(r.out, ", ending with the same lines as shown above"));
}

TEST(Demo, RefusedWhenThePartnerHoldsAnotherPasswordAndSaysWhy) {
    const tool_result r = run_tool({"demo", "--partner-password", "GUESS"});
    const std::string log = demo_log_path(r.out);
    if (!log.empty()) {
        unlink(log.c_str());
    }
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(last_line(r.out),
              "channel TO.PARTNER refused: the partner service rejected the exit's response: "
              "the two sides do not hold the same password (" +
                  identifier_of(msg_password_violation) + ")");
    EXPECT_TRUE(contains(exit_lines(r.out), line_of(msg_password_violation, "TO.PARTNER")));
}

// Each way the exit can refuse, set up through the run command's knobs: the
// verdict must give the reason and the identifier of the line the exit
// actually wrote when it closed the channel.
TEST(Run, EachRefusalGetsItsReasonAndTheExitsOwnMessage) {
    struct refusal {
        std::vector<std::string> args;
        std::string reason;
        message_index message;
    };
    const std::vector<refusal> refusals = {
        {{"--opening-status", "8"},
         "revoked the channel after successive invalid passwords",
         msg_revoked},
        {{"--opening-status", "6"},
         "opened with status 6 (authorised) instead of a challenge",
         msg_unknown_status},
        {{"--partner-password", "OTHER"},
         "the two sides do not hold the same password",
         msg_password_violation},
        {{"--status", "9"}, "sender channel must be started first", msg_sender_not_started},
        {{"--status", "10"}, "not registered on the partner service", msg_not_registered},
        {{"--status", "8"},
         "answered with status 8 (revoked), which the exit does not accept",
         msg_unknown_status},
        {{"--answer", "wrong"},
         "does not hold the password (possible impersonation)",
         msg_impersonation},
        {{"--answer", "short"},
         "response to the exit's challenge was 31 bytes, not 32",
         msg_not_registered},
        {{"--exchange-size", "31"}, "exchange buffer holds 31 bytes, too few", msg_unknown_status},
        // The exit reads the field up to the first blank; the partner holds all of it.
        {{"--password", "AB CD"},
         "the two sides do not hold the same password",
         msg_password_violation},
    };
    for (const refusal &c : refusals) {
        std::vector<std::string> args = {"run", "--channel", "CH.REFUSED"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const tool_result r = run_tool(args);
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
        const std::string verdict = last_line(r.out);
        EXPECT_EQ(verdict.rfind("channel CH.REFUSED refused: ", 0), 0u) << verdict;
        EXPECT_TRUE(contains(verdict, c.reason)) << verdict;
        EXPECT_TRUE(contains(verdict, "(" + identifier_of(c.message) + ")")) << verdict;
        EXPECT_TRUE(contains(exit_lines(r.out), identifier_of(c.message))) << r.out;
    }
}

TEST(Run, ShowsEachMessageWithItsDirectionLengthAndBytes) {
    const std::string challenge = challenge_for(1700000000);
    const tool_result r = run_tool({"run", "--seed", "1700000000", "--password", "Pa55w0rd"});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(last_line(r.out), "channel TO.PARTNER signed on: both sides proved the password");

    // A name that a terminal would act on is shown escaped, as the exit logs it.
    const tool_result named = run_tool({"run", "--channel", "TO.\x1b[2J", "--password", "P"});
    EXPECT_EQ(named.exit_code, 0) << named.out << named.err;
    EXPECT_EQ(named.out.find('\x1b'), std::string::npos) << named.out;
    EXPECT_EQ(named.out.rfind("tarvelo run: channel TO.\\x1b[2J through ", 0), 0u) << named.out;
    EXPECT_EQ(last_line(named.out),
              "channel TO.\\x1b[2J signed on: both sides proved the password");

    std::vector<std::string> messages;
    for (const std::string &line : split_lines(r.out)) {
        if (line.rfind("partner -> exit:", 0) == 0 || line.rfind("exit -> partner:", 0) == 0) {
            messages.push_back(line);
        }
    }
    ASSERT_EQ(messages.size(), 5u) << r.out;
    EXPECT_EQ(messages[0], "partner -> exit: 32 bytes  challenge " + challenge);
    EXPECT_EQ(messages[1],
              "exit -> partner: 32 bytes  response " + response_to("Pa55w0rd", challenge));
    EXPECT_EQ(messages[2], "partner -> exit:  1 byte   status 6 (authorised)");
    // The exit's own challenge depends on the clock; the partner's answer to
    // it must be the response to exactly what the exit sent.
    const std::string prefix = "exit -> partner: 32 bytes  challenge ";
    ASSERT_EQ(messages[3].rfind(prefix, 0), 0u) << messages[3];
    const std::string exit_challenge = messages[3].substr(prefix.size());
    EXPECT_EQ(messages[4],
              "partner -> exit: 32 bytes  response " + response_to("Pa55w0rd", exit_challenge));

    // The exit's answers, in order, between the calls.
    std::vector<std::string> answers;
    for (const std::string &line : split_lines(r.out)) {
        if (line.rfind("  exit answers: ", 0) == 0) {
            answers.push_back(line.substr(16));
        }
    }
    const std::vector<std::string> expected = {
        "ZTXCC_OK, state ZAVCONN_STARTUP",
        "ZTXCC_OK, state ZAVCONN_STARTUP",
        "ZTXCC_SEND_SEC_MSG from the exchange buffer, state ZAVCONN_SIGNON",
        "ZTXCC_SEND_SEC_MSG from the exit buffer, state ZAVCONN_VERIFY",
        "ZTXCC_OK, state ZAVCONN_VERIFY",
        "ZTXCC_OK",
    };
    EXPECT_EQ(answers, expected);
}

TEST(Run, ExitDataAsTypedNamesTheLogFileAndTurnsTraceOnOrSaysWhyNot) {
    const scratch_directory scratch;
    const std::string log = scratch.file("x.log");
    const tool_result r = run_tool({"run", "--exit-data", "  " + log + "  TRACEON"});
    const std::string logged = read_file(log);
    unlink(log.c_str());
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_TRUE(contains(logged, opening_of(trace_response_expected))) << logged;
    EXPECT_EQ(logged, exit_lines(r.out));
    EXPECT_EQ(r.err, "");

    // The traps of the exit data: each runs as the exit reads it, with trace
    // off and a warning on standard error that says why.
    const std::string long_path = scratch.file(std::string(24 - scratch.path().size(), 'p'));
    ASSERT_EQ(long_path.size(), 25u);
    struct trap {
        std::string exit_data;
        std::string log; // the file the exit writes to
        std::string warning;
    };
    const std::vector<trap> traps = {
        {"TRACEON", scratch.file("TRACEON"),
         "the exit reads the first word, TRACEON, as the log path"},
        {log + " traceon", log,
         "the second word \"traceon\" does not begin with TRACEON in capitals"},
        {long_path + " TRACEO", long_path,
         "the exit data ends at 32 bytes, so the second word is \"TRACEO\", not TRACEON"},
        {"x.log TRACEON extra", log, "the exit ignores everything after the second word"},
        {"x.log\tTRACEON", scratch.file("x.log\tTRACEON"),
         "the word \"x.log\\x09TRACEON\" holds a control byte (a tab?)"},
    };
    for (const trap &t : traps) {
        SCOPED_TRACE(t.exit_data);
        tool_run in_dir;
        in_dir.directory = scratch.path();
        const tool_result w = run_tool({"run", "--exit-data", t.exit_data}, in_dir);
        const std::string written = read_file(t.log);
        unlink(t.log.c_str());
        EXPECT_EQ(w.exit_code, 0) << w.err;
        EXPECT_TRUE(contains(w.err, "tarvelo run: warning: --exit-data: " + t.warning)) << w.err;
        EXPECT_TRUE(contains(written, identifier_of(msg_exit_started))) << written;
        EXPECT_EQ(traced(written), contains(t.exit_data, "extra")) << written;
    }
}

TEST(Load, CountsSignOnsRefusalsAndTheLinesInBothPlaces) {
    const scratch_directory scratch;
    const std::string log = scratch.file("load.log");
    const tool_result r = run_tool(
        {"load", "--channels", "200", "--threads", "3", "--refuse-every", "10", "--log", log});
    const std::size_t logged = split_lines(read_file(log)).size();

    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "  signed on            180\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "  refused              20 (planned: 20)\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "  not as planned       0\n")) << r.out;
    // Trace off: a start and an end line per channel, and one password
    // violation line per refused channel, nothing on the program's own output.
    EXPECT_EQ(logged, 200u * 2 + 20);
    EXPECT_TRUE(
        contains(r.out, "  lines written        420 to standard output, 420 to " + log + "\n"))
        << r.out;
    // Six calls per signed-on channel; a refused one ends a call earlier.
    EXPECT_TRUE(
        std::regex_search(r.out, std::regex("call latency +median [0-9.]+ [nmu]s, 99th percentile "
                                            "[0-9.]+ [nmu]s over 1180 calls")))
        << r.out;
    EXPECT_EQ(exit_lines(r.out), "");

    // The log rotated while the channels run (renamed, a new one made by the
    // exit's next line): the count covers both files, and names the copy.
    const std::string rotating = scratch.file("rotating.log");
    tool_result during;
    std::thread run([&] { during = run_tool({"load", "--channels", "20000", "--log", rotating}); });
    while (read_file(rotating).empty()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(std::rename(rotating.c_str(), (rotating + ".1").c_str()), 0);
    run.join();
    const std::size_t before = split_lines(read_file(rotating + ".1")).size();
    const std::size_t after = split_lines(read_file(rotating)).size();
    EXPECT_EQ(during.exit_code, 0) << during.out << during.err;
    EXPECT_GT(after, 0u); // the rotation came before the run's end
    EXPECT_EQ(before + after, 40000u);
    EXPECT_TRUE(contains(during.out, "  lines written        40000 to standard output, 40000 to " +
                                         rotating + " and its rotated copy " + rotating + ".1\n"))
        << during.out;

    // Ctrl-C: the channels under way end, and the summary covers what ran.
    tool_run interrupted;
    interrupted.interrupt_after_ms = 500;
    const tool_result i = run_tool({"load", "--channels", "10000000"}, interrupted);
    EXPECT_EQ(i.exit_code, 130) << i.out << i.err;
    EXPECT_TRUE(std::regex_search(i.out, std::regex("\n  interrupted: [0-9]+ of 10000000 "
                                                    "channels ran\n  signed on +[0-9]+\n")))
        << i.out;
    EXPECT_TRUE(contains(i.out, "  not as planned       0\n")) << i.out;
}

// A log path that is a FIFO or a device: the program never opens it to try
// it and never reads it back, so it neither waits on it, nor takes a
// reader's lines, nor grows with what it reads.
TEST(LogFile, AFifoOrADeviceNeitherHoldsNorSwellsTheProgram) {
    const scratch_directory scratch;
    const std::string fifo = scratch.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    tool_run quick;
    quick.timeout_seconds = 20;
    const std::vector<std::vector<std::string>> runs = {
        {"demo", "--log", fifo},
        {"run", "--log", fifo, "--trace"},
        {"load", "--channels", "20", "--log", fifo, "--trace"},
        {"run", "--log", "/dev/zero", "--trace"},
        {"load", "--channels", "20", "--log", "/dev/zero"},
    };
    for (const std::vector<std::string> &args : runs) {
        SCOPED_TRACE(args[0] + " " + args[args.size() - 1]);
        const tool_result r = run_tool(args, quick);
        EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
        EXPECT_TRUE(contains(r.out, "not a regular file")) << r.out;
    }

    // A reader that reads once, to the end of what is written: it gets the
    // exit's first line, which the program's own look at the path would
    // have ended before it came.
    std::string received;
    std::thread reader([&] { received = read_file(fifo); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const tool_result r = run_tool({"run", "--log", fifo}, quick);
    // Should the reader still wait for a writer, one comes and goes.
    const int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (writer >= 0) {
        close(writer);
    }
    reader.join();
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(contains(received, " " + line_of(msg_exit_started, "TO.PARTNER"))) << received;
}

TEST(Arguments, BadOnesAreRefusedWithCode2BeforeAnythingRuns) {
    struct bad {
        std::vector<std::string> args;
        std::string message;
    };
    const std::string challenge = challenge_for(1);
    const std::vector<bad> cases = {
        {{}, "Usage: tarvelo COMMAND"},
        {{"sign"}, "unknown command \"sign\""},
        {{"deom"}, "unknown command \"deom\" (did you mean \"demo\"?)"},
        {{"help", "resp"}, "unknown command \"resp\" (did you mean \"respond\"?)"},
        {{"run", "--pasword", "x"}, "unknown option --pasword (did you mean --password?)"},
        {{"run", "--password", "x", "--password-file", "-"}, "cannot be combined"},
        {{"respond", "--password-file", "-", "SECRET", challenge}, "needs a CHALLENGE, got 2"},
        {{"run", "--password", "ABCDEFGHIJKLM"},
         "--password is 13 bytes; a channel password holds at most 12"},
        {{"demo", "--partner-password", "ABCDEFGHIJKLM"}, "--partner-password is 13 bytes"},
        {{"load", "--password", "ABCDEFGHIJKLM"}, "--password is 13 bytes"},
        {{"respond", "ABCDEFGHIJKLM", challenge}, "the password is 13 bytes"},
        {{"respond", "SECRET", challenge.substr(1)},
         "a challenge is 32 characters; \"" + challenge.substr(1) + "\" has 31"},
        {{"respond", "SECRET", challenge + "0"}, "has 33"},
        {{"respond", "SECRET"}, "needs a PASSWORD and a CHALLENGE, got 1 argument"},
        {{"run", "--verbose"}, "unknown option --verbose"},
        {{"run", "--status"}, "option --status needs a value"},
        {{"run", "--trace=yes"}, "option --trace takes no value"},
        {{"run", "--status", "six"}, "--status must be a whole number (0 to 255), not \"six\""},
        {{"run", "--status", "256"}, "--status is out of range (0 to 255): 256"},
        {{"run", "--answer", "maybe"}, "--answer must be right, wrong or short"},
        {{"run", "--channel", "A.CHANNEL.NAME.OF.21B"}, "--channel must be 1 to 20 bytes, not 21"},
        {{"run", "--trace"}, "--trace needs --log"},
        {{"run", "--log", "my log"}, "--log cannot contain a blank"},
        {{"run", "--log", "/tmp/" + std::string(20, 'x'), "--trace"},
         "is 33 bytes; the field holds 32"},
        {{"demo", "--log", "/tmp/" + std::string(20, 'x')}, "is 33 bytes; the field holds 32"},
        {{"run", "--exit-data", std::string(33, 'x')}, "--exit-data is 33 bytes"},
        {{"run", "--exit-data", "a.log", "--log", "b.log"}, "cannot be combined"},
        {{"run", "extra"}, "unexpected argument extra"},
        {{"load", "--channels", "0"}, "--channels is out of range"},
        {{"report", "--output", "", "-"}, "--output needs the name of a file"},
        {{"report", "--host", "", "-"}, "--host needs a name"},
        {{"report", "-", "--host", "qm1"}, "--host qm1 names no file after it"},
        {{"report", "--host", "qm1", "--host", "qm2", "-"}, "--host qm1 names no file after it"},
        {{"load", "--threads", "-2"}, "--threads must be a whole number"},
        {{"run", "--seed", "4294967296"}, "--seed is out of range (0 to 4294967295)"},
        {{"run", "--seed", "99999999999999999999999"}, "--seed must be a whole number"},
        {{"challenge", "--seed", "1700000000"}, "unknown option --seed"},
        {{"password", "12"}, "unexpected argument 12"},
        {{"report"}, "needs at least one LOGFILE"},
        {{"report", "-", "-"}, "standard input (\"-\") can be read only once"},
        {{"report", "--format", "xml", "-"}, "--format must be text, json or prometheus"},
        {{"report", "--since", "2026-02-29", "-"}, "--since takes a local time such as"},
        {{"report", "--since", "2026-12-08", "--until", "2026-12-08", "-"},
         "--since must come before --until"},
        {{"report", "--since", "-1y", "-"}, "--since takes a local time such as"},
        {{"report", "--until", "tomorrow", "-"}, "--until takes a local time such as"},
        {{"report", "--fail-on", "refusals", "-"}, "--fail-on takes \"flagged\""},
        {{"help", "--version", "extra"}, "unexpected argument extra"},
    };
    for (const bad &c : cases) {
        const tool_result r = run_tool(c.args);
        std::string shown;
        for (const std::string &a : c.args) {
            shown += a + " ";
        }
        SCOPED_TRACE(shown);
        EXPECT_EQ(r.exit_code, 2);
        // On standard error, the usage with it, and nothing on standard output.
        EXPECT_TRUE(contains(r.err, c.message)) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(contains(r.err, "See \"tarvelo"), !c.args.empty()) << r.err;
    }
}

TEST(Arithmetic, ChallengesAndPasswordsAreWellFormedAndNeverTheSame) {
    std::set<std::string> seen;
    for (int i = 0; i < 3; ++i) {
        const tool_result c = run_tool({"challenge"});
        EXPECT_EQ(c.exit_code, 0) << c.err;
        EXPECT_TRUE(std::regex_match(c.out, std::regex("[0-9A-F]{32}\n"))) << c.out;
        const tool_result p = run_tool({"password"});
        EXPECT_EQ(p.exit_code, 0) << p.err;
        EXPECT_TRUE(std::regex_match(p.out, std::regex("[A-Za-z0-9]{12}\n"))) << p.out;
        seen.insert(c.out);
        seen.insert(p.out);
    }
    EXPECT_EQ(seen.size(), 6u);
}

TEST(Library, OneThatCannotBeLoadedOrLacksTheEntryPointGivesCode3) {
    const std::string not_a_library = std::string(TARVELO_DOCS_DIR) + "/operators-guide.md";
    for (const char *command : {"demo", "run", "load"}) {
        SCOPED_TRACE(command);
        tool_result r = run_tool({command, "--library", "/nonexistent/libtarvelo.so"});
        EXPECT_EQ(r.exit_code, 3);
        EXPECT_TRUE(contains(r.err, "cannot load /nonexistent/libtarvelo.so")) << r.err;

        r = run_tool({command, "--library", not_a_library});
        EXPECT_EQ(r.exit_code, 3);
        EXPECT_TRUE(contains(r.err, "cannot load " + not_a_library)) << r.err;

        r = run_tool({command, "--library", TARVELO_LIBRARY_PATH, "--entry", "tarvelo"});
        EXPECT_EQ(r.exit_code, 3);
        EXPECT_TRUE(contains(r.err, "has no entry point named tarvelo")) << r.err;
        EXPECT_EQ(r.out, "");

        // Names the loader finds in the C library, which the exit uses: never
        // called, whatever they would do.
        for (const char *name : {"abort", "free"}) {
            r = run_tool({command, "--library", TARVELO_LIBRARY_PATH, "--entry", name});
            EXPECT_EQ(r.exit_code, 2) << name;
            EXPECT_TRUE(contains(r.err, "does not define " + std::string(name) + " itself"))
                << r.err;
            EXPECT_EQ(r.out, "");
        }

        // A name without a slash is not looked for where the program runs.
        r = run_tool({command, "--library", "libtarvelo.so"});
        EXPECT_EQ(r.exit_code, 3);
        EXPECT_TRUE(contains(r.err, "not in the current directory")) << r.err;
    }
}

TEST(Library, AnExitThatNeitherRunsNorClosesTheChannelGivesCode5) {
    const tool_result r = run_tool({"run", "--library", TARVELO_IDLE_EXIT_PATH, "--entry", "IDLE"});
    EXPECT_EQ(r.exit_code, 5) << r.out << r.err;
    EXPECT_EQ(last_line(r.out), "channel TO.PARTNER: the exchange ended with the exit neither "
                                "running nor closing the channel");
}

// The options a command's help lists, "--help" left out: each on a line of
// its own, indented by two blanks.
std::set<std::string> options_in(const std::string &help) {
    std::set<std::string> options;
    std::smatch option;
    for (const std::string &line : split_lines(help)) {
        if (std::regex_search(line, option, std::regex("^  (?:-h, )?(--[a-z][a-z-]*)")) &&
            option[1] != "--help") {
            options.insert(option[1]);
        }
    }
    return options;
}

// What tarvelo(1) says of the options: by command, those its SYNOPSIS gives
// it (each entry from ".B tarvelo COMMAND" to ".br"), and those OPTIONS
// describes (the tag after each ".TP").
struct manual_options {
    std::map<std::string, std::set<std::string>> synopsis;
    std::set<std::string> described;
};

manual_options options_in_manual() {
    manual_options manual;
    std::string section;
    std::string command;
    bool tag = false;
    const std::regex option("--[a-z][a-z-]*");
    for (std::string line : split_lines(read_file(TARVELO_MAN_DIR "/tarvelo.1"))) {
        for (std::size_t at; (at = line.find("\\-")) != std::string::npos;) {
            line.replace(at, 2, "-");
        }
        if (line.rfind(".SH ", 0) == 0) {
            section = line.substr(4);
            continue;
        }
        std::set<std::string> *into = nullptr;
        if (section == "SYNOPSIS") {
            std::smatch entry;
            if (std::regex_search(line, entry, std::regex("^\\.B tarvelo (--version|[a-z]+)"))) {
                command = entry[1];
                manual.synopsis[command];
                line = line.substr(entry[0].length());
            } else if (line == ".br") {
                command.clear();
            }
            into = command.empty() ? nullptr : &manual.synopsis[command];
        } else if (section == "OPTIONS") {
            into = tag ? &manual.described : nullptr;
            tag = line == ".TP";
        }
        for (auto it = std::sregex_iterator(line.begin(), line.end(), option);
             into != nullptr && it != std::sregex_iterator(); ++it) {
            into->insert(it->str());
        }
    }
    return manual;
}

TEST(Help, EveryCommandDescribesItselfItsOptionsAsTheManualPageDoesAndOnlyItsExitCodes) {
    manual_options manual = options_in_manual();
    // The codes each command's help lists: only the ones it can return.
    const std::vector<std::pair<std::string, std::string>> commands = {
        {"demo", "0 1 2 3 4 5"}, {"run", "0 1 2 3 4 5"}, {"load", "0 1 2 3 4 130"},
        {"respond", "0 2 4"},    {"challenge", "0 2 4"}, {"password", "0 2 4"},
        {"report", "0 1 2 4"},   {"help", "0 2 4"},      {"--version", "0 2 3 4"},
    };
    const tool_result general = run_tool({"--help"});
    EXPECT_EQ(general.exit_code, 0);
    for (const auto &[command, codes] : commands) {
        SCOPED_TRACE(command);
        const tool_result r = run_tool({command, "--help"});
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out.rfind("Usage: tarvelo " + command, 0), 0u) << r.out;
        const std::size_t start = r.out.find("Exit codes:\n");
        ASSERT_NE(start, std::string::npos) << r.out;
        std::string listed;
        std::smatch code;
        for (const std::string &line : split_lines(r.out.substr(start))) {
            if (std::regex_search(line, code, std::regex("^  ([0-9]+)  "))) {
                listed += (listed.empty() ? "" : " ") + code[1].str();
            }
        }
        EXPECT_EQ(listed, codes) << r.out;
        // Every mark for a fact said elsewhere (a field's size, the version)
        // is filled in.
        EXPECT_EQ(r.out.find('{'), std::string::npos) << r.out;
        // "tarvelo help COMMAND" is "tarvelo COMMAND --help".
        EXPECT_EQ(run_tool({"help", command}).out, r.out);
        EXPECT_TRUE(contains(general.out, "\n  " + command + " ")) << general.out;
        // tarvelo(1) gives the command every option its help lists, and
        // none it does not, in the SYNOPSIS, and describes each in OPTIONS.
        const std::set<std::string> options = options_in(r.out.substr(0, start));
        EXPECT_EQ(manual.synopsis[command], options);
        for (const std::string &option : options) {
            EXPECT_TRUE(manual.described.contains(option)) << option << " is not in OPTIONS";
        }
    }
    EXPECT_EQ(manual.synopsis.size(), commands.size());
}

TEST(Version, TheProgramsAndThatOfTheExitItWouldLoadReadFromItsFile) {
    // Without --library, the exit the build placed where the program looks.
    char *built = realpath(TARVELO_LIBRARY_PATH, nullptr);
    ASSERT_NE(built, nullptr);
    const std::string library = built;
    std::free(built);
    tool_result r = run_tool({"--version"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, std::string("tarvelo " TARVELO_VERSION_STRING "\nexit library ") + library +
                         ": " TARVELO_VERSION_STRING "\n");

    // An exit without the version mark, and a file that is not there.
    r = run_tool({"--version", "--library", TARVELO_IDLE_EXIT_PATH});
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_TRUE(contains(r.err, "carries no TARVELO version")) << r.err;
    r = run_tool({"--version", "--library", "/nonexistent/libtarvelo.so"});
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_TRUE(
        contains(r.err, "cannot read /nonexistent/libtarvelo.so: No such file or directory"))
        << r.err;
}

// What goes wrong around the program (unusable log paths, a full disk under
// its output) ends in its own exit code with the reason in words, before the
// exit is called where that matters, and never in an abort. Passwords come
// from standard input as from a file. The demo's log lands in TMPDIR and is
// removed at the end, whatever the end.
TEST(Failures, EachEndsWithItsCodeAndReasonAndPasswordsComeFromStandardInput) {
    const scratch_directory scratch; // short: the demo's log path must fit the exit data
    const std::string dir = scratch.path();
    ASSERT_EQ(setenv("TMPDIR", dir.c_str(), 1), 0);
    const std::string challenge = challenge_for(1700000000);
    const std::string input = dir + "/input";

    struct failing {
        std::vector<std::string> args;
        std::string output; // where standard output goes; empty: captured
        int code;
        std::string message;
    };
    const std::vector<failing> cases = {
        {{"demo", "--log", dir},
         "",
         2,
         "cannot append to the log file " + dir + ": Is a directory"},
        {{"run", "--log", dir}, "", 2, "cannot append to the log file " + dir + ": Is a directory"},
        {{"run", "--exit-data", dir + "/no/x.log"},
         "",
         2,
         "cannot append to the log file " + dir + "/no/x.log: No such file or directory"},
        // Not even root may create a file there.
        {{"demo", "--log", "/sys/tarvelo.log"},
         "",
         2,
         "cannot append to the log file /sys/tarvelo.log: "},
        {{"respond", "SECRET", challenge},
         "/dev/full",
         4,
         "tarvelo respond: cannot write to standard output: No space left on device"},
        {{"demo"},
         "/dev/full",
         4,
         "tarvelo demo: cannot write to standard output: No space left on device"},
        {{"respond", "--password-file", dir + "/none", challenge},
         "",
         2,
         "cannot read the password file " + dir + "/none: No such file or directory"},
        {{"load", "--log", "/nonexistent-dir/x.log"},
         "",
         2,
         "cannot append to the log file /nonexistent-dir/x.log"},
        {{"report", "/nonexistent/t.log"}, "", 2, "cannot open /nonexistent/t.log: No such file"},
        {{"report", "/tmp"}, "", 2, "/tmp is a directory"},
        // A reader that has gone: the channel still ends as a host ends it,
        // and the demo's log is removed all the same (checked below).
        {{"demo"}, closed_pipe, 4, "tarvelo demo: cannot write to standard output: Broken pipe"},
        {{"report", "-"},
         closed_pipe,
         4,
         "tarvelo report: cannot write to standard output: Broken pipe"},
    };
    for (const failing &c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args.back());
        const tool_result r = run_tool(c.args, "/dev/null", c.output);
        EXPECT_EQ(r.exit_code, c.code) << r.out << r.err;
        EXPECT_TRUE(contains(r.err, c.message)) << r.err;
        EXPECT_FALSE(contains(r.err, "errno")) << r.err;
        // Only a mistake in the arguments themselves points to --help.
        EXPECT_FALSE(contains(r.err, "--help")) << r.err;
        EXPECT_EQ(exit_lines(r.out), "");
    }

    // The first line of standard input is the password, a CR before its line
    // feed dropped: the partner holds the same and the channel signs on.
    ASSERT_TRUE(write_file(input, "Pa55w0rd\r\nignored\n"));
    tool_result r = run_tool({"respond", "--password-file", "-", challenge}, input);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, response_to("Pa55w0rd", challenge) + "\n");
    r = run_tool({"run", "--password-file", "-", "--partner-password", "Pa55w0rd"}, input);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(last_line(r.out), "channel TO.PARTNER signed on: both sides proved the password");
    ASSERT_TRUE(write_file(input, ""));
    r = run_tool({"respond", "--password-file", "-", challenge}, input);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_TRUE(contains(r.err, "standard input is empty")) << r.err;
    // A blank: the exit reads the field up to it, and so does respond, saying so.
    r = run_tool({"respond", "MY PASS", challenge});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, response_to("MY", challenge) + "\n");
    EXPECT_TRUE(contains(r.err, "warning: the password holds a blank")) << r.err;
    // A challenge an exit made: the exit would refuse it, and respond says
    // so, with the arithmetic all the same.
    const std::string exit_made = last_line(run_tool({"challenge"}).out);
    r = run_tool({"respond", "SECRET", exit_made});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, response_to("SECRET", exit_made) + "\n");
    EXPECT_TRUE(
        contains(r.err, "an exit refuses to answer it (" + identifier_of(msg_impersonation) + ")"))
        << r.err;
    r = run_tool({"respond", "SECRET", challenge});
    EXPECT_EQ(r.err, "");

    // TMPDIR is a setting: one the exit data cannot hold says so, code 2.
    for (const std::string &tmpdir : {dir + "/a b", dir + "/" + std::string(20, 'd')}) {
        ASSERT_EQ(setenv("TMPDIR", tmpdir.c_str(), 1), 0);
        r = run_tool({"demo"});
        EXPECT_EQ(r.exit_code, 2) << tmpdir;
        EXPECT_TRUE(contains(r.err, "tarvelo demo: TMPDIR (" + tmpdir + ") ")) << r.err;
        EXPECT_FALSE(contains(r.err, "--log cannot")) << r.err;
    }
    // And so is one that is not there.
    ASSERT_EQ(setenv("TMPDIR", "/nonexistent", 1), 0);
    r = run_tool({"demo"});
    EXPECT_EQ(r.exit_code, 2) << r.err;
    EXPECT_TRUE(contains(r.err, "set TMPDIR to a writable directory")) << r.err;
    ASSERT_EQ(setenv("TMPDIR", dir.c_str(), 1), 0);

    // Only the input file is left: the demos' logs are gone, a kept one stays.
    EXPECT_EQ(scratch.entries(), std::vector<std::string>{"input"})
        << "the demo left files in " << dir;
    r = run_tool({"demo", "--keep-log"});
    const std::string kept = demo_log_path(r.out);
    EXPECT_EQ(kept.rfind(dir + "/", 0), 0u) << r.out;
    EXPECT_EQ(split_lines(read_file(kept)).size(), 15u);
    unsetenv("TMPDIR");
}

} // namespace
} // namespace tarvelo::testing
