// json_format.cpp: the report for programs (see formats.h).
#include "tools/report/formats.h"

#include "tools/report/channel_order.h"
#include "tools/report/log_reader.h"
#include "tools/report/report_text.h"

#include <string>
#include <string_view>

namespace tarvelo::tool {
namespace {

// A JSON string: bytes outside printable ASCII as "\u00NN", so that the
// output is plain ASCII whatever it is given.
std::string json_string(std::string_view text) {
    std::string quoted;
    quoted.reserve(text.size() + 2);
    return quoted.append(1, '"').append(escaped_value(text, "\\u%04x")).append(1, '"');
}

// "\"host\": NAME, " before a channel's fields when hosts are named.
std::string json_host(const log_summary &s, std::uint32_t i) {
    return s.hosts_named() ? "\"host\": " + json_string(s.host(i)) + ", " : std::string();
}

} // namespace

void json_report(const log_summary &s, std::FILE *out) {
    const channel_order rows = by_name(s);
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
    const channel_order flagged = flagged_rows(s, rows);
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

} // namespace tarvelo::tool
