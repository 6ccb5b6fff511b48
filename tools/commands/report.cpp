// report.cpp: "tarvelo report": the exit's log files read back and
// summarised per channel, for an operator at a terminal, for programs, and
// for monitoring through node_exporter's textfile collector.
#include "tools/command_table.h"

#include "tools/closest_match.h"

#include "tools/report/formats.h"
#include "tools/report/local_clock.h"
#include "tools/report/log_files.h"
#include "tools/report/log_reader.h"
#include "tools/report/summary.h"
#include "tools/system/file_reading.h"
#include "tools/system/replaced_file.h"
#include "tools/system/shown_text.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tarvelo::tool {
namespace {

constexpr char standard_input[] = "-";

enum class report_format { text, json, prometheus };

// What the command line asks of the report, checked.
struct report_request {
    report_format format = report_format::text;
    bool fail_on_flags = false;
    report_filter filter;
    std::optional<std::string> output;
};

// What the command line names: the hosts in order ("" before any is
// named) and the files of each.
struct named_logs {
    std::vector<std::string> hosts{std::string()};
    std::vector<named_log> logs;
};

constexpr text_option since_option{{"--since", "TIME", "only lines at or after TIME"}};
constexpr text_option until_option{{"--until", "TIME", "only lines before TIME"}};
constexpr list_option channel_option{
    {"--channel", "NAME",
     "only the channel NAME, as the report shows it (without the blanks that pad it); may be "
     "given more than once"}};
constexpr choice<report_format> formats[] = {{"text", report_format::text},
                                             {"json", report_format::json},
                                             {"prometheus", report_format::prometheus}};
constexpr choice_option<report_format> format_option{
    {"--format", "FORMAT",
     "text: a table for a terminal, worst first (the default); json: for programs; prometheus: "
     "the text exposition format, for a one-off check: counts of the lines in the files read, "
     "not counters that only grow"},
    formats};
// One word for now: what else to fail on may come.
constexpr choice<bool> fail_on_words[] = {{"flagged", true}};
constexpr choice_option<bool> fail_on_option{
    {"--fail-on", "flagged",
     "exit with code 1 when any channel reported is flagged, and with code 2 when a --channel "
     "names no channel"},
    fail_on_words};
constexpr text_option output_option{
    {"--output", "FILE",
     "write the report to FILE: whole, under a temporary name beside it, then renamed over it, "
     "so that a reader never sees half a report (mode 0644 less the umask); FILE must be a "
     "regular file or missing, and a run that fails (exit code 2 or 4) leaves it as it was"}};
constexpr list_option rotated_option{
    {"--rotated", "PATH",
     "read PATH and every rotated copy of it that exists (PATH.1, PATH.2.gz, ..., "
     "PATH-YYYYMMDD[HH][.gz], and the PATH-YYYYMMDDHH.backup that logrotate's create may "
     "leave), a copy and its compressed twin once; only regular files of PATH's owner or root, "
     "no link, are read, anything else named in a warning (exit code 2); none yet is an empty "
     "report; may be given more than once"}};
constexpr list_option host_option{
    {"--host", "NAME",
     "the files after it, up to the next --host, are the logs of the host NAME: channels are "
     "counted, and refusals and starts matched, within each host alone; the report shows the "
     "host"}};

constexpr const option *options[] = {
    &since_option,   &until_option,  &channel_option, &format_option,
    &fail_on_option, &output_option, &rotated_option, &host_option,
};

named_logs logs_named(const arguments &a) {
    named_logs named;
    std::size_t host = 0;
    bool host_has_files = true;
    for (const auto &[declared, value] : a.in_order()) {
        if (declared == &host_option) {
            if (value->empty()) {
                throw usage_error("--host needs a name");
            }
            if (!host_has_files) {
                throw usage_error("--host " + shown_text(named.hosts[host]) +
                                  " names no file after it");
            }
            host_has_files = false;
            const auto known = std::find(named.hosts.begin(), named.hosts.end(), *value);
            host = static_cast<std::size_t>(known - named.hosts.begin());
            if (known == named.hosts.end()) {
                named.hosts.push_back(*value);
            }
        } else if (declared == &rotated_option) {
            host_has_files = true;
            result<std::vector<named_log>> set = rotated_logs(*value, host);
            if (!set) {
                // An empty report would pass for a quiet log.
                throw setting_error("--rotated " + shown_text(*value) + ": " + set.error().message);
            }
            named.logs.insert(named.logs.end(), std::make_move_iterator(set->begin()),
                              std::make_move_iterator(set->end()));
        } else if (declared == nullptr) {
            host_has_files = true;
            named.logs.push_back({host, *value, {}, false, {}});
        }
    }
    // A host named after its files: they would belong to the one before.
    if (!host_has_files) {
        throw usage_error("--host " + shown_text(named.hosts[host]) + " names no file after it");
    }
    return named;
}

std::optional<log_time> time_given(const arguments &a, const text_option &o) {
    const std::optional<std::string> text = a.value(o);
    if (!text) {
        return std::nullopt;
    }
    const std::optional<log_time> t = parse_time_argument(*text, local_clock_now());
    if (!t) {
        throw usage_error(
            std::string(o.name) + " takes a local time such as 2026-12-08, " +
            "2026-12-08T18:43:24, \"Tue Dec  8 18:43:24 2026\", -1h, -30m, today or " +
            "yesterday, not \"" + *text + "\" (the log carries no time zone)");
    }
    return t;
}

// Every option read and checked, before anything is opened.
report_request request_from(const arguments &a) {
    report_request request;
    request.format = a.value(format_option).value_or(report_format::text);
    request.fail_on_flags = a.value(fail_on_option).value_or(false);
    request.filter.since = time_given(a, since_option);
    request.filter.until = time_given(a, until_option);
    if (request.filter.since && request.filter.until &&
        *request.filter.since >= *request.filter.until) {
        throw usage_error("--since must come before --until");
    }
    for (const std::string &name : a.values(channel_option)) {
        request.filter.channels.insert(name);
    }
    request.output = a.value(output_option);
    if (request.output && (request.output->empty() || *request.output == standard_input)) {
        throw usage_error("--output needs the name of a file");
    }
    const std::vector<std::string> &names = a.positional();
    if (names.empty() && a.values(rotated_option).empty()) {
        throw usage_error(
            "needs at least one LOGFILE (\"-\" for standard input) or --rotated PATH");
    }
    if (std::count(names.begin(), names.end(), standard_input) > 1) {
        throw usage_error("standard input (\"-\") can be read only once");
    }
    return request;
}

// Warns of each --channel that names no channel read, with the nearest
// name that was read; true when any did. A mistyped name would otherwise
// report nothing and stay quiet: a check on it would never fail.
bool warn_of_unmatched(const report_filter &filter, const log_summary &summary) {
    if (filter.channels.empty()) {
        return false;
    }
    // Only the names asked for are kept: a set of every channel read
    // would cost as much as the summary.
    std::set<std::string_view> found;
    for (std::size_t i = 0; i < summary.channel_count(); ++i) {
        found.insert(summary.name(i));
    }
    std::vector<std::string_view> others(summary.names_left_out().begin(),
                                         summary.names_left_out().end());
    std::sort(others.begin(), others.end());
    bool any = false;
    for (const std::string &wanted : filter.channels) {
        if (found.count(wanted) != 0) {
            continue;
        }
        const std::string near = closest_match(wanted, others);
        std::fprintf(stderr,
                     "tarvelo report: warning: --channel %s names no channel in the log%s\n",
                     shown_text(wanted).c_str(),
                     near.empty() ? "" : (" (did you mean " + near + "?)").c_str());
        any = true;
    }
    return any;
}

// The report written over a log it reads would lose that log's lines.
void refuse_output_among_logs(const std::string &output, const log_files &files) {
    const std::optional<regular_file_state> target = regular_file_state_of(output);
    if (target && target->inode != 0 && files.includes({target->device, target->inode})) {
        throw usage_error("--output " + shown_text(output) + " is one of the logs read");
    }
}

// Warns of what makes the report fail, and says whether anything did. A
// wrong path (a cron job's, say) must not feed monitoring a report of
// nothing: a file with lines but none of the exit's is named, and the exit
// code says so. An empty file is a log nothing was written to yet.
bool warn_of_failures(const log_files &files, const log_summary &summary,
                      const report_request &request) {
    bool failed = false;
    for (const std::string &why : files.refused()) {
        std::fprintf(stderr,
                     "tarvelo report: warning: %s: it is not read (only regular files of the "
                     "log's owner or root, no link, are read in a rotated set)\n",
                     why.c_str());
        failed = true;
    }
    for (const input_totals &input : summary.inputs()) {
        if (input.lines != 0 && input.exit_lines == 0) {
            std::fprintf(stderr,
                         "tarvelo report: warning: %s holds %llu lines and none of them is a line "
                         "of the exit: is it the exit's log file?\n",
                         input.name.c_str(), static_cast<unsigned long long>(input.lines));
            failed = true;
        }
    }
    for (const std::string &name : files.truncated()) {
        std::fprintf(stderr,
                     "tarvelo report: warning: %s ends in the middle of its compressed data (still "
                     "being compressed, or cut short): only the lines before are counted\n",
                     name.c_str());
        failed = true;
    }
    const bool unmatched = warn_of_unmatched(request.filter, summary);
    return failed || (unmatched && request.fail_on_flags);
}

// The report in its format, to --output (whole, or not at all) or to
// standard output as it is made.
void write_report(const log_summary &summary, const report_request &request) {
    std::unique_ptr<replaced_file> replaced;
    std::FILE *out = stdout;
    if (request.output) {
        replaced = checked(replaced_file::create(*request.output));
        out = replaced->file();
    } else {
        // Written as it is made.
        static char out_buffer[1 << 16];
        std::setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);
    }
    switch (request.format) {
    case report_format::text:
        text_report(summary, out);
        break;
    case report_format::json:
        json_report(summary, out);
        break;
    case report_format::prometheus:
        prometheus_report(summary, out);
        break;
    }
    if (replaced) {
        checked(replaced->commit());
    }
}

bool any_flagged(const log_summary &summary) {
    for (std::size_t i = 0; i < summary.channel_count(); ++i) {
        if (summary.flagged(i)) {
            return true;
        }
    }
    return false;
}

exit_code report(const arguments &a, command_table /*commands*/) {
    const report_request request = request_from(a);
    // Only a regular file is replaced: a rename over a link (/dev/stdout),
    // a device or a FIFO would replace that instead of writing to it.
    if (request.output) {
        checked(check_replaceable(*request.output));
    }
    // Every file is surveyed before any is summarised: a name that is
    // wrong is an error before a word of the report is written.
    named_logs named = logs_named(a);
    log_files files = checked(log_files::survey(std::move(named.logs)));
    if (request.output) {
        refuse_output_among_logs(*request.output, files);
    }
    log_summary summary(request.filter);
    checked(files.read_into(summary, named.hosts));
    checked(summary.finish());

    const bool failed = warn_of_failures(files, summary, request);
    // A run that fails leaves --output as it was: the last good report
    // stays for its readers, and the exit code tells of the failure.
    if (request.output && failed) {
        std::fprintf(stderr, "tarvelo report: %s is left as it was\n",
                     shown_text(*request.output).c_str());
        return exit_code::usage;
    }
    write_report(summary, request);
    // A report to standard output cut short fails as any output does
    // (main.cpp): exit code 4.
    if (failed) {
        return exit_code::usage;
    }
    return request.fail_on_flags && any_flagged(summary) ? exit_code::refused : exit_code::ok;
}

constexpr exit_meaning codes[] = {
    {exit_code::ok, "the report was printed"},
    {exit_code::refused, "the report was printed, and with --fail-on flagged a channel is flagged"},
    {exit_code::usage, "bad arguments, a log file that cannot be read or is no regular file\n"
                       "(nothing is printed), or one that holds lines but none of the exit's, a\n"
                       "compressed one cut short, a file of a rotated set left out, or with\n"
                       "--fail-on a --channel that names no channel (the report is printed, but\n"
                       "not to --output FILE, which is as it was)"},
    {exit_code::program_failed,
     "the report could not be written whole, or --output names no regular file\n"
     "or a missing directory (FILE is as it was)"},
};

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
    "order: they are read oldest first, by the time of their first line. A file\n"
    "compressed with gzip is read as it lies, whatever its name; \"-\" is standard\n"
    "input; a file named twice, by any name, is read once; a FIFO or a device is\n"
    "refused, never waited on. --rotated tarvelo.log reads the log and every\n"
    "rotated copy beside it (tarvelo.log.1, tarvelo.log.2.gz, ...).\n"
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
    " more; a step back of the\n"
    "                 clock (the change from summer time) is no time passing\n"
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
    "                      [--output FILE] [[--host NAME] [--rotated PATH]... LOGFILE...]...",
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
