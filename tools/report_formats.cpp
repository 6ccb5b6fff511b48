// report_formats.cpp: see report_formats.h.
#include "tools/report_formats.h"

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <vector>

namespace tarvelo::tool {
namespace {

constexpr std::size_t name_column = 20;

std::string number(std::uint64_t n) { return std::to_string(n); }

// A channel name for a terminal: control bytes and bytes outside ASCII
// would move the cursor or garble the table.
std::string printable_name(std::string_view name) {
    if (name.empty()) {
        return "(no channel)";
    }
    std::string shown;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7f || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            shown += escaped;
        } else {
            shown += c;
        }
    }
    return shown;
}

// A JSON string. The log's bytes carry no encoding: a byte above 0x7F is
// read as the character of that number (ISO 8859-1), so the output is
// plain ASCII whatever the names hold.
std::string json_string(std::string_view text) {
    std::string quoted = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (byte < 0x20 || byte >= 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", byte);
            quoted += escaped;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

// A label value of the exposition format: backslash, double quote and
// newline escaped as the format requires, bytes above 0x7F read as
// ISO 8859-1 and written in UTF-8, which the format requires.
std::string label_value(std::string_view text) {
    std::string escaped;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\' || c == '"') {
            escaped += '\\';
            escaped += c;
        } else if (c == '\n') {
            escaped += "\\n";
        } else if (byte >= 0x80) {
            escaped += static_cast<char>(0xC0 | (byte >> 6));
            escaped += static_cast<char>(0x80 | (byte & 0x3F));
        } else {
            escaped += c;
        }
    }
    return escaped;
}

std::vector<const channel_summary *> by_name(const log_summary &summary) {
    std::vector<const channel_summary *> sorted;
    for (const channel_summary &c : summary.channels()) {
        sorted.push_back(&c);
    }
    std::sort(sorted.begin(), sorted.end(),
              [](const channel_summary *a, const channel_summary *b) { return a->name < b->name; });
    return sorted;
}

std::uint64_t problems(const channel_summary &c) {
    return c.refusal_total() + c.flags[flag_unclosed].count;
}

// The worst first: flagged channels, then the most refusals and starts
// left without a close.
std::vector<const channel_summary *> worst_first(const log_summary &summary) {
    std::vector<const channel_summary *> sorted = by_name(summary);
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const channel_summary *a, const channel_summary *b) {
                         if (a->flagged() != b->flagged()) {
                             return a->flagged();
                         }
                         return problems(*a) > problems(*b);
                     });
    return sorted;
}

std::string plural(std::uint64_t n, const char *one, const char *many) {
    return number(n) + " " + (n == 1 ? one : many);
}

std::string refusal_list(const channel_summary &c) {
    std::string list;
    for (std::size_t k = 0; k < refusal_kinds; ++k) {
        if (c.refusals[k] == 0) {
            continue;
        }
        // "003W:2", "009E-call:1": the identifier without its prefix.
        list += (list.empty() ? "" : " ") + std::string(refusal_keys[k].substr(7)) + ":" +
                number(c.refusals[k]);
    }
    return list;
}

// How often and when, in a row of its own under the table.
std::string flag_row(const flag_record &f, flag_kind kind) {
    const std::string first = iso_time(f.first, ' ');
    char row[96];
    std::snprintf(row, sizeof row, "%-13s  %-10s  ",
                  std::string(flag_names[static_cast<std::size_t>(kind)]).c_str(),
                  kind == flag_unclosed ? plural(f.count, "start", "starts").c_str()
                                        : plural(f.count, "time", "times").c_str());
    if (kind == flag_unclosed) {
        return row + ("since " + first);
    }
    return row + (f.first == f.last ? first : first + " to " + iso_time(f.last, ' '));
}

// What each flag means, under the rows that show it.
std::string flag_meaning(flag_kind kind) {
    switch (kind) {
    case flag_impersonation:
        return "the partner did not prove the password, or sent the exit its own challenge "
               "(TARVELO007E)";
    case flag_burst:
        return number(burst_refusals) + " refusals on the channel within " +
               number(static_cast<std::uint64_t>(burst_seconds)) + " seconds";
    case flag_revoked:
        return "the partner service reported the channel revoked (TARVELO004E)";
    default:
        return "started, never closed: the host stopped or crashed, or it is still running";
    }
}

std::string unparsed_note(const read_totals &t) {
    if (t.unparsed == 0) {
        return "0 unparseable";
    }
    return number(t.unparsed) + " unparseable (the first: " + t.first_unparsed_input + " line " +
           number(t.first_unparsed_line) + ")";
}

void add_metric_head(std::string &out, const char *name, const char *type, const char *help) {
    out += std::string("# HELP ") + name + " " + help + "\n";
    out += std::string("# TYPE ") + name + " " + type + "\n";
}

} // namespace

std::string text_report(const log_summary &summary, std::size_t inputs) {
    const std::vector<const channel_summary *> rows = worst_first(summary);
    std::size_t width = name_column;
    for (const channel_summary *c : rows) {
        width = std::max(width, printable_name(c->name).size());
    }
    std::string out;
    char line[256]; // room for 20 name bytes shown as \xNN, and the numbers
    const auto name_cell = [&](const std::string &name) {
        return name + std::string(width - name.size(), ' ');
    };
    if (rows.empty()) {
        out += "No line of the exit names a channel.\n";
    } else {
        std::snprintf(line, sizeof line, "  %s %7s %7s %8s  %-19s  %-19s  %s\n",
                      name_cell("CHANNEL").c_str(), "STARTS", "CLOSES", "REFUSED", "FIRST", "LAST",
                      "REFUSALS");
        out += line;
    }
    for (const channel_summary *c : rows) {
        std::snprintf(line, sizeof line, "%c %s %7llu %7llu %8llu  %s  %s",
                      c->flagged() ? '!' : ' ', name_cell(printable_name(c->name)).c_str(),
                      static_cast<unsigned long long>(c->starts),
                      static_cast<unsigned long long>(c->closes),
                      static_cast<unsigned long long>(c->refusal_total()),
                      iso_time(c->first, ' ').c_str(), iso_time(c->last, ' ').c_str());
        const std::string refusals = refusal_list(*c);
        out += line + (refusals.empty() ? "" : "  " + refusals) + "\n";
    }
    std::string flagged = "\nFlagged:\n";
    std::string meanings;
    for (std::size_t kind = 0; kind < flag_kinds; ++kind) {
        const auto k = static_cast<flag_kind>(kind);
        bool raised = false;
        for (const channel_summary *c : rows) {
            if (c->flags[kind].count == 0) {
                continue;
            }
            flagged += "! " + name_cell(printable_name(c->name)) + " " +
                       flag_row(c->flags[kind], k) + "\n";
            raised = true;
        }
        if (raised) {
            meanings += "  " + std::string(flag_names[kind]) + ": " + flag_meaning(k) + "\n";
        }
    }
    if (!meanings.empty()) {
        out += flagged + meanings;
    }
    const read_totals &t = summary.totals();
    out += "\n" + plural(t.lines, "line", "lines") + " read from " +
           plural(inputs, "file", "files") + ": " + number(t.exit_lines) + " of the exit (" +
           number(t.trace_lines) + " trace), " + number(t.skipped) + " outside the time window, " +
           unparsed_note(t) + "\n";
    return out;
}

std::string json_report(const log_summary &summary) {
    const std::vector<const channel_summary *> rows = by_name(summary);
    std::string out = "{\"channels\": [";
    const char *separator = "\n  ";
    for (const channel_summary *c : rows) {
        out += separator;
        separator = ",\n  ";
        out += "{\"channel\": " + json_string(c->name) + ", \"starts\": " + number(c->starts) +
               ", \"closes\": " + number(c->closes) + ", \"refusals\": {";
        const char *comma = "";
        for (std::size_t k = 0; k < refusal_kinds; ++k) {
            if (c->refusals[k] != 0) {
                out += comma + json_string(refusal_keys[k]) + ": " + number(c->refusals[k]);
                comma = ", ";
            }
        }
        out += "}, \"first\": \"" + iso_time(c->first) + "\", \"last\": \"" + iso_time(c->last) +
               "\"}";
    }
    out += rows.empty() ? "],\n" : "\n],\n";
    out += "\"flags\": [";
    separator = "\n  ";
    bool any = false;
    for (std::size_t kind = 0; kind < flag_kinds; ++kind) {
        for (const channel_summary *c : rows) {
            const flag_record &f = c->flags[kind];
            if (f.count == 0) {
                continue;
            }
            any = true;
            out += separator;
            separator = ",\n  ";
            out += "{\"channel\": " + json_string(c->name) +
                   ", \"flag\": " + json_string(flag_names[kind]) +
                   ", \"count\": " + number(f.count) + ", \"first\": \"" + iso_time(f.first) +
                   "\", \"last\": \"" + iso_time(f.last) + "\"}";
        }
    }
    out += any ? "\n],\n" : "],\n";
    const read_totals &t = summary.totals();
    out += "\"lines\": " + number(t.lines) + ", \"skipped\": " + number(t.skipped) +
           ", \"unparsed\": " + number(t.unparsed) + "}\n";
    return out;
}

std::string prometheus_report(const log_summary &summary) {
    const std::vector<const channel_summary *> rows = by_name(summary);
    std::string out;
    add_metric_head(out, "tarvelo_channel_starts_total", "counter",
                    "Channel starts (TARVELO001I) in the exit's log files.");
    for (const channel_summary *c : rows) {
        out += "tarvelo_channel_starts_total{channel=\"" + label_value(c->name) + "\"} " +
               number(c->starts) + "\n";
    }
    add_metric_head(out, "tarvelo_channel_closes_total", "counter",
                    "Channel closes (TARVELO008I) in the exit's log files.");
    for (const channel_summary *c : rows) {
        out += "tarvelo_channel_closes_total{channel=\"" + label_value(c->name) + "\"} " +
               number(c->closes) + "\n";
    }
    add_metric_head(out, "tarvelo_channel_refusals_total", "counter",
                    "Sign-ons the exit refused, by the message that says why.");
    for (const channel_summary *c : rows) {
        for (std::size_t k = 0; k < refusal_kinds; ++k) {
            out += "tarvelo_channel_refusals_total{channel=\"" + label_value(c->name) +
                   "\",message=\"" + std::string(refusal_keys[k]) + "\"} " +
                   number(c->refusals[k]) + "\n";
        }
    }
    add_metric_head(out, "tarvelo_channel_flags", "gauge",
                    "Flags raised on a channel: impersonation attempts, bursts of refusals, "
                    "revocations, starts without a close.");
    for (const channel_summary *c : rows) {
        for (std::size_t kind = 0; kind < flag_kinds; ++kind) {
            out += "tarvelo_channel_flags{channel=\"" + label_value(c->name) + "\",flag=\"" +
                   std::string(flag_names[kind]) + "\"} " + number(c->flags[kind].count) + "\n";
        }
    }
    add_metric_head(out, "tarvelo_log_unparsed_lines", "gauge",
                    "Lines of the log files read that are no line of the exit.");
    out += "tarvelo_log_unparsed_lines " + number(summary.totals().unparsed) + "\n";
    return out;
}

} // namespace tarvelo::tool
