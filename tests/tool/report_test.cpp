// "tarvelo report" over a log the exit itself wrote: channels of a host on
// several threads, every ending of a sign-on, trace on and off, a start
// with no close, a channel that cannot have its buffer, a partner's
// challenge with a newline in it, and a line of the earlier
// release. What the report counts is what was driven, in each format, with
// the files given in any order.
#include "tests/support/endings.h"
#include "tests/support/support.h"
#include "tool_runner.h"

#include "log/writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
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

// Just enough JSON to read the report back: objects, arrays, strings with
// their escapes, whole numbers. `ok` turns false at the first thing that is
// not well-formed JSON.
struct json {
    std::string text;              // a string, or a number's digits
    std::vector<std::string> keys; // an object's members, in order
    std::vector<json> values;
    std::vector<json> items;

    const json &operator[](const std::string &key) const {
        for (std::size_t i = 0; i < keys.size(); ++i) {
            if (keys[i] == key) {
                return values[i];
            }
        }
        static const json none;
        return none;
    }
    std::uint64_t number() const { return std::strtoull(text.c_str(), nullptr, 10); }
};

class json_reader {
public:
    explicit json_reader(const std::string &text) : s_(text) {}

    json document() {
        json v = value();
        skip();
        ok_ = ok_ && i_ == s_.size();
        return v;
    }
    bool ok() const { return ok_; }

private:
    void skip() {
        while (i_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[i_])) != 0) {
            ++i_;
        }
    }
    bool take(char c) {
        skip();
        if (i_ < s_.size() && s_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }
    std::string string() {
        std::string out;
        if (!take('"')) {
            ok_ = false;
            return out;
        }
        while (ok_ && i_ < s_.size() && s_[i_] != '"') {
            char c = s_[i_++];
            if (static_cast<unsigned char>(c) < 0x20) {
                ok_ = false;
            } else if (c == '\\' && i_ < s_.size()) {
                c = s_[i_++];
                if (c == 'u' && i_ + 4 <= s_.size()) {
                    out += static_cast<char>(std::strtoul(s_.substr(i_, 4).c_str(), nullptr, 16));
                    i_ += 4;
                    continue;
                }
                ok_ = ok_ && (c == '"' || c == '\\' || c == '/');
            }
            out += c;
        }
        ok_ = ok_ && take('"');
        return out;
    }
    json value() {
        json v;
        skip();
        if (i_ >= s_.size()) {
            ok_ = false;
        } else if (s_[i_] == '"') {
            v.text = string();
        } else if (take('{')) {
            if (!take('}')) {
                do {
                    std::string key = string();
                    ok_ = ok_ && take(':');
                    v.keys.push_back(key);
                    v.values.push_back(value());
                } while (ok_ && take(','));
                ok_ = ok_ && take('}');
            }
        } else if (take('[')) {
            if (!take(']')) {
                do {
                    v.items.push_back(value());
                } while (ok_ && take(','));
                ok_ = ok_ && take(']');
            }
        } else {
            while (i_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[i_])) != 0) {
                v.text += s_[i_++];
            }
            ok_ = ok_ && !v.text.empty();
        }
        return v;
    }

    const std::string &s_;
    std::size_t i_ = 0;
    bool ok_ = true;
};

// The exposition format read back: every sample by its name and its
// labels, unescaped; every family must have its HELP and TYPE first.
std::map<std::string, std::uint64_t> read_samples(const std::string &text) {
    std::map<std::string, std::uint64_t> samples;
    std::set<std::string> described;
    for (const std::string &line : split_lines(text)) {
        if (line.rfind("# HELP ", 0) == 0) {
            described.insert(line.substr(7, line.find(' ', 7) - 7));
            continue;
        }
        if (line.rfind("# TYPE ", 0) == 0) {
            const std::string name = line.substr(7, line.find(' ', 7) - 7);
            EXPECT_TRUE(described.count(name)) << "TYPE before HELP: " << line;
            continue;
        }
        std::size_t i = line.find_first_of("{ ");
        std::string key = line.substr(0, i);
        EXPECT_TRUE(described.count(key)) << "a sample before its HELP and TYPE: " << line;
        if (i < line.size() && line[i] == '{') {
            ++i;
            while (i < line.size() && line[i] != '}') {
                const std::size_t equals = line.find("=\"", i);
                if (equals == std::string::npos) {
                    ADD_FAILURE() << "not a label: " << line;
                    return samples;
                }
                key += " " + line.substr(i, equals - i) + "=";
                for (i = equals + 2; i < line.size() && line[i] != '"'; ++i) {
                    if (line[i] == '\\' && i + 1 < line.size()) {
                        ++i;
                        key += line[i] == 'n' ? '\n' : line[i];
                    } else {
                        key += line[i];
                    }
                }
                i += i + 1 < line.size() && line[i + 1] == ',' ? 2 : 1;
            }
            ++i;
        }
        EXPECT_EQ(samples.count(key), 0u) << "twice: " << line;
        samples[key] = std::strtoull(line.c_str() + i, nullptr, 10);
    }
    return samples;
}

std::string report_key(ending e) {
    return std::string(messages[static_cast<std::size_t>(message_index_of(e))].key);
}

// Seconds since the epoch of a time the report shows, "2026-12-08T18:43:24",
// read as this machine's local time.
std::int64_t epoch_of(const std::string &iso) {
    std::tm fields{};
    fields.tm_year = std::stoi(iso.substr(0, 4)) - 1900;
    fields.tm_mon = std::stoi(iso.substr(5, 2)) - 1;
    fields.tm_mday = std::stoi(iso.substr(8, 2));
    fields.tm_hour = std::stoi(iso.substr(11, 2));
    fields.tm_min = std::stoi(iso.substr(14, 2));
    fields.tm_sec = std::stoi(iso.substr(17, 2));
    fields.tm_isdst = -1;
    return static_cast<std::int64_t>(std::mktime(&fields));
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
                          {"RPT.\\x09\\x0d\\x1b\\x7f", "impersonation", 1},
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
        quiet.take();
    }
    // A line of the earlier release, which spelled the service ZAV.
    std::ofstream(log, std::ios::app | std::ios::binary)
        << now_stamp() << " TARVELO003W - ZAV Password Violation channel => RPT.EARLIER         \n";
    expected["RPT.EARLIER"] = {0, 0, {{"TARVELO003W", 1}}};
    // And a line some other program wrote into the same file.
    std::ofstream(log, std::ios::app | std::ios::binary) << "logrotate: rotated at midnight\n";

    // A channel name with a tab, a carriage return, ESC and DEL, as an exit
    // that escapes untrusted bytes writes it, with a partner's challenge
    // escaped in its trace line (longer than 33 characters so), and as an
    // earlier exit wrote it, raw: one channel, under the escaped name.
    const std::string raw_name = std::string("RPT.\t\r\x1b\x7f") + std::string(12, ' ');
    const std::string shown_name = escaped("RPT.\t\r\x1b\x7f");
    std::ofstream(log, std::ios::app | std::ios::binary)
        << now_stamp() << " TARVELO003W - KOR Password Violation channel => " << escaped(raw_name)
        << "\n"
        << now_stamp() << " Trace ....>        - MD5 Challenge received Channel => "
        << escaped(raw_name) << " ---> "
        << escaped("\x01\x02\x03\x04\x05\x06\x07\x08" + std::string(24, 'A')) << " \n"
        << now_stamp() << " TARVELO007E - Possible Partner impersonation! on channel => "
        << raw_name << "\n";
    expected[shown_name] = {0, 0, {{"TARVELO003W", 1}, {"TARVELO007E", 1}}};
    // The backslash channel as an earlier exit wrote it, raw: the same
    // channel. And a name no exit could write, 80 bytes that escape to 320:
    // not a line of the exit.
    std::ofstream(log, std::ios::app | std::ios::binary)
        << now_stamp() << " TARVELO003W - KOR Password Violation channel => "
        << "RPT.\"SHORT\"\\ANSWER  \n"
        << now_stamp() << " TARVELO001I - KOR Security Exit Started Channel => "
        << std::string(80, '\x01') << "\n";
    expected[escaped("RPT.\"SHORT\"\\ANSWER")].refusals["TARVELO003W"] = 1;
    // Its fifth refusal within the minute: a burst.
    expected_flags.emplace(escaped("RPT.\"SHORT\"\\ANSWER"), "burst", 1);

    const std::string whole = read_file(log);
    const std::vector<std::string> lines = split_lines(whole);
    const auto forged_at = std::find_if(lines.begin(), lines.end(), [&](const std::string &line) {
        return line.size() > forged_line.size() &&
               line.compare(line.size() - forged_line.size(), forged_line.size(), forged_line) == 0;
    });
    ASSERT_NE(forged_at, lines.end()) << whole;
    const auto foreign_at = std::find(lines.begin(), lines.end(), "logrotate: rotated at midnight");
    ASSERT_NE(foreign_at, lines.end()) << whole;

    // JSON: the counts of every channel, the flags, the one line that is
    // not the exit's (the forged trace line is the exit's, escaped).
    const tool_result r = run_tool({"report", "--format", "json", log});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    json_reader reader(r.out);
    const json report = reader.document();
    ASSERT_TRUE(reader.ok()) << r.out;
    std::map<std::string, counts> reported;
    std::map<std::string, std::string> last_seen;
    for (const json &c : report["channels"].items) {
        last_seen[c["channel"].text] = c["last"].text;
        counts &n = reported[c["channel"].text];
        n.starts = c["starts"].number();
        n.closes = c["closes"].number();
        const json &refusals = c["refusals"];
        for (std::size_t i = 0; i < refusals.keys.size(); ++i) {
            n.refusals[refusals.keys[i]] = refusals.values[i].number();
        }
        EXPECT_EQ(c["first"].text.size(), 19u) << c["first"].text; // 2026-12-08T18:43:24
    }
    EXPECT_EQ(reported, expected);
    std::set<flag_key> flags;
    for (const json &f : report["flags"].items) {
        flags.emplace(f["channel"].text, f["flag"].text, f["count"].number());
    }
    EXPECT_EQ(flags, expected_flags);
    EXPECT_EQ(report["unparsed"].number(), 2u);
    EXPECT_EQ(report["lines"].number(), lines.size());
    ASSERT_EQ(report["files"].items.size(), 1u) << r.out;
    EXPECT_EQ(report["files"].items[0]["file"].text, log);
    EXPECT_EQ(report["files"].items[0]["lines"].number(), lines.size());
    EXPECT_EQ(report["files"].items[0]["exit_lines"].number(), lines.size() - 2);

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

    // Prometheus: every counter of every channel, zeros included, label
    // values escaped.
    write_file(log, whole);
    const tool_result prom = run_tool({"report", "--format", "prometheus", log});
    EXPECT_EQ(prom.exit_code, 0) << prom.err;
    std::map<std::string, std::uint64_t> want;
    for (const auto &[channel, c] : expected) {
        want["tarvelo_channel_starts_total channel=" + channel] = c.starts;
        want["tarvelo_channel_closes_total channel=" + channel] = c.closes;
        for (const ending e :
             {ending::password_violation, ending::revoked, ending::sender_not_started,
              ending::unknown_status, ending::impersonation, ending::not_registered,
              ending::invalid_exit_call, ending::invalid_state}) {
            const std::string key = report_key(e);
            const auto n = c.refusals.find(key);
            want["tarvelo_channel_refusals_total channel=" + channel + " message=" + key] =
                n == c.refusals.end() ? 0 : n->second;
        }
        const auto n = c.refusals.find("TARVELO002E");
        want["tarvelo_channel_refusals_total channel=" + channel + " message=TARVELO002E"] =
            n == c.refusals.end() ? 0 : n->second;
    }
    for (const auto &[channel, c] : expected) {
        for (const char *flag : {"impersonation", "burst", "revoked", "unclosed"}) {
            want["tarvelo_channel_flags channel=" + channel + " flag=" + flag] = 0;
        }
    }
    for (const auto &[channel, flag, count] : expected_flags) {
        want["tarvelo_channel_flags channel=" + channel + " flag=" + flag] = count;
    }
    for (const auto &[channel, last] : last_seen) {
        want["tarvelo_channel_last_line_timestamp_seconds channel=" + channel] =
            static_cast<std::uint64_t>(epoch_of(last));
    }
    want["tarvelo_log_unparsed_lines"] = 2;
    EXPECT_EQ(read_samples(prom.out), want) << prom.out;
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
    EXPECT_NE(text.out.find("2 unparseable (the first: " + log + " line " +
                            std::to_string(foreign_at - lines.begin() + 1) + ")"),
              std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("! " + shown_name + " "), std::string::npos) << text.out;

    // The channels asked for, with --channel again and again; relative
    // times; a flag that fails the run when asked to.
    const auto channels_in = [](const std::string &out) {
        json_reader read(out);
        const json document = read.document();
        std::set<std::string> names;
        for (const json &c : document["channels"].items) {
            names.insert(c["channel"].text);
        }
        EXPECT_TRUE(read.ok()) << out;
        return names;
    };
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
        {{"--channel", "RPT.IMPOSTOR", "--channel", shown_name}, 0, {"RPT.IMPOSTOR", shown_name}},
        {{"--channel", "RPT.SIGNED.ON", "--fail-on", "flagged"}, 0, {"RPT.SIGNED.ON"}},
        {{"--channel", "RPT.REVOKED", "--fail-on", "flagged"}, 1, {"RPT.REVOKED"}},
        {{"--channel", "NO.SUCH.CHANNEL"}, 0, {}},
        {{"--fail-on", "flagged", "--since", "-1h"}, 1, every},
        {{"--since", "yesterday"}, 0, every},
        {{"--until", "-1h"}, 0, {}},
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
