// report_command.cpp: "tarvelo report": the exit's log files read back and
// summarised per channel, for an operator at a terminal, for programs, and
// for monitoring through node_exporter's textfile collector.
#include "tools/cli.h"
#include "tools/commands.h"
#include "tools/log_report.h"
#include "tools/report_formats.h"

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

const char report_help[] =
    "Usage: tarvelo report [--since TIME] [--until TIME] [--format text|json|prometheus]\n"
    "                      LOGFILE...\n"
    "\n"
    "Reads the exit's log files and summarises them per channel: starts\n"
    "(TARVELO001I), closes (TARVELO008I) and refusals by message (TARVELO002E to\n"
    "TARVELO010E, the two texts of TARVELO009E apart), with the times of the\n"
    "channel's first and last lines. The files may be a rotated set given in any\n"
    "order: they are read oldest first, by the time of their first line. \"-\" is\n"
    "standard input (e.g. \"zcat tarvelo.log.2.gz | tarvelo report - tarvelo.log*\").\n"
    "\n"
    "Flagged, with \"!\":\n"
    "  impersonation  the partner did not prove the password, or sent the exit its\n"
    "                 own challenge (TARVELO007E)\n"
    "  burst          5 refusals on one channel within 60 seconds (any messages\n"
    "                 TARVELO002E to TARVELO010E; the host retries about once a\n"
    "                 minute); counted again after 5 more\n"
    "  revoked        the partner service reported the channel revoked (TARVELO004E)\n"
    "  unclosed       starts with no close after them: the host stopped or crashed\n"
    "                 mid-channel, or the channel is still running\n"
    "\n"
    "Options:\n"
    "  --since TIME     only lines at or after TIME\n"
    "  --until TIME     only lines before TIME\n"
    "  --format FORMAT  text: a table for a terminal, worst first (the default);\n"
    "                   json: for programs; prometheus: the text exposition\n"
    "                   format, for node_exporter's textfile collector\n"
    "  -h, --help       this text\n"
    "\n"
    "TIME is in the log's own local time: 2026-12-08, 2026-12-08T18:43,\n"
    "\"2026-12-08 18:43:24\", or as the log writes it, \"Tue Dec  8 18:43:24 2026\".\n"
    "A date alone means its midnight.\n"
    "\n"
    "A line that is no line of the exit is counted and reported at the end; it\n"
    "never stops the report.\n"
    "\n";

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

failure read_failure(const std::string &name, const char *what) {
    const std::string shown = name == standard_input ? "standard input" : name;
    return usage_error(std::string("cannot ") + what + " " + shown + ": " + std::strerror(errno));
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
    summary.begin_input(input.name == standard_input ? "standard input" : input.name);
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
    const std::optional<log_time> t = parse_time_argument(*text);
    if (!t) {
        throw usage_error(std::string(name) + " takes a local time such as 2026-12-08, " +
                          "2026-12-08T18:43:24 or \"Tue Dec  8 18:43:24 2026\", not \"" + *text +
                          "\" (the log carries no time zone)");
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

} // namespace

int report_command(const std::vector<std::string> &args) {
    const arguments a(args, {{"--since", true}, {"--until", true}, {"--format", true}});
    if (a.help()) {
        std::fputs(report_help, stdout);
        std::fputs(exit_codes_help("report").c_str(), stdout);
        return exit_ok;
    }
    const report_format format = format_option(a);
    time_window window;
    window.since = time_option(a, "--since");
    window.until = time_option(a, "--until");
    if (window.since && window.until && *window.since >= *window.until) {
        throw usage_error("--since must come before --until");
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

    log_summary summary(window);
    std::vector<char> buffer(read_size);
    for (open_input &input : inputs) {
        summarise(*input, summary, buffer);
        input.reset(); // closed as soon as it is read
    }
    summary.finish();

    std::string report;
    switch (format) {
    case report_format::text:
        report = text_report(summary, names.size());
        break;
    case report_format::json:
        report = json_report(summary);
        break;
    case report_format::prometheus:
        report = prometheus_report(summary);
        break;
    }
    // A report cut short must not pass for a whole one: a textfile
    // collector would read it.
    errno = 0;
    std::fwrite(report.data(), 1, report.size(), stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        throw failure(exit_system, std::string("cannot write the report: ") + std::strerror(errno));
    }
    return exit_ok;
}

} // namespace tarvelo::tool
