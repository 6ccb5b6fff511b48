// "tarvelo report" over a log the exit itself wrote: channels of a host on
// several threads, every ending of a sign-on, trace on and off, a start
// with no close, a channel that cannot have its buffer, a partner's
// challenge with a newline in it. What the report counts is what was
// driven, and the program says so in each format, with the files given in
// any order.
#include "tests/support/endings.h"
#include "tests/support/support.h"
#include "tool_runner.h"

#include "log/timestamp.h"
#include "log/writer.h"
#include "tools/report/summary.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>
#include <tuple>

#include <sys/stat.h>
#include <unistd.h>
#if TARVELO_HAVE_ZLIB
#include <zlib.h>
#endif

namespace tarvelo::testing {
namespace {

constexpr int threads = 4;

// Each thread runs every channel of the plan, `runs` times over.
struct planned {
    const char *channel;
    ending end;
    int runs;
    bool trace;
};

const std::vector<planned> plan = {
    {"RPT.SIGNED.ON", ending::signed_on, 2, true},
    {"RPT.PASSWORD", ending::password_violation, 1, false},
    {"RPT.REVOKED", ending::revoked, 1, false},
    {"RPT.NOT.STARTED", ending::sender_not_started, 1, false},
    {"RPT.UNKNOWN", ending::unknown_status, 1, false},
    // Twice on each thread: 8 refusals in far less than a minute, a burst.
    {"RPT.IMPOSTOR", ending::impersonation, 2, true},
    {"RPT.UNREGISTERED", ending::not_registered, 1, false},
    // Quotes and a backslash, to be escaped in JSON and in label values.
    {"RPT.\"SHORT\"\\ANSWER", ending::answer_too_short, 1, true},
    {"RPT.EXIT.CALL", ending::invalid_exit_call, 1, false},
    {"RPT.STATE", ending::invalid_state, 1, false},
};

// What the report says of one channel.
struct counts {
    std::uint64_t starts = 0;
    std::uint64_t closes = 0;
    std::map<std::string, std::uint64_t> refusals; // only those that occurred
    bool operator==(const counts &) const = default;
};

void PrintTo(const counts &c, std::ostream *out) {
    *out << "starts " << c.starts << ", closes " << c.closes;
    for (const auto &[message, n] : c.refusals) {
        *out << ", " << message << " " << n;
    }
}
using flag_key = std::tuple<std::string, std::string, std::uint64_t>; // channel, flag, count

std::string report_key(ending e) {
    return std::string(messages[static_cast<std::size_t>(message_index_of(e))].key);
}

// The JSON report without its list of files, which differs with the files
// read.
std::string without_files(const std::string &report) {
    const std::size_t from = report.find("\"files\": [");
    const std::size_t to = report.find("\n\"lines\": ");
    if (from == std::string::npos || to == std::string::npos) {
        return report;
    }
    return report.substr(0, from) + report.substr(to + 1);
}

// The timestamp an exit writes now.
std::string now_stamp() {
    char stamp[timestamp_length + 1];
    format_timestamp(std::time(nullptr), stamp);
    stamp[timestamp_length] = '\0';
    return stamp;
}

TEST(Report, CountsWhatTheExitWroteFlagsAttacksAndReadsARotatedSetInAnyOrder) {
    scratch_directory dir;
    const std::string log = dir.file("t.log"); // with " TRACEON", within the 32-byte exit data
    tarvelo_entry_fn *entry = exit_entry();
    ASSERT_NE(entry, nullptr);
    const auto config = [&](const std::string &name, bool trace) {
        standin::channel_config c = channel_with(log, trace);
        c.name = name;
        return c;
    };

    std::map<std::string, counts> expected;
    std::set<flag_key> expected_flags;
    std::size_t split = 0; // where the log is cut in two, a second after the first part
    std::string forged_line;
    {
        captured_output quiet; // the exit writes every line to standard output too
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([&, t] {
                for (const planned &p : plan) {
                    for (int run = 0; run < p.runs; ++run) {
                        run_channel(entry, config(p.channel, p.trace), p.end,
                                    static_cast<std::uint32_t>(1700000000 + t));
                    }
                }
                // The host stops without closing this one: its process ends.
                standin::channel crashed(entry, config("RPT.CRASHED", false));
                crashed.initialise();
                std::free(crashed.exit_buffer());
            });
        }
        for (std::thread &w : workers) {
            w.join();
        }
        for (const planned &p : plan) {
            counts &c = expected[escaped(p.channel)]; // as the exit writes the name
            c.starts = c.closes = std::uint64_t{threads} * static_cast<std::uint64_t>(p.runs);
            if (p.end != ending::signed_on) {
                c.refusals[report_key(p.end)] = c.starts;
            }
        }
        expected["RPT.CRASHED"].starts = threads;
        expected_flags = {{"RPT.IMPOSTOR", "impersonation", 2 * threads},
                          {"RPT.IMPOSTOR", "burst", 1},
                          {"RPT.REVOKED", "revoked", threads},
                          {"RPT.CRASHED", "unclosed", threads}};

        // Started in the first file of the set and closed in the second.
        standin::channel across(entry, config("RPT.ACROSS", false));
        across.initialise();
        for (const std::time_t second = std::time(nullptr); std::time(nullptr) == second;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        split = read_file(log).size();

        // A host that gives the exit nowhere to keep its buffer: the
        // failure line names no channel and leaves a blank before the next.
        standin::channel no_buffer(entry, config("RPT.NO.BUFFER", false));
        for (const std::int32_t reason : {ZTXR_INIT, ZTXR_TERM}) {
            no_buffer.params().exit_reason = reason;
            entry(&no_buffer.params(), &no_buffer.definition(), &no_buffer.data_length(),
                  &no_buffer.exchange_length(), no_buffer.exchange(), nullptr, nullptr);
        }
        expected["RPT.NO.BUFFER"] = {1, 1, {{"TARVELO002E", 1}}};

        // A partner's challenge with a newline in it, traced: the exit shows
        // the newline escaped, so the trace line stays one line of the exit,
        // and the report reads it as one.
        const std::string challenge = "0123456789\nforged by the partner";
        ASSERT_EQ(challenge.size(), 32u);
        standin::channel forged(entry, config("RPT.FORGED", true));
        forged.initialise();
        forged.deliver(reinterpret_cast<const std::uint8_t *>(challenge.data()), challenge.size());
        forged.terminate();
        expected["RPT.FORGED"] = {1, 1, {}};
        forged_line = "---> 0123456789\\x0aforged by the partner ";

        across.terminate();
        expected["RPT.ACROSS"] = {1, 1, {}};

        // A host's channel whose name holds the text that follows the name
        // in the line: the refusal stays with it.
        const std::string lookalike = "\x01 - ZT Code => X";
        standin::channel odd(entry, config(lookalike, false));
        odd.call(13);
        expected[escaped(lookalike)] = {0, 0, {{"TARVELO009E-call", 1}}};
        quiet.take();
    }
    // A line some other program wrote into the same file.
    std::ofstream(log, std::ios::app | std::ios::binary) << "logrotate: rotated at midnight\n";
    // A line cut short by a full disk, the next line glued to it: that one
    // counts, the cut one is torn.
    std::ofstream(log, std::ios::app | std::ios::binary)
        << now_stamp().substr(0, 21) << now_stamp()
        << " TARVELO001I - KOR Security Exit Started Channel => RPT.GLUED           \n"
        << now_stamp()
        << " TARVELO008I - KOR Security Exit Channel => RPT.GLUED            closed.\n";
    expected["RPT.GLUED"] = {1, 1, {}};

    const std::string whole = read_file(log);
    const std::vector<std::string> lines = split_lines(whole);
    const auto forged_at = std::find_if(lines.begin(), lines.end(), [&](const std::string &line) {
        return line.size() > forged_line.size() &&
               line.compare(line.size() - forged_line.size(), forged_line.size(), forged_line) == 0;
    });
    ASSERT_NE(forged_at, lines.end()) << whole;
    const auto foreign_at = std::find(lines.begin(), lines.end(), "logrotate: rotated at midnight");
    ASSERT_NE(foreign_at, lines.end()) << whole;

    // The counts of every channel and the flags, as the report's summary
    // reads them; the one line that is not the exit's (the forged trace
    // line is the exit's, escaped).
    tool::log_summary summary;
    summary.begin_input(log);
    summary.feed(whole.data(), whole.size());
    summary.end_input();
    ASSERT_TRUE(summary.finish());
    std::map<std::string, counts> reported;
    std::set<flag_key> flags;
    for (std::size_t i = 0; i < summary.channel_count(); ++i) {
        const std::string name(summary.name(i));
        reported[name] = {summary.channel(i).starts, summary.channel(i).closes, {}};
        const tool::channel_trouble *t = summary.trouble(i);
        for (std::size_t k = 0; t != nullptr && k < tool::refusal_kinds; ++k) {
            if (t->refusals[k] != 0) {
                reported[name].refusals[std::string(tool::refusal_key(k))] = t->refusals[k];
            }
        }
        for (std::size_t f = 0; f < tool::flag_kinds; ++f) {
            if (summary.flag(i, f).count != 0) {
                flags.emplace(name, tool::flag_names[f], summary.flag(i, f).count);
            }
        }
    }
    EXPECT_EQ(reported, expected);
    EXPECT_EQ(flags, expected_flags);
    EXPECT_EQ(summary.totals().unparsed, 1u);
    EXPECT_EQ(summary.totals().torn, 1u);
    EXPECT_EQ(summary.totals().lines, lines.size());
    EXPECT_EQ(summary.inputs()[0].exit_lines, lines.size() - 1);

    // The program says the same of every channel.
    const tool_result r = run_tool({"report", "--format", "json", log});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    for (const auto &[channel, c] : expected) {
        std::string quoted;
        for (const char ch : channel) {
            quoted += (ch == '"' || ch == '\\') ? std::string{'\\', ch} : std::string{ch};
        }
        EXPECT_NE(r.out.find("{\"channel\": \"" + quoted +
                             "\", \"starts\": " + std::to_string(c.starts) +
                             ", \"closes\": " + std::to_string(c.closes)),
                  std::string::npos)
            << channel << "\n"
            << r.out;
    }
    EXPECT_NE(r.out.find("\"torn\": 1"), std::string::npos) << r.out;

    // The set rotated at the split, the newer file named first and the
    // older one read from standard input: the same report. Read newer
    // first, RPT.ACROSS would be closed before it started.
    write_file(dir.file("older"), whole.substr(0, split));
    write_file(log, whole.substr(split));
    const tool_result rotated =
        run_tool({"report", "--format", "json", log, "-"}, dir.file("older"));
    EXPECT_EQ(rotated.exit_code, 0) << rotated.err;
    EXPECT_EQ(without_files(rotated.out), without_files(r.out));
    // The files as read, oldest first.
    EXPECT_NE(rotated.out.find("\"files\": [\n  {\"file\": \"standard input\", \"lines\": " +
                               std::to_string(split_lines(whole.substr(0, split)).size()) +
                               ", \"exit_lines\": "),
              std::string::npos)
        << rotated.out;
    EXPECT_NE(rotated.out.find("{\"file\": \"" + log + "\", \"lines\": "), std::string::npos)
        << rotated.out;

    // Until the second file began, in the log's own time form: the channel
    // that started in the first file has not closed yet.
    const tool_result until =
        run_tool({"report", "--format", "json", "--until", whole.substr(split, 24), log, "-"},
                 dir.file("older"));
    EXPECT_EQ(until.exit_code, 0) << until.err;
    EXPECT_NE(until.out.find(R"({"channel": "RPT.ACROSS", "flag": "unclosed", "count": 1)"),
              std::string::npos)
        << until.out;
    EXPECT_EQ(until.out.find("RPT.NO.BUFFER"), std::string::npos) << until.out;

    // Prometheus: the flags and the lines that could not be read, label
    // values escaped.
    write_file(log, whole);
    const tool_result prom = run_tool({"report", "--format", "prometheus", log});
    EXPECT_EQ(prom.exit_code, 0) << prom.err;
    for (const char *sample : {"tarvelo_channel_flags{channel=\"RPT.IMPOSTOR\",flag=\"burst\"} 1\n",
                               "tarvelo_log_unparsed_lines 1\n", "tarvelo_log_torn_lines 1\n"}) {
        EXPECT_NE(prom.out.find(sample), std::string::npos) << sample << prom.out;
    }
    // No control byte in a label value, whatever the channel's name held.
    for (const char c : prom.out) {
        EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7f)) << static_cast<int>(c);
    }

    // Text: the worst channel first and marked, the unreadable line found.
    const tool_result text = run_tool({"report", log});
    EXPECT_EQ(text.exit_code, 0) << text.err;
    const std::vector<std::string> shown = split_lines(text.out);
    ASSERT_GE(shown.size(), 2u) << text.out;
    EXPECT_EQ(shown[1].rfind("! RPT.IMPOSTOR ", 0), 0u) << text.out;
    EXPECT_NE(text.out.find(", 1 torn ("), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("1 unparseable (the first: " + log + " line " +
                            std::to_string(foreign_at - lines.begin() + 1) + ")"),
              std::string::npos)
        << text.out;

    // The channels asked for, with --channel again and again; relative
    // times; a flag that fails the run when asked to.
    // The channels of a JSON report (not its flags), names unescaped.
    const auto channels_in = [](const std::string &out) {
        std::set<std::string> names;
        const std::string head = "{\"channel\": \"";
        for (std::size_t at = out.find(head); at != std::string::npos;
             at = out.find(head, at + 1)) {
            std::string name;
            std::size_t i = at + head.size();
            for (; i < out.size() && out[i] != '"'; ++i) {
                i += out[i] == '\\' ? 1 : 0;
                name += out[i];
            }
            if (out.compare(i, 12, "\", \"starts\":") == 0) {
                names.insert(name);
            }
        }
        return names;
    };
    const std::string odd_name = escaped("RPT.\"SHORT\"\\ANSWER");
    std::set<std::string> every;
    for (const auto &[channel, c] : expected) {
        every.insert(channel);
    }
    struct filtered {
        std::vector<std::string> args;
        int code;
        std::set<std::string> channels;
    };
    const std::vector<filtered> filters = {
        {{"--channel", "RPT.IMPOSTOR", "--channel", odd_name}, 0, {"RPT.IMPOSTOR", odd_name}},
        {{"--channel", "RPT.SIGNED.ON", "--fail-on", "flagged"}, 0, {"RPT.SIGNED.ON"}},
        {{"--channel", "RPT.REVOKED", "--fail-on", "flagged"}, 1, {"RPT.REVOKED"}},
        {{"--channel", "NO.SUCH.CHANNEL"}, 0, {}},
        // A mistyped name fails a check rather than keep it green.
        {{"--channel", "RPT.IMPOSTR", "--fail-on", "flagged"}, 2, {}},
        {{"--fail-on", "flagged", "--since", "-1h"}, 1, every},
        {{"--until", "yesterday"}, 0, {}},
    };
    for (const filtered &f : filters) {
        std::vector<std::string> args = {"report", "--format", "json"};
        args.insert(args.end(), f.args.begin(), f.args.end());
        args.push_back(log);
        SCOPED_TRACE(f.args[0] + " " + f.args[1]);
        const tool_result out = run_tool(args);
        EXPECT_EQ(out.exit_code, f.code) << out.err;
        EXPECT_EQ(channels_in(out.out), f.channels);
    }

    // A file with lines, none of them the exit's (a wrong path in a cron
    // job): a warning that names it, and code 2, the report still printed.
    // An empty file is a log nothing was written to yet.
    write_file(dir.file("passwd"), "root:x:0:0:root:/root:/bin/bash\nnobody:x:65534:65534::/:\n");
    write_file(dir.file("empty.log"), "");
    for (const std::vector<std::string> &files :
         {std::vector<std::string>{dir.file("passwd")}, {log, dir.file("passwd")}}) {
        std::vector<std::string> args = {"report"};
        args.insert(args.end(), files.begin(), files.end());
        const tool_result foreign = run_tool(args);
        EXPECT_EQ(foreign.exit_code, 2);
        EXPECT_TRUE(contains(foreign.err, "tarvelo report: warning: " + dir.file("passwd") +
                                              " holds 2 lines and none of them is a line of the "
                                              "exit"))
            << foreign.err;
        EXPECT_TRUE(contains(foreign.out, " unparseable (the first: ")) << foreign.out;
    }
    const tool_result empty = run_tool({"report", dir.file("empty.log")});
    EXPECT_EQ(empty.exit_code, 0) << empty.err;
    EXPECT_EQ(empty.err, "");
    EXPECT_TRUE(contains(empty.out, "No line of the exit names a channel.")) << empty.out;
}

// A line of entry `index` for `channel`, at 03:00 and `second` seconds on
// 2026-12-09, as the exit writes it.
std::string line_at(int second, int index, const std::string &channel) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "Wed Dec  9 03:%02d:%02d 2026", second / 60, second % 60);
    const std::string_view format = catalogue[static_cast<std::size_t>(index)];
    const std::string padded =
        (channel + std::string(channel_name_max, ' ')).substr(0, channel_name_max);
    const char *args[] = {stamp, padded.c_str(), " 99 "};
    char out[message_line_max];
    const std::size_t length =
        expand_format(format.data(), format.size(), args, 3, out, sizeof out);
    return std::string(out, length);
}

#if TARVELO_HAVE_ZLIB
void write_gzip(const std::string &path, const std::string &text) {
    gzFile file = gzopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(gzwrite(file, text.data(), static_cast<unsigned>(text.size())),
              static_cast<int>(text.size()));
    ASSERT_EQ(gzclose(file), Z_OK);
}
#endif

// A rotated set as logrotate leaves it (the oldest copy compressed), two
// hosts' logs, and the report written for node_exporter, each as an
// operator types the command.
TEST(Report, ReadsRotatedSetsAsTheyLieKeepsHostsApartAndReplacesItsOutput) {
    scratch_directory dir;
    const std::string log = dir.file("t.log");
    const auto password = [](int second, const char *channel) {
        return line_at(second, msg_password_violation, channel);
    };
    // TO.ACROSS starts in the oldest copy and closes in the current file;
    // TO.BURST is refused five times within a minute across the three.
    const std::string oldest = line_at(0, msg_exit_started, "TO.ACROSS") + password(1, "TO.BURST") +
                               password(2, "TO.BURST");
    const std::string middle = password(20, "TO.BURST") + password(21, "TO.BURST");
    const std::string current =
        password(40, "TO.BURST") + line_at(41, msg_channel_closed, "TO.ACROSS");
#if TARVELO_HAVE_ZLIB
    write_gzip(log + ".2.gz", oldest);
#else
    write_file(log + ".2", oldest);
    // Built without zlib: a compressed log is named, never read as text.
    write_file(dir.file("c.log.1.gz"), std::string("\x1f\x8b\x08\x00", 4));
    const tool_result unsupported = run_tool({"report", dir.file("c.log.1.gz")});
    EXPECT_EQ(unsupported.exit_code, 2);
    EXPECT_TRUE(contains(unsupported.err, "compressed logs are not supported in this build"))
        << unsupported.err;
#endif
    write_file(log + ".1", middle);
    write_file(log, current);
    write_file(dir.file("t.log.bak"), oldest); // not one of the set

    const auto json = [](std::vector<std::string> args) {
        args.insert(args.begin(), {"report", "--format", "json"});
        return run_tool(args);
    };
    const tool_result whole = json({"--rotated", log});
    ASSERT_EQ(whole.exit_code, 0) << whole.err;
    EXPECT_TRUE(contains(whole.out, R"({"channel": "TO.BURST", "flag": "burst", "count": 1)"))
        << whole.out;
    EXPECT_FALSE(contains(whole.out, "unclosed")) << whole.out;
    EXPECT_TRUE(contains(whole.out, "\"lines\": 7,")) << whole.out;
    EXPECT_LT(whole.out.find("t.log.2"), whole.out.find("t.log.1")) << whole.out;
    EXPECT_LT(whole.out.find("t.log.1"), whole.out.find("t.log\"")) << whole.out;

    // The same files by other names, or the set and its members again: read
    // once. A log given as it lies on disk, compressed or not.
    for (const std::vector<std::string> &again :
         {std::vector<std::string>{"--rotated", log, log, dir.path() + "/./t.log.1"},
          {dir.file("t.log.1"), "--rotated", log, "--rotated", log}}) {
        const tool_result r = json(again);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(without_files(r.out), without_files(whole.out));
    }

    // Sets caught in the middle of logrotate's work, each read as one copy
    // of every line: a copy beside its compressed twin still being written
    // (the plain one read), the twin alone once logrotate removed the
    // plain one, and the .backup that logrotate's "create" makes of a log
    // the exit created first; a compressed copy cut short with no twin is
    // still an error. Then what a local user may plant in a directory that
    // others may write, while the report runs as root: each is skipped
    // with a warning that names it, the run fails (code 2), and nothing of
    // it is read. And thousands of copies read with 64 descriptors.
    enum class planted {
        nothing,
        link_to_secret,
        fifo,
        link_to_zero,
        others_file,
        hard_link,
        others_link_as_log,
        hard_link_as_log
    };
    struct set_case {
        const char *what;
        std::vector<std::pair<std::string, std::string>> files; // name in the set, content
        planted plant;
        int code;
        int copies = 0; // that many more, numbered from 10, each with `middle`
        bool compressed = false;
    };
    std::string middle_gz;
#if TARVELO_HAVE_ZLIB
    write_gzip(dir.file("middle.gz"), middle);
    middle_gz = read_file(dir.file("middle.gz"));
#endif
    const std::string cut_gz = middle_gz.substr(0, middle_gz.size() / 2);
    const std::vector<std::pair<std::string, std::string>> set = {
        {".2", oldest}, {".1", middle}, {"", current}};
    const std::vector<set_case> sets = {
        {"backup",
         {{".1", oldest}, {"-2026120903.backup", middle}, {"", current}},
         planted::nothing,
         0},
#if TARVELO_HAVE_ZLIB
        {"compressing",
         {{".2", oldest}, {".1", middle}, {".1.gz", cut_gz}, {"", current}},
         planted::nothing,
         0},
        {"compressed", {{".2", oldest}, {".1.gz", middle_gz}, {"", current}}, planted::nothing, 0},
        {"cut", {{".2", oldest}, {".1.gz", cut_gz}, {"", current}}, planted::nothing, 2},
        {"many compressed", set, planted::nothing, 0, 2000, true},
#endif
        {"many", set, planted::nothing, 0, 2000},
        {"link to a secret", set, planted::link_to_secret, 2},
        {"FIFO", set, planted::fifo, 2},
        {"link to the zero device", set, planted::link_to_zero, 2},
        {"another user's file", set, planted::others_file, 2},
        {"hard link to a secret", set, planted::hard_link, 2},
        {"another user's link as the log",
         {{".2", oldest}, {".1", middle}},
         planted::others_link_as_log,
         2},
        {"hard link as the log", {{".2", oldest}, {".1", middle}}, planted::hard_link_as_log, 2},
    };
    // Root of a user namespace (an emulator's, a container's) may not give
    // a file to another user: tried, not assumed.
    constexpr uid_t someone_else = 65534;
    const bool can_give = [&] {
        const std::string probe = dir.file("probe");
        write_file(probe, "");
        const bool given = chown(probe.c_str(), someone_else, someone_else) == 0;
        unlink(probe.c_str());
        return given;
    }();
    // A log of another host, in a directory closed to others.
    ASSERT_EQ(mkdir(dir.file("closed").c_str(), 0700), 0);
    const std::string secret = dir.file("closed/secret.log");
    write_file(secret, password(30, "SECRET.CHANNEL"));
    ASSERT_EQ(chmod(secret.c_str(), 0600), 0);
    for (const set_case &c : sets) {
        SCOPED_TRACE(c.what);
        if ((c.plant == planted::others_file || c.plant == planted::others_link_as_log) &&
            !can_give) {
            std::printf("not run (only root can give a file away, and here cannot): %s\n", c.what);
            continue;
        }
        const std::string base = dir.file(std::string(c.what) + "/s.log");
        ASSERT_EQ(mkdir(dir.file(c.what).c_str(), 0700), 0);
        for (const auto &[suffix, content] : c.files) {
            write_file(base + suffix, content);
        }
        for (int n = 0; n < c.copies; ++n) {
            write_file(base + "." + std::to_string(10 + n), c.compressed ? middle_gz : middle);
        }
        std::string name = base + ".3";
        switch (c.plant) {
        case planted::nothing:
            name.clear();
            break;
        case planted::link_to_secret:
            ASSERT_EQ(symlink(secret.c_str(), name.c_str()), 0);
            break;
        case planted::fifo:
            ASSERT_EQ(mkfifo(name.c_str(), 0666), 0);
            break;
        case planted::link_to_zero:
            ASSERT_EQ(symlink("/dev/zero", name.c_str()), 0);
            break;
        case planted::others_file:
            write_file(name, password(30, "SECRET.CHANNEL"));
            ASSERT_EQ(chown(name.c_str(), someone_else, someone_else), 0);
            break;
        case planted::hard_link:
            ASSERT_EQ(link(secret.c_str(), name.c_str()), 0);
            break;
        case planted::others_link_as_log:
            name = base;
            ASSERT_EQ(symlink(secret.c_str(), name.c_str()), 0);
            ASSERT_EQ(lchown(name.c_str(), someone_else, someone_else), 0);
            break;
        case planted::hard_link_as_log:
            name = base;
            ASSERT_EQ(link(secret.c_str(), name.c_str()), 0);
            break;
        }
        if (c.plant != planted::nothing) {
            ASSERT_EQ(chmod(dir.file(c.what).c_str(), 01777), 0);
        }
        tool_run how;
        how.open_files_most = 64;
        const tool_result r = run_tool({"report", "--format", "json", "--rotated", base}, how);
        EXPECT_EQ(r.exit_code, c.code) << r.err;
        if (c.copies != 0) {
            EXPECT_TRUE(contains(r.out, "\"lines\": " + std::to_string(7 + 2 * c.copies) + ","))
                << r.err;
        } else if (c.code == 0 || c.plant != planted::nothing) {
            const std::string expected = name == base ? "TO.ACROSS" : without_files(whole.out);
            EXPECT_TRUE(contains(without_files(r.out), expected)) << r.out;
            EXPECT_FALSE(contains(r.out, "SECRET")) << r.out;
            EXPECT_EQ(r.err.empty(), c.plant == planted::nothing) << r.err;
            EXPECT_TRUE(name.empty() || contains(r.err, "warning: " + name + " ")) << r.err;
        }
    }

    // Before the log's first line, and just after a rotation moved it away:
    // an empty report, not a failure.
    write_file(dir.file("moved.log.1"), middle);
    for (const auto &[path, starts] :
         {std::pair{dir.file("none.log"), ""}, std::pair{dir.file("moved.log"), "TO.BURST"}}) {
        const tool_result r = run_tool({"report", "--format", "prometheus", "--rotated", path});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_TRUE(contains(r.out, "tarvelo_log_unparsed_lines 0\n")) << r.out;
        EXPECT_EQ(contains(r.out, "{channel=\"TO.BURST\",message=\"TARVELO003W\"} 2\n"),
                  *starts != '\0')
            << r.out;
    }

    // Two hosts, three and two refusals on one channel within a minute:
    // merged, a burst; kept apart, none, and each host's series labelled.
    write_file(dir.file("a.log"),
               password(1, "TO.PARTNER") + password(2, "TO.PARTNER") + password(3, "TO.PARTNER"));
    write_file(dir.file("b.log"), password(4, "TO.PARTNER") + password(5, "TO.PARTNER"));
    struct hosts_case {
        std::vector<std::string> args;
        std::vector<std::string> shown;
    };
    const std::vector<hosts_case> hosts = {
        {{"--format", "prometheus", dir.file("a.log"), dir.file("b.log")},
         {"tarvelo_channel_flags{channel=\"TO.PARTNER\",flag=\"burst\"} 1\n"}},
        {{"--format", "prometheus", "--host", "a", dir.file("a.log"), "--host", "b",
          dir.file("b.log")},
         {"tarvelo_channel_flags{host=\"a\",channel=\"TO.PARTNER\",flag=\"burst\"} 0\n",
          "tarvelo_channel_refusals_total{host=\"b\",channel=\"TO.PARTNER\",message="
          "\"TARVELO003W\"}"
          " 2\n"}},
        {{"--format", "json", "--host", "a", dir.file("a.log"), "--host", "b", dir.file("b.log")},
         {R"({"host": "a", "channel": "TO.PARTNER", "starts": 0, "closes": 0, "refusals": )"
          R"({"TARVELO003W": 3})",
          R"("flags": [],)", R"({"host": "b", "file": ")"}},
        {{"--host", "a", dir.file("a.log"), "--host", "b", dir.file("b.log")},
         {"Host a:\n  TO.PARTNER ", "\nHost b:\n  TO.PARTNER "}},
        // Two names that differ print differently, in every format, escaped
        // as the exit escapes a channel's name.
        {{"--format", "prometheus", "--host", "a\\x0ab", dir.file("a.log"), "--host", "a\nb",
          dir.file("b.log")},
         {"{host=\"a\\\\x5cx0ab\",channel=\"TO.PARTNER\",flag=\"burst\"} 0\n",
          "{host=\"a\\\\x0ab\",channel=\"TO.PARTNER\",flag=\"burst\"} 0\n"}},
        {{"--format", "json", "--host", "a\\x0ab", dir.file("a.log"), "--host", "a\nb",
          dir.file("b.log")},
         {R"({"host": "a\\x5cx0ab", "channel": "TO.PARTNER")",
          R"({"host": "a\\x0ab", "channel": "TO.PARTNER")"}},
        {{"--host", "a\\x0ab", dir.file("a.log"), "--host", "a\nb", dir.file("b.log")},
         {"Host a\\x5cx0ab:\n", "Host a\\x0ab:\n"}},
    };
    for (const hosts_case &h : hosts) {
        std::vector<std::string> args = h.args;
        args.insert(args.begin(), "report");
        const tool_result r = run_tool(args);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        for (const std::string &part : h.shown) {
            EXPECT_TRUE(contains(r.out, part)) << part << "\n" << r.out;
        }
    }

    // --output: the report replaces the file by a rename (a new file, so a
    // reader that has the old one open reads it whole), mode 0644 less the
    // umask; on failure the file is as it was.
    const std::string prom = dir.file("tarvelo.prom");
    write_file(prom, "old\n");
    const std::string old_file = prom + ".old";
    ASSERT_EQ(link(prom.c_str(), old_file.c_str()), 0);
    const mode_t mask = umask(027);
    const tool_result out =
        run_tool({"report", "--format", "prometheus", "--output", prom, "--rotated", log});
    umask(mask);
    EXPECT_EQ(out.exit_code, 0) << out.err;
    EXPECT_EQ(out.out, "");
    EXPECT_TRUE(contains(read_file(prom),
                         "tarvelo_channel_flags{channel=\"TO.BURST\",flag=\"burst\"} 1\n"));
    EXPECT_EQ(read_file(old_file), "old\n");
    struct stat status {};
    ASSERT_EQ(stat(prom.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0640u);
    const std::vector<std::string> left = dir.entries();
    EXPECT_EQ(std::count_if(left.begin(), left.end(),
                            [](const std::string &e) { return e.rfind(".tarvelo.prom", 0) == 0; }),
              0);
    ASSERT_EQ(mkdir(dir.file("taken").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0666), 0);
    write_file(dir.file("passwd"), "root:x:0:0:root:/root:/bin/bash\n");
    // Each exit code that the guide and the man page give, with FILE left
    // as it was by every run that fails.
    struct failing_case {
        std::vector<std::string> args;
        int code;
    };
    const std::vector<failing_case> failing = {
        {{"--output", prom, dir.file("missing.log")}, 2},
        {{"--output", prom, dir.file("fifo")}, 2},                // never waited on
        {{"--output", prom, "/dev/zero"}, 2},                     // never ends
        {{"--output", dir.file("t.log.1"), "--rotated", log}, 2}, // the report over a log
        // A mistyped directory would pass for a quiet log.
        {{"--output", prom, "--rotated", dir.file("no/such/dir/tarvelo.log")}, 2},
        {{"--output", prom, dir.file("passwd")}, 2}, // no line of the exit
        {{"--output", prom, "--channel", "TO.BURT", "--fail-on", "flagged", log}, 2},
#if TARVELO_HAVE_ZLIB
        {{"--output", prom, "--rotated", dir.file("cut/s.log")}, 2}, // compressed, cut short
#endif
        {{"--output", dir.file("no/such/dir/tarvelo.prom"), log}, 4},
        {{"--output", dir.file("taken"), log}, 4},
        {{"--output", dir.file("fifo"), log}, 4},
        {{"--output", "/dev/stdout", log}, 4}, // a link: replaced, it would be gone
        {{"--output", "/dev/null", log}, 4},
    };
    for (const failing_case &f : failing) {
        std::vector<std::string> args = f.args;
        args.insert(args.begin(), {"report", "--format", "prometheus"});
        SCOPED_TRACE(f.args[1] + " " + f.args.back());
        const tool_result r = run_tool(args);
        EXPECT_EQ(r.exit_code, f.code) << r.err;
        EXPECT_NE(r.err, "");
        EXPECT_EQ(r.out, "");
    }
    struct stat left_as_it_was {};
    EXPECT_EQ(lstat("/dev/stdout", &left_as_it_was), 0);
    EXPECT_TRUE(S_ISLNK(left_as_it_was.st_mode));
    EXPECT_EQ(lstat(dir.file("fifo").c_str(), &left_as_it_was), 0);
    EXPECT_TRUE(S_ISFIFO(left_as_it_was.st_mode));
    EXPECT_TRUE(contains(read_file(prom), "TO.BURST"));
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("taken")));
    EXPECT_EQ(read_file(dir.file("t.log.1")), middle);

    // A mistyped channel: named in a warning with the nearest channel read.
    const tool_result typo =
        run_tool({"report", "--channel", "TO.PARTNR", "--fail-on", "flagged", dir.file("a.log")});
    EXPECT_EQ(typo.exit_code, 2);
    EXPECT_TRUE(contains(typo.err, "tarvelo report: warning: --channel TO.PARTNR names no channel "
                                   "in the log (did you mean TO.PARTNER?)"))
        << typo.err;
}

} // namespace
} // namespace tarvelo::testing
