// report.cpp: "tarvelo report": the exit's log files read back and
// summarised per channel, for an operator at a terminal, for programs, and
// for monitoring through node_exporter's textfile collector.
#include "tools/commands.h"

#include "log/line.h"
#include "tools/report/formats.h"
#include "tools/report/local_clock.h"
#include "tools/report/log_input.h"
#include "tools/report/rotated_set.h"
#include "tools/report/summary.h"
#include "tools/system/file_reading.h"
#include "tools/system/replaced_file.h"
#include "tools/system/shown_text.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tarvelo::tool {
namespace {

// Enough to hold the first lines of a file, to put a rotated set in order.
constexpr std::size_t head_size = 4096;
// Big reads: a log is read once, start to end, at the speed of the disk.
constexpr std::size_t read_size = std::size_t{1} << 20;

constexpr char standard_input[] = "-";

enum class report_format { text, json, prometheus };

// Descriptors held open from the survey of the files to their reading,
// for the youngest plain files: a rotation may rename or compress them in
// between. Every other file is opened again when its turn comes, so that
// neither descriptors nor memory grow with the number of files.
constexpr std::size_t held_most = 16;

// A file named on the command line or found in a rotated set, and the
// host it belongs to.
struct named_log {
    std::size_t host = 0;
    std::string path;
    std::string twin;      // the compressed copy of the same lines, if any
    bool from_set = false; // one of a rotated set, found a moment ago
    open_rules rules;
};

// What the command line names: the hosts in order ("" before any is
// named) and the files of each.
struct named_logs {
    std::vector<std::string> hosts{std::string()};
    std::vector<named_log> logs;
};

// A file to read, as the survey found it.
struct found_log {
    named_log named;
    file_identity identity;
    bool has_identity = false;
    std::optional<log_time> first;
    std::unique_ptr<log_input> input; // held open since the survey, `head` read
    std::string head;
};

named_logs logs_named(const arguments &a) {
    named_logs named;
    std::size_t host = 0;
    bool host_has_files = true;
    for (const auto &[option, value] : a.in_order()) {
        if (option == "--host") {
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
        } else if (option == "--rotated") {
            host_has_files = true;
            result<std::vector<rotated_copy>> set = rotated_set(*value);
            if (!set) {
                throw setting_error("--rotated " + shown_text(*value) + ": " + set.error().message);
            }
            const set_rules rules = rules_for_set(*value);
            for (rotated_copy &copy : *set) {
                const bool log = copy.age == 0;
                named.logs.push_back({host, std::move(copy.path), std::move(copy.twin), true,
                                      log ? rules.log : rules.copies});
            }
        } else if (option.empty()) {
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

bool is_gone(const std::string &path) {
    std::error_code error;
    return std::filesystem::symlink_status(path, error).type() ==
           std::filesystem::file_type::not_found;
}

// Opens a file named for the report. A copy of a rotated set renamed or
// removed since its directory was read gives null (its lines are in the
// next copy, or gone from the set), or its compressed twin, whole now
// that logrotate has removed the copy.
result<std::unique_ptr<log_input>> open_named(named_log &n) {
    result<std::unique_ptr<log_input>> input = log_input::open(n.path, n.rules);
    if (input || input.error().why == cause::refused || !n.from_set || !is_gone(n.path)) {
        return input;
    }
    if (n.twin.empty() || is_gone(n.twin)) {
        return std::unique_ptr<log_input>();
    }
    n.path = std::move(n.twin);
    n.twin.clear();
    return log_input::open(n.path, n.rules);
}

// The file found in the survey, opened again for its turn: by its name, or
// where a rotation has renamed it since, or as its compressed twin. Null
// when it is gone.
result<std::unique_ptr<log_input>> open_again(found_log &log) {
    const std::string surveyed = log.named.path;
    result<std::unique_ptr<log_input>> input = open_named(log.named);
    const auto same = [&log](const std::unique_ptr<log_input> &in) {
        return in != nullptr && (!log.has_identity || in->identity() == log.identity);
    };
    // The twin, taken since the copy is gone, is the copy compressed whole.
    if (!input || *input == nullptr || log.named.path != surveyed || same(*input)) {
        return input;
    }
    const std::filesystem::path path(log.named.path);
    for (const std::string &name :
         names_of_inode(path.parent_path().string(), log.identity.inode)) {
        result<std::unique_ptr<log_input>> renamed = log_input::open(name, log.named.rules);
        if (!renamed ? renamed.error().why == cause::refused : same(*renamed)) {
            return renamed;
        }
    }
    // The name leads to another file, and the one surveyed is nowhere in
    // its directory: its lines were compressed into a twin, if it had one.
    if (!log.named.twin.empty() && !is_gone(log.named.twin)) {
        return log_input::open(log.named.twin, log.named.rules);
    }
    return std::unique_ptr<log_input>();
}

result<void> read_head(found_log &log) {
    log.head.resize(head_size);
    std::size_t got = 0;
    while (got < head_size) {
        const result<std::size_t> more = log.input->read(log.head.data() + got, head_size - got);
        if (!more) {
            return more.error();
        }
        if (*more == 0) {
            break;
        }
        got += *more;
    }
    log.head.resize(got);
    log.first = first_time_in(log.head);
    return {};
}

// Every file opened once, its first lines read to put it in order, and
// closed again unless held: the youngest first, so that those are the ones
// held. The same file by another name (a link, the current log given beside
// --rotated) is kept once: its lines would count twice. A file of a set
// that is no log, or that its directory's rules refuse, is left out with a
// warning in `refused`.
std::vector<found_log> survey(named_logs &named, std::vector<std::string> &refused) {
    std::vector<found_log> logs;
    std::set<std::pair<std::uint64_t, std::uint64_t>> identities;
    std::size_t held = 0;
    for (auto n = named.logs.rbegin(); n != named.logs.rend(); ++n) {
        found_log log;
        log.named = std::move(*n);
        result<std::unique_ptr<log_input>> input = open_named(log.named);
        if (!input && input.error().why == cause::refused && log.named.from_set) {
            refused.push_back(input.error().message);
            continue;
        }
        log.input = checked(std::move(input));
        if (log.input == nullptr) {
            continue;
        }
        if (const std::optional<file_identity> &id = log.input->identity()) {
            if (!identities.emplace(id->device, id->inode).second) {
                continue;
            }
            log.identity = *id;
            log.has_identity = true;
        }
        checked(read_head(log));
        // Standard input cannot be opened again.
        if (log.named.path == standard_input ||
            (held < held_most && !log.input->compressed() && log.has_identity)) {
            ++held;
        } else {
            log.input.reset();
            std::string().swap(log.head);
        }
        logs.push_back(std::move(log));
    }
    std::reverse(logs.begin(), logs.end());
    return logs;
}

void summarise(log_input &input, const std::string &head, const std::string &name,
               log_summary &summary, std::vector<char> &buffer) {
    summary.begin_input(name == standard_input ? "standard input" : name);
    summary.feed(head.data(), head.size());
    for (;;) {
        const std::size_t got = checked(input.read(buffer.data(), buffer.size()));
        if (got == 0) {
            break;
        }
        summary.feed(buffer.data(), got);
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

exit_code report(const arguments &a, command_table /*commands*/) {
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
    const std::optional<std::string> output = a.value("--output");
    if (output && (output->empty() || *output == standard_input)) {
        throw usage_error("--output needs the name of a file");
    }
    const std::vector<std::string> &names = a.positional();
    if (names.empty() && a.values("--rotated").empty()) {
        throw usage_error(
            "needs at least one LOGFILE (\"-\" for standard input) or --rotated PATH");
    }
    if (std::count(names.begin(), names.end(), standard_input) > 1) {
        throw usage_error("standard input (\"-\") can be read only once");
    }

    // Only a regular file is replaced: a rename over a link (/dev/stdout),
    // a device or a FIFO would replace that instead of writing to it.
    if (output) {
        checked(check_replaceable(*output));
    }

    // Every file is surveyed before any is summarised: a name that is
    // wrong is an error before a word of the report is written.
    named_logs named = logs_named(a);
    std::vector<std::string> refused;
    std::vector<found_log> logs = survey(named, refused);
    // The report written over a log it reads would lose that log's lines.
    if (output) {
        if (const std::optional<regular_file_state> target = regular_file_state_of(*output)) {
            const file_identity id{target->device, target->inode};
            if (target->inode != 0 &&
                std::any_of(logs.begin(), logs.end(), [&id](const found_log &log) {
                    return log.has_identity && log.identity == id;
                })) {
                throw usage_error("--output " + shown_text(*output) + " is one of the logs read");
            }
        }
    }
    // Each host's files together, in the order the hosts were named; each
    // host's oldest first, so that bursts and starts without a close are
    // seen in the order they happened; a file with no timestamp at all
    // goes last.
    std::stable_sort(logs.begin(), logs.end(), [](const found_log &x, const found_log &y) {
        if (x.named.host != y.named.host) {
            return x.named.host < y.named.host;
        }
        if (!x.first || !y.first) {
            return x.first.has_value() && !y.first.has_value();
        }
        return *x.first < *y.first;
    });

    log_summary summary(filter);
    std::vector<char> buffer(read_size);
    std::vector<std::string> truncated;
    for (const std::string &host : named.hosts) {
        summary.begin_host(host);
    }
    for (found_log &log : logs) {
        if (log.input == nullptr) {
            result<std::unique_ptr<log_input>> input = open_again(log);
            if (!input && input.error().why == cause::refused) {
                refused.push_back(input.error().message);
                continue;
            }
            log.input = checked(std::move(input));
            if (log.input == nullptr) {
                continue; // gone from the set since the survey
            }
            log.head.clear();
        }
        summary.begin_host(named.hosts[log.named.host]);
        summarise(*log.input, log.head, log.named.path, summary, buffer);
        if (log.input->truncated()) {
            truncated.push_back(log.input->name());
        }
        log.input.reset(); // closed as soon as it is read
        std::string().swap(log.head);
    }
    checked(summary.finish());

    // A wrong path (a cron job's, say) must not feed monitoring a report of
    // nothing: a file with lines but none of the exit's is named, and the
    // exit code says so. An empty file is a log nothing was written to yet.
    bool failed = false;
    for (const std::string &why : refused) {
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
    for (const std::string &name : truncated) {
        std::fprintf(stderr,
                     "tarvelo report: warning: %s ends in the middle of its compressed data (still "
                     "being compressed, or cut short): only the lines before are counted\n",
                     name.c_str());
        failed = true;
    }
    const bool unmatched = warn_of_unmatched(filter, summary);
    failed = failed || (unmatched && fail_on_flags);

    // A run that fails leaves --output as it was: the last good report
    // stays for its readers, and the exit code tells of the failure.
    if (output && failed) {
        std::fprintf(stderr, "tarvelo report: %s is left as it was\n", shown_text(*output).c_str());
        return exit_code::usage;
    }
    std::unique_ptr<replaced_file> replaced;
    std::FILE *out = stdout;
    if (output) {
        replaced = checked(replaced_file::create(*output));
        out = replaced->file();
    } else {
        // Written as it is made.
        static char out_buffer[1 << 16];
        std::setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);
    }
    switch (format) {
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
    // A report to standard output cut short fails as any output does
    // (main.cpp): exit code 4.
    if (failed) {
        return exit_code::usage;
    }
    bool flagged = false;
    for (std::size_t i = 0; i < summary.channel_count() && !flagged; ++i) {
        flagged = summary.flagged(i);
    }
    return fail_on_flags && flagged ? exit_code::refused : exit_code::ok;
}

constexpr option options[] = {
    {"--since", "TIME", "only lines at or after TIME"},
    {"--until", "TIME", "only lines before TIME"},
    {"--channel", "NAME",
     "only the channel NAME, as the report shows it (without the blanks that pad it); may be "
     "given more than once"},
    {"--format", "FORMAT",
     "text: a table for a terminal, worst first (the default); json: for programs; prometheus: "
     "the text exposition format, for a one-off check: counts of the lines in the files read, "
     "not counters that only grow"},
    {"--fail-on", "flagged",
     "exit with code 1 when any channel reported is flagged, and with code 2 when a --channel "
     "names no channel"},
    {"--output", "FILE",
     "write the report to FILE: whole, under a temporary name beside it, then renamed over it, "
     "so that a reader never sees half a report (mode 0644 less the umask); FILE must be a "
     "regular file or missing, and a run that fails (exit code 2 or 4) leaves it as it was"},
    {"--rotated", "PATH",
     "read PATH and every rotated copy of it that exists (PATH.1, PATH.2.gz, ..., "
     "PATH-YYYYMMDD[HH][.gz], and the PATH-YYYYMMDDHH.backup that logrotate's create may "
     "leave), a copy and its compressed twin once; only regular files of PATH's owner or root, "
     "no link, are read, anything else named in a warning (exit code 2); none yet is an empty "
     "report; may be given more than once"},
    {"--host", "NAME",
     "the files after it, up to the next --host, are the logs of the host NAME: channels are "
     "counted, and refusals and starts matched, within each host alone; the report shows the "
     "host"},
};

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
