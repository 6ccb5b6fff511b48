// report.cpp: "tarvelo report": the exit's log files read back and
// summarised per channel, for an operator at a terminal, for programs, and
// for monitoring through node_exporter's textfile collector.
#include "tools/commands/commands.h"

#include "tools/report/formats.h"
#include "tools/report/local_clock.h"
#include "tools/report/summary.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

namespace tarvelo::tool {
namespace {

// Enough to hold the first lines of a file, to put a rotated set in order.
constexpr std::size_t head_size = 4096;
// Big reads: a log is read once, start to end, at the speed of the disk.
constexpr std::size_t read_size = std::size_t{1} << 20;

constexpr char standard_input[] = "-";

enum class report_format { text, json, prometheus };

// One of the files named, open, with its first bytes already read.
struct log_input {
    std::string name;
    std::FILE *file = nullptr;
    std::string head;
    std::optional<log_time> first;
};

struct file_closer {
    void operator()(log_input *input) const {
        if (input->file != nullptr && input->file != stdin) {
            std::fclose(input->file);
        }
        delete input; // NOLINT(cppcoreguidelines-owning-memory): the deleter owns it
    }
};

using open_input = std::unique_ptr<log_input, file_closer>;

std::string shown_name(const std::string &name) {
    return name == standard_input ? "standard input" : name;
}

failure read_failure(const std::string &name, const char *what) {
    return setting_error(std::string("cannot ") + what + " " + shown_name(name) + ": " +
                         std::strerror(errno));
}

// Reads up to `size` bytes; a failure to read is the user's file's fault.
std::size_t read_some(log_input &input, char *buffer, std::size_t size) {
    errno = 0;
    const std::size_t got = std::fread(buffer, 1, size, input.file);
    if (got < size && std::ferror(input.file) != 0) {
        throw read_failure(input.name, "read");
    }
    return got;
}

open_input open_log(const std::string &name) {
    open_input input(new log_input);
    input->name = name;
    if (name == standard_input) {
#if defined(_WIN32)
        _setmode(_fileno(stdin), _O_BINARY);
#endif
        input->file = stdin;
    } else {
        errno = 0;
        input->file = std::fopen(name.c_str(), "rb");
        if (input->file == nullptr) {
            throw read_failure(name, "open");
        }
    }
    // The reads are large; a second buffer in the C library would only
    // copy every byte once more.
    std::setvbuf(input->file, nullptr, _IONBF, 0);
    input->head.resize(head_size);
    input->head.resize(read_some(*input, input->head.data(), head_size));
    input->first = first_time_in(input->head);
    return input;
}

void summarise(log_input &input, log_summary &summary, std::vector<char> &buffer) {
    summary.begin_input(shown_name(input.name));
    summary.feed(input.head.data(), input.head.size());
    for (;;) {
        const std::size_t got = read_some(input, buffer.data(), buffer.size());
        summary.feed(buffer.data(), got);
        if (got < buffer.size()) {
            break;
        }
    }
    summary.end_input();
}

std::optional<log_time> time_option(const arguments &a, const char *name) {
    const std::optional<std::string> text = a.value(name);
    if (!text) {
        return std::nullopt;
    }
    const std::optional<log_time> t = parse_time_argument(*text, local_clock_now());
    if (!t) {
        throw usage_error(
            std::string(name) + " takes a local time such as 2026-12-08, " +
            "2026-12-08T18:43:24, \"Tue Dec  8 18:43:24 2026\", -1h, -30m, today or " +
            "yesterday, not \"" + *text + "\" (the log carries no time zone)");
    }
    return t;
}

report_format format_option(const arguments &a) {
    const std::string format = a.value("--format").value_or("text");
    if (format == "text") {
        return report_format::text;
    }
    if (format == "json") {
        return report_format::json;
    }
    if (format == "prometheus") {
        return report_format::prometheus;
    }
    throw usage_error("--format must be text, json or prometheus, not \"" + format + "\"");
}

bool fail_on_flagged(const arguments &a) {
    const std::optional<std::string> what = a.value("--fail-on");
    if (what && *what != "flagged") {
        throw usage_error("--fail-on takes \"flagged\", not \"" + *what + "\"");
    }
    return what.has_value();
}

int report(const arguments &a, command_table /*commands*/) {
    const report_format format = format_option(a);
    const bool fail_on_flags = fail_on_flagged(a);
    report_filter filter;
    filter.since = time_option(a, "--since");
    filter.until = time_option(a, "--until");
    if (filter.since && filter.until && *filter.since >= *filter.until) {
        throw usage_error("--since must come before --until");
    }
    for (const std::string &name : a.values("--channel")) {
        filter.channels.insert(name);
    }
    const std::vector<std::string> &names = a.positional();
    if (names.empty()) {
        throw usage_error("needs at least one LOGFILE (\"-\" for standard input)");
    }
    if (std::count(names.begin(), names.end(), standard_input) > 1) {
        throw usage_error("standard input (\"-\") can be read only once");
    }

    // Every file is opened before any is summarised: a name that is wrong
    // is an error before a word of the report is written.
    std::vector<open_input> inputs;
    inputs.reserve(names.size());
    for (const std::string &name : names) {
        inputs.push_back(open_log(name));
    }
    // Oldest first, so that bursts and starts without a close are seen in
    // the order they happened; a file with no timestamp at all goes last.
    std::stable_sort(inputs.begin(), inputs.end(), [](const open_input &x, const open_input &y) {
        if (!x->first || !y->first) {
            return x->first.has_value() && !y->first.has_value();
        }
        return *x->first < *y->first;
    });

    log_summary summary(filter);
    std::vector<char> buffer(read_size);
    try {
        for (open_input &input : inputs) {
            summarise(*input, summary, buffer);
            input.reset(); // closed as soon as it is read
        }
    } catch (const summary_full &e) {
        throw failure(exit_system, e.what());
    }
    summary.finish();

    // A wrong path (a cron job's, say) must not feed monitoring a report of
    // nothing: a file with lines but none of the exit's is named, and the
    // exit code says so. An empty file is a log nothing was written to yet.
    bool foreign = false;
    for (const input_totals &input : summary.inputs()) {
        if (input.lines != 0 && input.exit_lines == 0) {
            std::fprintf(stderr,
                         "tarvelo report: warning: %s holds %llu lines and none of them is a line "
                         "of the exit: is it the exit's log file?\n",
                         input.name.c_str(), static_cast<unsigned long long>(input.lines));
            foreign = true;
        }
    }

    // Written as it is made.
    static char out_buffer[1 << 16];
    std::setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);
    switch (format) {
    case report_format::text:
        text_report(summary, stdout);
        break;
    case report_format::json:
        json_report(summary, stdout);
        break;
    case report_format::prometheus:
        prometheus_report(summary, stdout);
        break;
    }
    // A report cut short fails as any output does (main.cpp): exit code 4.
    if (foreign) {
        return exit_usage;
    }
    bool flagged = false;
    for (std::size_t i = 0; i < summary.channel_count() && !flagged; ++i) {
        flagged = summary.flagged(i);
    }
    return fail_on_flags && flagged ? exit_refused : exit_ok;
}

constexpr option options[] = {
    {"--since", "TIME", "only lines at or after TIME"},
    {"--until", "TIME", "only lines before TIME"},
    {"--channel", "NAME",
     "only the channel NAME, as the report shows it (without the blanks that pad it); may be "
     "given more than once"},
    {"--format", "FORMAT",
     "text: a table for a terminal, worst first (the default); json: for programs; prometheus: "
     "the text exposition format, for node_exporter's textfile collector"},
    {"--fail-on", "flagged", "exit with code 1 when any channel reported is flagged"},
};

constexpr exit_meaning codes[] = {
    {exit_ok, "the report was printed"},
    {exit_refused, "the report was printed, and with --fail-on flagged a channel is flagged"},
    {exit_usage, "bad arguments, a log file that cannot be read (nothing is printed), or one\n"
                 "that holds lines but none of the exit's (the report is printed)"},
    {exit_system, "the report could not be written whole"},
};

std::string identifier(int index) {
    return std::string(messages[static_cast<std::size_t>(index)].identifier);
}

// The description takes the identifiers from the catalogue and the burst
// limits from the summary.
const std::string description =
    "Reads the exit's log files and summarises them per channel: starts\n(" +
    identifier(msg_exit_started) + "), closes (" + identifier(msg_channel_closed) +
    ") and refusals by message (" + identifier(refusal_messages.front()) + " to\n" +
    identifier(refusal_messages.back()) + ", the two texts of " +
    identifier(msg_invalid_exit_call) +
    " apart), with the times of the\n"
    "channel's first and last lines. The files may be a rotated set given in any\n"
    "order: they are read oldest first, by the time of their first line. \"-\" is\n"
    "standard input (e.g. \"zcat tarvelo.log.2.gz | tarvelo report - tarvelo.log*\").\n"
    "\n"
    "Flagged, with \"!\":\n"
    "  impersonation  the partner did not prove the password, or sent the exit its\n"
    "                 own challenge (" +
    identifier(msg_impersonation) +
    ")\n"
    "  burst          " +
    std::to_string(burst_refusals) + " refusals on one channel within " +
    std::to_string(burst_seconds) + " seconds (any messages\n                 " +
    identifier(refusal_messages.front()) + " to " + identifier(refusal_messages.back()) +
    "; the host retries about once a\n"
    "                 minute); counted again after " +
    std::to_string(burst_refusals) +
    " more\n"
    "  revoked        the partner service reported the channel revoked (" +
    identifier(msg_revoked) +
    ")\n"
    "  unclosed       starts with no close after them: the host stopped or crashed\n"
    "                 mid-channel, or the channel is still running\n";

} // namespace

const command report_command = {
    "report",
    "[--since TIME] [--until TIME] [--channel NAME]...\n"
    "                      [--format text|json|prometheus] [--fail-on flagged]\n"
    "                      LOGFILE...",
    "the exit's log files summarised per channel, refusals and attacks flagged",
    description.c_str(),
    options,
    "TIME is in the log's own local time: 2026-12-08, 2026-12-08T18:43,\n"
    "\"2026-12-08 18:43:24\", or as the log writes it, \"Tue Dec  8 18:43:24 2026\";\n"
    "a date alone means its midnight. Or relative to now: -90s, -30m, -1h, -2d,\n"
    "today, yesterday (their midnight).\n"
    "\n"
    "A line that is no line of the exit is counted and reported at the end; it\n"
    "never stops the report. A file that holds lines but none of the exit's is\n"
    "named in a warning on standard error, and the exit code is 2.\n",
    codes,
    report,
};

} // namespace tarvelo::tool
