// prometheus_format.cpp: the report in Prometheus's text exposition format
// (see formats.h).
#include "tools/report/formats.h"

#include "tools/report/channel_order.h"
#include "tools/report/local_clock.h"
#include "tools/report/log_reader.h"
#include "tools/report/report_text.h"

#include <charconv>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tarvelo::tool {
namespace {

// A label value of the exposition format: a byte outside printable ASCII
// becomes the text "\xNN", its backslash escaped in turn.
std::string label_value(std::string_view text) { return escaped_value(text, "\\\\x%02x"); }

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

void prometheus_report(const log_summary &s, std::FILE *out) {
    const channel_order rows = by_name(s);
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
