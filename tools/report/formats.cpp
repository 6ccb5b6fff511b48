// formats.cpp: see formats.h.
#include "tools/report/formats.h"

#include "tools/platform.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tarvelo::tool {
namespace {

constexpr std::size_t name_column = 20;

using order = std::vector<std::uint32_t>;

void put(std::FILE *out, std::string_view text) { std::fwrite(text.data(), 1, text.size(), out); }

std::string number(std::uint64_t n) { return std::to_string(n); }

std::string shown_name(std::string_view name) {
    return name.empty() ? std::string("(no channel)") : std::string(name);
}

// A JSON string. Names are printable ASCII; anything else is escaped all
// the same, so that the output is plain ASCII whatever it is given.
std::string json_string(std::string_view text) {
    std::string quoted = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (byte < 0x20 || byte >= 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            quoted += escaped;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

// A label value of the exposition format: backslash and double quote
// escaped as the format requires, and no control byte ever: one would pass
// raw into every tool that reads the metrics. Any byte outside printable
// ASCII becomes the text "\xNN", its backslash escaped in turn.
std::string label_value(std::string_view text) {
    std::string escaped;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\' || c == '"') {
            escaped += '\\';
            escaped += c;
        } else if (byte < 0x20 || byte >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\\\x%02x", byte);
            escaped += hex;
        } else {
            escaped += c;
        }
    }
    return escaped;
}

order by_name(const log_summary &s) {
    order sorted(s.channel_count());
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        sorted[i] = static_cast<std::uint32_t>(i);
    }
    std::sort(sorted.begin(), sorted.end(),
              [&s](std::uint32_t a, std::uint32_t b) { return s.name(a) < s.name(b); });
    return sorted;
}

std::uint64_t problems(const log_summary &s, std::size_t i) {
    const channel_trouble *t = s.trouble(i);
    return s.refusal_total(i) + (t != nullptr ? t->flags[flag_unclosed].count : 0);
}

// The worst first: flagged channels, then the most refusals and starts
// left without a close.
order worst_first(const log_summary &s) {
    order sorted = by_name(s);
    std::stable_sort(sorted.begin(), sorted.end(), [&s](std::uint32_t a, std::uint32_t b) {
        if (s.flagged(a) != s.flagged(b)) {
            return s.flagged(a);
        }
        return problems(s, a) > problems(s, b);
    });
    return sorted;
}

std::string plural(std::uint64_t n, const char *one, const char *many) {
    return number(n) + " " + (n == 1 ? one : many);
}

std::string refusal_list(const channel_trouble *t) {
    std::string list;
    for (std::size_t k = 0; t != nullptr && k < refusal_kinds; ++k) {
        if (t->refusals[k] == 0) {
            continue;
        }
        // "003W:2", "009E-call:1": the key without its prefix.
        list += (list.empty() ? "" : " ") + std::string(refusal_key(k).substr(7)) + ":" +
                number(t->refusals[k]);
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

void metric_head(std::FILE *out, const char *name, const char *type, const char *help) {
    put(out, std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n");
}

// Local times of the log as seconds since the epoch, by this machine's
// zone; an hour's offset is worked out once.
class epoch_converter {
public:
    std::optional<std::int64_t> operator()(log_time t) {
        const log_time hour = t - ((t % 3600) + 3600) % 3600;
        auto known = offsets_.find(hour);
        if (known == offsets_.end()) {
            const std::optional<std::int64_t> epoch = local_clock_to_epoch(hour);
            known = offsets_
                        .emplace(hour,
                                 epoch ? std::optional<std::int64_t>(*epoch - hour) : std::nullopt)
                        .first;
        }
        if (!known->second) {
            return std::nullopt;
        }
        return t + *known->second;
    }

private:
    std::unordered_map<log_time, std::optional<std::int64_t>> offsets_;
};

} // namespace

void text_report(const log_summary &s, std::FILE *out) {
    const order rows = worst_first(s);
    std::size_t width = name_column;
    for (const std::uint32_t i : rows) {
        width = std::max(width, shown_name(s.name(i)).size());
    }
    const auto name_cell = [width](const std::string &name) {
        return name + std::string(width - name.size(), ' ');
    };
    char line[256];
    if (rows.empty()) {
        put(out, "No line of the exit names a channel.\n");
    } else {
        std::snprintf(line, sizeof line, "  %s %7s %7s %8s  %-19s  %-19s  %s\n",
                      name_cell("CHANNEL").c_str(), "STARTS", "CLOSES", "REFUSED", "FIRST", "LAST",
                      "REFUSALS");
        put(out, line);
    }
    bool any_flag = false;
    for (const std::uint32_t i : rows) {
        const channel_record &c = s.channel(i);
        std::snprintf(line, sizeof line, " %7" PRIu64 " %7" PRIu64 " %8" PRIu64 "  %s  %s",
                      c.starts, c.closes, s.refusal_total(i), iso_time(c.first, ' ').c_str(),
                      iso_time(c.last, ' ').c_str());
        const std::string refusals = refusal_list(s.trouble(i));
        any_flag = any_flag || s.flagged(i);
        put(out, std::string(s.flagged(i) ? "! " : "  ") + name_cell(shown_name(s.name(i))) + line +
                     (refusals.empty() ? "" : "  " + refusals) + "\n");
    }
    if (any_flag) {
        put(out, "\nFlagged:\n");
        std::string meanings;
        for (std::size_t kind = 0; kind < flag_kinds; ++kind) {
            const auto k = static_cast<flag_kind>(kind);
            bool raised = false;
            for (const std::uint32_t i : rows) {
                const channel_trouble *t = s.trouble(i);
                if (t == nullptr || t->flags[kind].count == 0) {
                    continue;
                }
                put(out, "! " + name_cell(shown_name(s.name(i))) + " " +
                             flag_row(t->flags[kind], k) + "\n");
                raised = true;
            }
            if (raised) {
                meanings += "  " + std::string(flag_names[kind]) + ": " + flag_meaning(k) + "\n";
            }
        }
        put(out, meanings);
    }
    const read_totals &t = s.totals();
    put(out, "\n" + plural(t.lines, "line", "lines") + " read from " +
                 plural(s.inputs().size(), "file", "files") + ": " + number(t.exit_lines) +
                 " of the exit (" + number(t.trace_lines) + " trace), " + number(t.skipped) +
                 " left out by --since, --until or --channel, " + unparsed_note(t) + "\n");
}

void json_report(const log_summary &s, std::FILE *out) {
    const order rows = by_name(s);
    put(out, "{\"channels\": [");
    const char *separator = "\n  ";
    for (const std::uint32_t i : rows) {
        const channel_record &c = s.channel(i);
        const channel_trouble *t = s.trouble(i);
        std::string row = separator;
        separator = ",\n  ";
        row += "{\"channel\": " + json_string(s.name(i)) + ", \"starts\": " + number(c.starts) +
               ", \"closes\": " + number(c.closes) + ", \"refusals\": {";
        const char *comma = "";
        for (std::size_t k = 0; t != nullptr && k < refusal_kinds; ++k) {
            if (t->refusals[k] != 0) {
                row += comma + json_string(refusal_key(k)) + ": " + number(t->refusals[k]);
                comma = ", ";
            }
        }
        row +=
            "}, \"first\": \"" + iso_time(c.first) + "\", \"last\": \"" + iso_time(c.last) + "\"}";
        put(out, row);
    }
    put(out, rows.empty() ? "],\n\"flags\": [" : "\n],\n\"flags\": [");
    separator = "\n  ";
    bool any = false;
    for (std::size_t kind = 0; kind < flag_kinds; ++kind) {
        for (const std::uint32_t i : rows) {
            const channel_trouble *t = s.trouble(i);
            if (t == nullptr || t->flags[kind].count == 0) {
                continue;
            }
            const flag_record &f = t->flags[kind];
            any = true;
            put(out, separator + ("{\"channel\": " + json_string(s.name(i)) +
                                  ", \"flag\": " + json_string(flag_names[kind]) + ", \"count\": " +
                                  number(f.count) + ", \"first\": \"" + iso_time(f.first) +
                                  "\", \"last\": \"" + iso_time(f.last) + "\"}"));
            separator = ",\n  ";
        }
    }
    put(out, any ? "\n],\n\"files\": [" : "],\n\"files\": [");
    separator = "\n  ";
    for (const input_totals &input : s.inputs()) {
        put(out, separator + ("{\"file\": " + json_string(input.name) +
                              ", \"lines\": " + number(input.lines) +
                              ", \"exit_lines\": " + number(input.exit_lines) + "}"));
        separator = ",\n  ";
    }
    const read_totals &t = s.totals();
    put(out, std::string(s.inputs().empty() ? "" : "\n") + "],\n\"lines\": " + number(t.lines) +
                 ", \"skipped\": " + number(t.skipped) + ", \"unparsed\": " + number(t.unparsed) +
                 "}\n");
}

void prometheus_report(const log_summary &s, std::FILE *out) {
    const order rows = by_name(s);
    // The label is made again for each family: kept, a million of them
    // would cost more memory than the summary itself.
    const auto each_channel = [&](const auto &write) {
        for (const std::uint32_t i : rows) {
            write(i, "{channel=\"" + label_value(s.name(i)) + "\"");
        }
    };
    metric_head(out, "tarvelo_channel_starts_total", "counter",
                "Channel starts (TARVELO001I) in the exit's log files.");
    each_channel([&](std::uint32_t i, const std::string &label) {
        put(out,
            "tarvelo_channel_starts_total" + label + "} " + number(s.channel(i).starts) + "\n");
    });
    metric_head(out, "tarvelo_channel_closes_total", "counter",
                "Channel closes (TARVELO008I) in the exit's log files.");
    each_channel([&](std::uint32_t i, const std::string &label) {
        put(out,
            "tarvelo_channel_closes_total" + label + "} " + number(s.channel(i).closes) + "\n");
    });
    metric_head(out, "tarvelo_channel_refusals_total", "counter",
                "Sign-ons the exit refused, by the message that says why.");
    each_channel([&](std::uint32_t i, const std::string &label) {
        const channel_trouble *t = s.trouble(i);
        std::string lines;
        for (std::size_t k = 0; k < refusal_kinds; ++k) {
            lines += "tarvelo_channel_refusals_total" + label + ",message=\"" +
                     std::string(refusal_key(k)) + "\"} " +
                     number(t != nullptr ? t->refusals[k] : 0) + "\n";
        }
        put(out, lines);
    });
    metric_head(out, "tarvelo_channel_flags", "gauge",
                "Flags raised on a channel: impersonation attempts, bursts of refusals, "
                "revocations, starts without a close.");
    each_channel([&](std::uint32_t i, const std::string &label) {
        const channel_trouble *t = s.trouble(i);
        std::string lines;
        for (std::size_t kind = 0; kind < flag_kinds; ++kind) {
            lines += "tarvelo_channel_flags" + label + ",flag=\"" + std::string(flag_names[kind]) +
                     "\"} " + number(t != nullptr ? t->flags[kind].count : 0) + "\n";
        }
        put(out, lines);
    });
    metric_head(out, "tarvelo_channel_last_line_timestamp_seconds", "gauge",
                "When the channel's last line was written, in seconds since the epoch (the "
                "log's local time read by the zone of the machine that made the report).");
    epoch_converter to_epoch;
    each_channel([&](std::uint32_t i, const std::string &label) {
        const std::optional<std::int64_t> epoch = to_epoch(s.channel(i).last);
        if (epoch) {
            put(out, "tarvelo_channel_last_line_timestamp_seconds" + label + "} " +
                         std::to_string(*epoch) + "\n");
        }
    });
    metric_head(out, "tarvelo_log_unparsed_lines", "gauge",
                "Lines of the log files read that are no line of the exit.");
    put(out, "tarvelo_log_unparsed_lines " + number(s.totals().unparsed) + "\n");
}

} // namespace tarvelo::tool
