// text_format.cpp: the report as a table for a terminal (see formats.h).
#include "tools/report/formats.h"

#include "tools/report/channel_order.h"
#include "tools/report/log_reader.h"
#include "tools/report/report_text.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <string>
#include <string_view>

namespace tarvelo::tool {
namespace {

constexpr std::size_t name_column = 20;

std::string shown_name(std::string_view name) {
    return name.empty() ? std::string("(no channel)") : std::string(name);
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

} // namespace

void text_report(const log_summary &s, std::FILE *out) {
    const channel_order rows = worst_first(s);
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
        const channel_order flagged = flagged_rows(s, rows);
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

} // namespace tarvelo::tool
