// make_program.cpp: writes tarvelo.mtail, the program with which mtail
// counts the lines of the exit's log for Prometheus, from the message
// catalogue the exit writes them from. Each line the exit can write is
// matched whole by a pattern made of its own format, so a new or changed
// message is counted the moment the build has it, under its own key.
//
// Usage: make_program OUTPUT
#include "log/catalogue.h"
#include "log/line.h"

#include <cstdio>
#include <string>
#include <string_view>

namespace {

using tarvelo::message;
using tarvelo::message_kind;
using tarvelo::messages;

// What starts a channel: the only line whose channel a later line without
// one (TARVELO002E) can borrow, and only when it comes just before.
constexpr std::string_view started_key = messages[tarvelo::msg_exit_started].key;
constexpr std::string_view borrowing_key = messages[tarvelo::msg_allocation_failure].key;

// The local time in the layout of the C library's ctime, without its
// newline ("Tue Dec  8 18:43:24 2026"); the line after TARVELO002E begins
// with the blank that line ends with.
constexpr std::string_view line_start =
    "^ ?[A-Z][a-z][a-z] [A-Z][a-z][a-z] [ 0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9] [0-9]{4} ";

// One byte of a channel name or an argument as the exit writes it: as it
// is, or "\xNN" (a backslash always begins one).
constexpr std::string_view shown_byte = R"((?:\\x[0-9a-f]{2}|[^\\]))";

// The channel name field: its 20 bytes, blanks that pad it included, where
// the rest of the line follows there; else the shortest run of bytes it
// follows, for a name the host cut short with a zero byte. So a name that
// holds the text after it (" - ZT Code => ") stays whole, as tarvelo report
// reads it.
// Captured as "channel" where the program uses it (`captured`): mtail warns
// of a named group that nothing reads.
std::string name_field(bool captured) {
    const std::string width = std::to_string(tarvelo::channel_name_max);
    const std::string shorter = std::to_string(tarvelo::channel_name_max - 1);
    return std::string(captured ? "(?P<channel>" : "(?:") + std::string(shown_byte) + "{" + width +
           "}|" + std::string(shown_byte) + "{0," + shorter + "}?)";
}

// Whether the program reads the channel of a line of `m`: a refusal names
// one (but TARVELO002E, which borrows it), and a start lends it.
bool channel_used(const message &m) {
    return m.key == started_key || (m.kind == message_kind::refusal && m.key != borrowing_key);
}

// The text of a format, as a regular expression that matches it alone.
std::string literal(std::string_view text) {
    std::string out;
    for (const char c : text) {
        if (std::string_view(R"(\^$.|?*+()[]{}/)").find(c) != std::string_view::npos) {
            out += '\\';
        }
        out += c;
    }
    return out;
}

// The pattern of a whole line of `m`: its format with the time, the channel
// name field and the argument in place of its placeholders, anchored at
// both ends. The line feed ends the line; what follows it (the blank after
// TARVELO002E) belongs to the next.
std::string pattern_of(const message &m) {
    std::string_view format = m.format;
    format.remove_prefix(std::string_view("%s ").size());
    format = format.substr(0, format.find('\n'));
    std::string pattern(line_start);
    int placeholder = 0;
    for (std::size_t at; (at = format.find("%s")) != std::string_view::npos;) {
        pattern += literal(format.substr(0, at));
        pattern += placeholder++ == 0 ? name_field(channel_used(m)) : ".*";
        format.remove_prefix(at + 2);
    }
    return pattern + literal(format) + "$";
}

const char *const heading =
    R"program(# tarvelo.mtail: the TARVELO exit's log files counted for Prometheus by
# mtail. Made by the build from the exit's message catalogue: every line the
# exit can write is matched whole by a pattern made of its own format.
# Installed as /etc/mtail/tarvelo.mtail; mtail follows the logs named in
# LOGS= of /etc/default/mtail (see the operator's guide, "Monitoring with
# mtail"). Edits here are lost at the next upgrade of the package.
#
# Every series has the label log, the log file's path (one host writes one
# log), and mtail's prog. They are counters while mtail runs: mtail reads
# each line once, through rotation and compression, and starts again from
# zero, at the logs' end, when it starts.

# Every line read, by message: the identifier ("TARVELO001I", a start;
# "TARVELO008I", a close; the refusals), with the fault after it where two
# texts share one ("TARVELO009E-call"); "trace" for a trace line;
# "unparsed" for a line that is no line of the exit whole.
counter tarvelo_lines_total by log, message

# The refusals of each channel, by message, and so its impersonation
# attempts (TARVELO007E). A channel has series only from its first refusal,
# and loses them after a day without one, so that a host's thousands of
# channels that sign on cost no series. The channel is its name as the exit
# writes it, without the blanks that pad it: "\xNN" for a byte that is not
# printable, "(no channel)" where the line names none.
counter tarvelo_channel_refusals_total by log, channel, message

# When mtail last read a line of the log, in seconds since the epoch: a log
# that falls silent, or is not followed at all, shows here.
gauge tarvelo_log_last_line_timestamp_seconds by log

# The channel of the line just read, once its padding is taken off.
hidden text tarvelo_channel
# The channel name field of the log's last line when that line was a start
# (TARVELO001I), else empty: TARVELO002E names no channel, and is written
# right after the start of the channel it refuses.
hidden text tarvelo_started by log
)program";

// The statements that count a refusal of `key` for the channel in
// tarvelo_channel, and give its series a day to live.
std::string refusal_count(std::string_view key) {
    const std::string series = "tarvelo_channel_refusals_total[getfilename()][tarvelo_channel][\"" +
                               std::string(key) + "\"]";
    return "  len(tarvelo_channel) == 0 {\n    tarvelo_channel = \"(no channel)\"\n  }\n  " +
           series + "++\n  del " + series + " after 24h\n";
}

std::string program() {
    std::string out = heading;
    // Every line, whatever it holds, is a sign of life of its log.
    out += "\n/^/ {\n  tarvelo_log_last_line_timestamp_seconds[getfilename()] = timestamp()\n";
    // The numbered messages, then the trace lines: each line tried against
    // each pattern until one matches, most frequent first.
    for (std::size_t i = 0; i < messages.size(); ++i) {
        const message &m = messages[i];
        const bool trace = m.kind == message_kind::trace;
        const std::string key = trace ? "trace" : std::string(m.key);
        out += "\n";
        out += i == 0 ? "" : "otherwise {\n";
        out += "/" + pattern_of(m) + "/ {\n";
        out += "  tarvelo_lines_total[getfilename()][\"" + key + "\"]++\n";
        if (m.kind == message_kind::refusal) {
            if (m.key == borrowing_key) {
                out += "  tarvelo_channel = subst(/ +$/, \"\", tarvelo_started[getfilename()])\n";
            } else {
                out += "  tarvelo_channel = subst(/ +$/, \"\", $channel)\n";
            }
            out += refusal_count(m.key);
        }
        if (m.key == started_key) {
            out += "  tarvelo_started[getfilename()] = $channel\n";
        } else {
            out += "  tarvelo_started[getfilename()] = \"\"\n";
        }
        out += "}\n";
    }
    out += "\notherwise {\n  tarvelo_lines_total[getfilename()][\"unparsed\"]++\n"
           "  tarvelo_started[getfilename()] = \"\"\n}\n";
    for (std::size_t i = 1; i < messages.size(); ++i) {
        out += "}\n";
    }
    return out + "}\n";
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fputs("usage: make_program OUTPUT\n", stderr);
        return 2;
    }
    const std::string text = program();
    std::FILE *file = std::fopen(argv[1], "wb");
    if (file == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if (std::fclose(file) != 0 || !written) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
