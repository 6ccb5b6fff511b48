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
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <set>
#include <thread>
#include <tuple>

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
    summary.finish();
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

} // namespace
} // namespace tarvelo::testing
