// formats.cpp: see formats.h.
#include "tools/report/formats.h"

#include "log/line.h"
#include "tools/report/local_clock.h"

#include <algorithm>
#include <array>
#include <charconv>
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

// Text for a double-quoted value: a JSON string or a label value of the
// exposition format. The double quote and the backslash are escaped with a
// backslash, as both require; any byte outside printable ASCII is written
// by `byte_format` (a printf format of one unsigned byte), so that no
// control byte ever passes raw into whatever reads the report. Names are
// nearly always printable ASCII, and are copied whole when they are.
std::string escaped_value(std::string_view text, const char *byte_format) {
    const auto plain = [](char c) { return c >= 0x20 && c < 0x7f && c != '"' && c != '\\'; };
    if (std::all_of(text.begin(), text.end(), plain)) {
        return std::string(text);
    }
    std::string escaped;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            escaped += '\\';
            escaped += c;
        } else if (byte < 0x20 || byte >= 0x7f) {
            char code[8];
            std::snprintf(code, sizeof code, byte_format, byte);
            escaped += code;
        } else {
            escaped += c;
        }
    }
    return escaped;
}

// A JSON string: bytes outside printable ASCII as "\u00NN", so that the
// output is plain ASCII whatever it is given.
std::string json_string(std::string_view text) {
    std::string quoted;
    quoted.reserve(text.size() + 2);
    return quoted.append(1, '"').append(escaped_value(text, "\\u%04x")).append(1, '"');
}

// A label value of the exposition format: a byte outside printable ASCII
// becomes the text "\xNN", its backslash escaped in turn.
std::string label_value(std::string_view text) { return escaped_value(text, "\\\\x%02x"); }

// The host's place and the first 16 bytes of a name as numbers that order
// as the bytes do.
struct name_key {
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    std::uint32_t index = 0;
    std::uint16_t host = 0;
};

name_key key_of(std::string_view name, std::uint32_t index, std::uint16_t host) {
    name_key key;
    key.index = index;
    key.host = host;
    for (std::size_t i = 0; i < 16 && i < name.size(); ++i) {
        const auto byte = static_cast<std::uint64_t>(static_cast<unsigned char>(name[i]));
        (i < 8 ? key.high : key.low) |= byte << (8 * (7 - i % 8));
    }
    return key;
}

// In name order, each host's together in the order they were named. The
// keys are sorted, not the names: a million names compared through the
// summary would each be a cache miss, a key is at hand.
order by_name(const log_summary &s) {
    std::vector<name_key> keys(s.channel_count());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        keys[i] = key_of(s.name(i), static_cast<std::uint32_t>(i), s.channel(i).host);
    }
    std::sort(keys.begin(), keys.end(), [&s](const name_key &a, const name_key &b) {
        if (a.host != b.host) {
            return a.host < b.host;
        }
        if (a.high != b.high) {
            return a.high < b.high;
        }
        if (a.low != b.low) {
            return a.low < b.low;
        }
        return s.name(a.index) < s.name(b.index);
    });
    order sorted(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        sorted[i] = keys[i].index;
    }
    return sorted;
}

std::uint64_t problems(const log_summary &s, std::size_t i) {
    return s.refusal_total(i) + s.channel(i).open;
}

// Each host's together, and within each the worst first: flagged channels, then the most refusals
// and starts left without a close, then by name. Each channel's rank is worked out once.
order worst_first(const log_summary &s) {
    const order names = by_name(s);
    // 16 bytes: a million of them are held at once.
    struct ranked {
        std::uint64_t problems;
        std::uint32_t position; // in name order
        std::uint16_t host;
        bool flagged;
    };
    std::vector<ranked> ranks(names.size());
    for (std::size_t p = 0; p < names.size(); ++p) {
        ranks[p] = {problems(s, names[p]), static_cast<std::uint32_t>(p), s.channel(names[p]).host,
                    s.flagged(names[p])};
    }
    std::sort(ranks.begin(), ranks.end(), [](const ranked &a, const ranked &b) {
        if (a.host != b.host) {
            return a.host < b.host;
        }
        if (a.flagged != b.flagged) {
            return a.flagged;
        }
        if (a.problems != b.problems) {
            return a.problems > b.problems;
        }
        return a.position < b.position;
    });
    order sorted(ranks.size());
    for (std::size_t i = 0; i < ranks.size(); ++i) {
        sorted[i] = names[ranks[i].position];
    }
    return sorted;
}

// The flagged channels among `rows`, in their order: the few that the
// lists of flags go through, once for each kind.
order flagged_rows(const log_summary &s, const order &rows) {
    order flagged;
    for (const std::uint32_t i : rows) {
        if (s.flagged(i)) {
            flagged.push_back(i);
        }
    }
    return flagged;
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
        if (!list.empty()) {
            list += ' ';
        }
        list += refusal_key(k).substr(identifier_prefix.size());
        list += ':';
        list += number(t->refusals[k]);
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
        return "the partner did not prove the password, or sent the exit its own challenge (" +
               identifier(msg_impersonation) + ")";
    case flag_burst:
        return number(burst_refusals) + " refusals on the channel within " +
               number(static_cast<std::uint64_t>(burst_seconds)) + " seconds";
    case flag_revoked:
        return "the partner service reported the channel revoked (" + identifier(msg_revoked) + ")";
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

void metric_head(std::FILE *out, const char *name, const char *type, const std::string &help) {
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
    // With hosts named, each host's channels under its name: the same
    // channel name on two hosts is two channels.
    const bool hosts = s.hosts_named();
    const auto host_heading = [&s](std::uint32_t i) {
        const std::string_view host = s.host(i); // escaped already
        std::string heading = "Host ";
        heading.append(host.empty() ? std::string_view("(not named)") : host).append(":\n");
        return heading;
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
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const std::uint32_t i = rows[r];
        if (hosts && (r == 0 || s.channel(rows[r - 1]).host != s.channel(i).host)) {
            put(out, (r == 0 ? "" : "\n") + host_heading(i));
        }
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
        std::array<bool, flag_kinds> raised{};
        const order flagged = flagged_rows(s, rows);
        // Host by host (one, without hosts named), each flag in turn.
        for (std::size_t from = 0; from < flagged.size();) {
            std::size_t to = from + 1;
            while (to < flagged.size() &&
                   s.channel(flagged[to]).host == s.channel(flagged[from]).host) {
                ++to;
            }
            if (hosts) {
                put(out, host_heading(flagged[from]));
            }
            for (std::size_t kind = 0; kind < flag_kinds; ++kind) {
                for (std::size_t r = from; r < to; ++r) {
                    const std::uint32_t i = flagged[r];
                    const flag_record f = s.flag(i, kind);
                    if (f.count == 0) {
                        continue;
                    }
                    put(out, "! " + name_cell(shown_name(s.name(i))) + " " +
                                 flag_row(f, static_cast<flag_kind>(kind)) + "\n");
                    raised[kind] = true;
                }
            }
            from = to;
        }
        for (std::size_t kind = 0; kind < flag_kinds; ++kind) {
            if (raised[kind]) {
                put(out, "  " + std::string(flag_names[kind]) + ": " +
                             flag_meaning(static_cast<flag_kind>(kind)) + "\n");
            }
        }
    }
    const read_totals &t = s.totals();
    put(out, "\n" + plural(t.lines, "line", "lines") + " read from " +
                 plural(s.inputs().size(), "file", "files") + ": " + number(t.exit_lines) +
                 " of the exit (" + number(t.trace_lines) + " trace), " + number(t.skipped) +
                 " left out by --since, --until or --channel, " + number(t.torn) +
                 " torn (cut short, the next line glued on), " + unparsed_note(t) + "\n");
}

// "\"host\": NAME, " before a channel's fields when hosts are named.
std::string json_host(const log_summary &s, std::uint32_t i) {
    return s.hosts_named() ? "\"host\": " + json_string(s.host(i)) + ", " : std::string();
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
        row += "{" + json_host(s, i) + "\"channel\": " + json_string(s.name(i)) +
               ", \"starts\": " + number(c.starts) + ", \"closes\": " + number(c.closes) +
               ", \"refusals\": {";
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
    const order flagged = flagged_rows(s, rows);
    for (std::size_t kind = 0; kind < flag_kinds; ++kind) {
        for (const std::uint32_t i : flagged) {
            const flag_record f = s.flag(i, kind);
            if (f.count == 0) {
                continue;
            }
            any = true;
            put(out, separator + ("{" + json_host(s, i) + "\"channel\": " + json_string(s.name(i)) +
                                  ", \"flag\": " + json_string(flag_names[kind]) + ", \"count\": " +
                                  number(f.count) + ", \"first\": \"" + iso_time(f.first) +
                                  "\", \"last\": \"" + iso_time(f.last) + "\"}"));
            separator = ",\n  ";
        }
    }
    put(out, any ? "\n],\n\"files\": [" : "],\n\"files\": [");
    separator = "\n  ";
    for (const input_totals &input : s.inputs()) {
        put(out, separator +
                     ("{" +
                      (s.hosts_named() ? "\"host\": " + json_string(s.hosts()[input.host]) + ", "
                                       : std::string()) +
                      "\"file\": " + json_string(input.name) + ", \"lines\": " +
                      number(input.lines) + ", \"exit_lines\": " + number(input.exit_lines) + "}"));
        separator = ",\n  ";
    }
    const read_totals &t = s.totals();
    put(out, std::string(s.inputs().empty() ? "" : "\n") + "],\n\"lines\": " + number(t.lines) +
                 ", \"skipped\": " + number(t.skipped) + ", \"torn\": " + number(t.torn) +
                 ", \"unparsed\": " + number(t.unparsed) + "}\n");
}

void prometheus_report(const log_summary &s, std::FILE *out) {
    const order rows = by_name(s);
    // Fifteen or more lines a channel, in five families that each go through
    // every channel: the labels are made once, laid out in name order so
    // that each pass reads them in turn, and every line is appended to one
    // buffer with no string made for it.
    std::size_t label_bytes = 0;
    for (const std::uint32_t i : rows) {
        label_bytes += s.name(i).size();
    }
    std::string labels;
    labels.reserve(label_bytes + label_bytes / 8 + rows.size() * 12); // the odd escape, quotes
    std::vector<std::uint32_t> label_ends;
    label_ends.reserve(rows.size());
    // With hosts named, every series of a channel carries its host.
    const bool hosts = s.hosts_named();
    for (const std::uint32_t i : rows) {
        if (hosts) {
            labels.append("host=\"").append(label_value(s.host(i))).append("\",");
        }
        labels.append("channel=\"").append(label_value(s.name(i))).append("\"");
        label_ends.push_back(static_cast<std::uint32_t>(labels.size()));
    }
    std::string lines;
    std::string_view label;
    const auto sample = [&](std::string_view metric, std::string_view extra,
                            std::string_view extra_value, std::int64_t value) {
        lines.append(metric).append("{").append(label);
        if (!extra.empty()) {
            lines.append(",").append(extra).append("=\"").append(extra_value).append("\"");
        }
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        lines.append("} ").append(digits, end).append("\n");
    };
    const auto each_channel = [&](const auto &write) {
        for (std::size_t r = 0; r < rows.size(); ++r) {
            const std::uint32_t start = r == 0 ? 0 : label_ends[r - 1];
            label = std::string_view(labels).substr(start, label_ends[r] - start);
            write(rows[r]);
            if (lines.size() >= (std::size_t{1} << 16)) {
                put(out, lines);
                lines.clear();
            }
        }
        put(out, lines);
        lines.clear();
    };
    const auto count = [](std::uint64_t n) { return static_cast<std::int64_t>(n); };
    metric_head(out, "tarvelo_channel_starts_total", "counter",
                "Channel starts (" + identifier(msg_exit_started) + ") in the exit's log files.");
    each_channel([&](std::uint32_t i) {
        sample("tarvelo_channel_starts_total", {}, {}, count(s.channel(i).starts));
    });
    metric_head(out, "tarvelo_channel_closes_total", "counter",
                "Channel closes (" + identifier(msg_channel_closed) + ") in the exit's log files.");
    each_channel([&](std::uint32_t i) {
        sample("tarvelo_channel_closes_total", {}, {}, count(s.channel(i).closes));
    });
    metric_head(out, "tarvelo_channel_refusals_total", "counter",
                "Sign-ons the exit refused, by the message that says why.");
    each_channel([&](std::uint32_t i) {
        const channel_trouble *t = s.trouble(i);
        for (std::size_t k = 0; k < refusal_kinds; ++k) {
            sample("tarvelo_channel_refusals_total", "message", refusal_key(k),
                   count(t != nullptr ? t->refusals[k] : 0));
        }
    });
    metric_head(out, "tarvelo_channel_flags", "gauge",
                "Flags raised on a channel: impersonation attempts, bursts of refusals, "
                "revocations, starts without a close.");
    each_channel([&](std::uint32_t i) {
        for (std::size_t kind = 0; kind < flag_kinds; ++kind) {
            sample("tarvelo_channel_flags", "flag", flag_names[kind], count(s.flag(i, kind).count));
        }
    });
    metric_head(out, "tarvelo_channel_last_line_timestamp_seconds", "gauge",
                "When the channel's last line was written, in seconds since the epoch (the "
                "log's local time read by the zone of the machine that made the report).");
    epoch_converter to_epoch;
    each_channel([&](std::uint32_t i) {
        if (const std::optional<std::int64_t> epoch = to_epoch(s.channel(i).last)) {
            sample("tarvelo_channel_last_line_timestamp_seconds", {}, {}, *epoch);
        }
    });
    metric_head(out, "tarvelo_log_unparsed_lines", "gauge",
                "Lines of the log files read that are no line of the exit.");
    put(out, "tarvelo_log_unparsed_lines " + number(s.totals().unparsed) + "\n");
    metric_head(out, "tarvelo_log_torn_lines", "gauge",
                "Lines of the exit cut short, with the next line glued on (counted as well).");
    put(out, "tarvelo_log_torn_lines " + number(s.totals().torn) + "\n");
}

} // namespace tarvelo::tool
