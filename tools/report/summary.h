// summary.h: the exit's log files summarised per channel as their lines
// stream past. Memory grows with the number of channels, never with the
// number of lines, and stays small per channel: a fixed record for each,
// the name in a shared arena, and the refusals and flags only for the
// channels that met any. "tarvelo report" and its benchmark share this.
#ifndef TARVELO_TOOLS_REPORT_SUMMARY_H
#define TARVELO_TOOLS_REPORT_SUMMARY_H

#include "log/catalogue.h"
#include "tools/report/line_splitter.h"
#include "tools/report/log_reader.h"
#include "tools/report/log_time.h"
#include "tools/report/name_table.h"
#include "tools/report/record_blocks.h"
#include "tools/system/result.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace tarvelo::tool {

namespace detail {
constexpr std::size_t count_refusals() {
    std::size_t n = 0;
    for (const message &m : messages) {
        n += m.kind == message_kind::refusal ? 1 : 0;
    }
    return n;
}
} // namespace detail

// The refusals a channel can meet: the catalogue's refusal entries, in
// catalogue order, each counted under its key.
inline constexpr std::size_t refusal_kinds = detail::count_refusals();
inline constexpr std::array<int, refusal_kinds> refusal_messages = [] {
    std::array<int, refusal_kinds> list{};
    std::size_t n = 0;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        if (messages[i].kind == message_kind::refusal) {
            list[n++] = static_cast<int>(i);
        }
    }
    return list;
}();

constexpr std::string_view refusal_key(std::size_t kind) {
    return messages[static_cast<std::size_t>(refusal_messages[kind])].key;
}

// A burst: this many refusals on one channel with the first and the last
// of them at most this many seconds apart. The host retries a refused
// channel about once a minute; a partner or an impostor that tries faster
// than that stands out.
inline constexpr std::size_t burst_refusals = 5;
inline constexpr log_time burst_seconds = 60;

// What a report flags on a channel, worst first.
enum flag_kind : int { flag_impersonation, flag_burst, flag_revoked, flag_unclosed, flag_kinds };

inline constexpr std::array<std::string_view, flag_kinds> flag_names = {"impersonation", "burst",
                                                                        "revoked", "unclosed"};

// How often a flag was raised on a channel, and the times of the earliest
// and the latest line behind it.
struct flag_record {
    std::uint64_t count = 0;
    log_time first = 0;
    log_time last = 0;

    void note(log_time from, log_time to, std::uint64_t times = 1);
};

// What every channel has.
struct channel_record {
    std::uint64_t starts = 0;
    std::uint64_t closes = 0;
    log_time first = 0; // earliest and latest line of the channel, trace included
    log_time last = 0;
    // Starts not yet matched by a close, worked out as the lines pass.
    log_time open_since = 0;
    log_time last_start = 0;
    std::uint32_t open = 0;
    std::uint32_t trouble = 0; // 1 + its place among the troubles; 0: none
    std::uint32_t name_at = 0; // in the name arena
    std::uint16_t host = 0;    // its place among the hosts named
    std::uint8_t name_length = 0;
    bool seen = false; // first and last hold a line's time
};

// What only some channels meet: refusals. A log where every other channel
// is refused has half a million of these, so they hold no flags: the
// rarer flags are kept apart, and starts without a close are read off the
// channel itself.
struct channel_trouble {
    std::array<std::uint64_t, refusal_kinds> refusals{};
    // The times of the latest refusals, a ring, as the log gives them and
    // on the summary's steady clock, both modulo 2^32 seconds: only their
    // differences from the latest line's are taken. A trouble record stays
    // within 128 bytes, so that a block of records holds twice as many.
    std::array<std::uint32_t, burst_refusals> recent{};
    std::array<std::uint32_t, burst_refusals> recent_steady{};
    std::uint32_t flags = 0; // 1 + its place among the flags; 0: none
    std::uint8_t recent_count = 0;
    std::uint8_t recent_next = 0;
};
// Within 128 bytes: a block of 2 MiB then holds 16,384 of them, not 8,192.
static_assert(sizeof(channel_trouble) <= 128);

// The flags raised on a channel by its lines: every kind but unclosed.
struct channel_flags {
    std::array<flag_record, flag_kinds> flags{};
};

// Which lines count: within the time window (at or after `since`, before
// `until`), and of the channels named, when any are.
struct report_filter {
    std::optional<log_time> since;
    std::optional<log_time> until;
    std::set<std::string, std::less<>> channels; // as the report shows them
};

struct read_totals {
    std::uint64_t lines = 0;      // every line read
    std::uint64_t exit_lines = 0; // lines of the exit that the report counts
    std::uint64_t trace_lines = 0;
    std::uint64_t skipped = 0;  // lines of the exit left out by the filter
    std::uint64_t unparsed = 0; // lines that are no line of the exit
    std::uint64_t torn = 0;     // lines of the exit cut short, a whole one glued behind
    std::string first_unparsed_input;
    std::uint64_t first_unparsed_line = 0; // counted from 1
};

// One file read, for the list of files and the warning about a file that
// holds no line of the exit.
struct input_totals {
    std::string name;
    std::uint64_t lines = 0;
    std::uint64_t exit_lines = 0; // whether the filter kept them or not
    std::uint16_t host = 0;       // its place among the hosts named
};

// The summary of a set of log files, fed one file at a time: begin_input,
// feed the bytes in pieces of any size, end_input. Files of a rotated set
// are best fed oldest first (see first_time_in): bursts and starts without
// a close are worked out in the order lines arrive.
class log_summary {
public:
    explicit log_summary(report_filter filter = {});
    ~log_summary();
    log_summary(const log_summary &) = delete;
    log_summary &operator=(const log_summary &) = delete;

    // The host of the inputs that follow, until another is named. Channels
    // of one name on two hosts are two channels: their refusals, bursts and
    // starts never meet. Before any is named, every input belongs to one
    // host without a name.
    // Both names are kept and shown escaped (shown_text).
    void begin_host(std::string_view name);
    void begin_input(std::string_view name);
    void feed(const char *data, std::size_t size);
    void end_input();

    // After the last input. The channels are in the order they were first
    // seen. The system's trouble when the logs named more hosts or channels
    // than a summary can hold (the names' arena or the channels' 32-bit
    // numbers used up): the lines of those beyond were not counted.
    result<void> finish();

    std::size_t channel_count() const { return channels_.count(); }
    const channel_record &channel(std::size_t i) const { return channels_[i]; }
    std::string_view name(std::size_t i) const {
        const channel_record &c = channels_[i];
        return names_.at(c.name_at, c.name_length);
    }
    // Null when the channel met no refusal.
    const channel_trouble *trouble(std::size_t i) const {
        const std::uint32_t t = channels_[i].trouble;
        return t == 0 ? nullptr : &troubles_[t - 1];
    }
    // A flag of the channel; its count is 0 when it was not raised.
    flag_record flag(std::size_t i, std::size_t kind) const;
    std::uint64_t refusal_total(std::size_t i) const;
    bool flagged(std::size_t i) const;
    // The hosts named, in order, escaped; "" stands for the host without a
    // name.
    const std::vector<std::string> &hosts() const { return hosts_; }
    std::string_view host(std::size_t i) const { return hosts_[channels_[i].host]; }
    // Whether any host was named: the reports then show the host.
    bool hosts_named() const { return hosts_.size() > 1 || !hosts_.front().empty(); }

    const read_totals &totals() const { return totals_; }
    const std::vector<input_totals> &inputs() const { return inputs_; }
    // Names of channels that --channel left out, the first of them up to a
    // limit: what a name that matched nothing is compared with.
    const std::unordered_set<std::string> &names_left_out() const { return left_out_; }
    static constexpr std::size_t names_left_out_max = std::size_t{1} << 16;

private:
    void take_line(std::string_view line);
    void apply(const parsed_line &line);
    // The index of a channel, or no_channel when the filter leaves it out.
    // A plain number rather than an optional: it is returned for every line.
    static constexpr std::size_t no_channel = slot_table::none;
    std::size_t channel_index(std::string_view raw);
    std::size_t look_up(std::string_view name);
    std::size_t add_channel(std::string_view name);
    channel_trouble &trouble_of(channel_record &c);
    flag_record &raise(channel_trouble &t, flag_kind kind);
    void note_refusal(channel_record &c, std::size_t kind, log_time t);
    void advance_steady(log_time t);
    // How far behind the line before a line may be and still be taken as
    // written in the same moment by another thread, not as a step back.
    static constexpr log_time reordered_seconds = 5;
    void note_unparsed();

    line_parser parser_;
    report_filter filter_;
    block_array<channel_record> channels_;
    block_array<channel_trouble> troubles_;
    block_array<channel_flags> flags_;
    std::vector<std::string> hosts_{std::string()};
    std::uint16_t host_ = 0; // of the input being read
    name_arena names_;
    std::string escaped_; // a name being escaped
    slot_table slots_;    // released by finish()
    recent_channels recent_;
    read_totals totals_;
    std::vector<input_totals> inputs_;
    // Why a host or a channel could not be added: none beyond it is counted.
    std::optional<tool::trouble> full_;
    std::unordered_set<std::string> left_out_;

    // The input being read.
    std::uint64_t line_number_ = 0;
    line_splitter lines_;
    bool blank_expected_ = false; // the previous line was TARVELO002E
    // The line just before, when it was a start: a TARVELO002E line names no
    // channel, and the exit writes it right after the start of the channel
    // that failed. `previous_start_` is that channel, or none when the
    // filter left it out.
    bool after_start_ = false;
    std::optional<std::size_t> previous_start_;
    log_time previous_start_time_ = 0;
    // The time of the lines in their order, never running backwards: a
    // step back of the log's clock (the autumn change of local time, a
    // clock set back) is no time passing. Bursts are measured on it.
    log_time steady_ = 0;
    log_time steady_wall_ = 0; // the log's time that steady_ stands for
    bool steady_started_ = false;
};

} // namespace tarvelo::tool

#endif
