// log_report.h: the exit's log files read back: each line taken apart by
// the catalogue it was written from, and a per-channel summary kept as the
// lines stream past. Memory grows with the number of channels, never with
// the number of lines. "tarvelo report" and its benchmark share this.
#ifndef TARVELO_TOOLS_LOG_REPORT_H
#define TARVELO_TOOLS_LOG_REPORT_H

#include "log/catalogue.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvelo::tool {

// A time as the log shows it: seconds since 1970-01-01 00:00:00 counted in
// the log's own wall-clock time. The log carries no zone, so these are
// never turned into UTC: they are compared and printed, nothing more.
using log_time = std::int64_t;

// The 24-character timestamp that begins every line ("Tue Dec  8 18:43:24
// 2026"), or nothing when `text` is not one. The day name is checked to be
// a day name, not to fit the date.
std::optional<log_time> parse_log_timestamp(std::string_view text);

// A time given on the command line, as the log's local time:
// "2026-12-08", "2026-12-08T18:43", "2026-12-08 18:43:24" (T or a blank),
// or the log's own form "Tue Dec  8 18:43:24 2026". A date alone means its
// midnight. Nothing when `text` is none of these or names no real date.
std::optional<log_time> parse_time_argument(std::string_view text);

// ISO 8601 without a zone: "2026-12-08T18:43:24"; `separator` replaces the
// "T" (a blank reads better in a table).
std::string iso_time(log_time t, char separator = 'T');

// The time on the first line of `text` that begins with a timestamp (after
// the blank a TARVELO002E line leaves), to put a rotated set in order.
std::optional<log_time> first_time_in(std::string_view text);

// The refusals a channel can meet, in catalogue order. The two texts of
// TARVELO009E are told apart; their keys are the only ones that are not a
// bare identifier.
enum refusal_kind : int {
    refusal_allocation_failure, // TARVELO002E
    refusal_password_violation, // TARVELO003W
    refusal_revoked,            // TARVELO004E
    refusal_sender_not_started, // TARVELO005E
    refusal_unknown_status,     // TARVELO006S
    refusal_impersonation,      // TARVELO007E
    refusal_invalid_exit_call,  // TARVELO009E, "Invalid exit call"
    refusal_invalid_state,      // TARVELO009E, "Invalid Internal State"
    refusal_not_registered,     // TARVELO010E
    refusal_kinds
};

inline constexpr std::array<std::string_view, refusal_kinds> refusal_keys = {
    "TARVELO002E", "TARVELO003W",      "TARVELO004E",       "TARVELO005E", "TARVELO006S",
    "TARVELO007E", "TARVELO009E-call", "TARVELO009E-state", "TARVELO010E",
};

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

struct channel_summary {
    std::string name; // without the blanks that pad it to 20 bytes
    std::uint64_t starts = 0;
    std::uint64_t closes = 0;
    std::array<std::uint64_t, refusal_kinds> refusals{};
    std::uint64_t lines = 0; // lines of the exit that name it, trace included
    log_time first = 0;      // earliest and latest line of this channel, trace included
    log_time last = 0;
    std::array<flag_record, flag_kinds> flags{};

    // Worked out while the lines stream past.
    std::uint64_t open = 0; // starts not yet matched by a close
    log_time open_since = 0;
    log_time last_start = 0;
    std::array<log_time, burst_refusals> recent{}; // the latest refusals, a ring
    std::size_t recent_count = 0;
    std::size_t recent_next = 0;

    std::uint64_t refusal_total() const;
    bool flagged() const;
};

// One line taken apart. `channel` points into the line.
struct parsed_line {
    int index = -1; // catalogue index
    log_time time = 0;
    std::string_view channel;
};

// Recognises the lines of the catalogue. Every line must match its entry
// whole: the fixed text before, between and after the channel name and the
// argument. Lines of the earlier release, which spelled the service ZAV
// where this one spells KOR, are recognised too.
class line_parser {
public:
    line_parser();

    // `line` is one line without its newline. False when it is no line of
    // the catalogue.
    bool parse(std::string_view line, parsed_line *out);

private:
    struct shape {
        std::string head;   // after the timestamp and its blank, up to the channel
        std::string middle; // after the channel, up to the argument or the end
        std::string old_head;
        std::string old_middle;
        bool channel = false;
        bool argument = false;
        bool renamed = false; // the earlier release spelled it otherwise
    };

    void index_trace_entries();
    bool match(int index, std::string_view rest, parsed_line *out) const;
    std::optional<log_time> timestamp(std::string_view text);

    std::array<shape, catalogue.size()> shapes_;
    // Trace lines are told apart by one byte of their fixed text: the
    // entries whose text has each value there, so that a line is matched
    // against two or three entries instead of eleven.
    std::size_t trace_key_at_ = 0;
    std::array<std::vector<int>, 256> trace_entries_;
    // Lines of one second share their timestamp: it is read once.
    std::array<char, 24> last_stamp_{};
    log_time last_time_ = 0;
    bool have_last_ = false;
};

// Where report lines are kept: lines at or after `since` and before `until`.
struct time_window {
    std::optional<log_time> since;
    std::optional<log_time> until;
};

struct read_totals {
    std::uint64_t lines = 0;      // every line read
    std::uint64_t exit_lines = 0; // lines of the exit within the window
    std::uint64_t trace_lines = 0;
    std::uint64_t skipped = 0;  // lines of the exit outside the window
    std::uint64_t unparsed = 0; // lines that are no line of the exit
    std::string first_unparsed_input;
    std::uint64_t first_unparsed_line = 0; // counted from 1
};

// The summary of a set of log files, fed one file at a time: begin_input,
// feed the bytes in pieces of any size, end_input. Files of a rotated set
// are best fed oldest first (see first_time_in): bursts and starts without
// a close are worked out in the order lines arrive.
class log_summary {
public:
    explicit log_summary(time_window window = {});

    void begin_input(std::string name);
    void feed(const char *data, std::size_t size);
    void end_input();

    // After the last input: raises the flags for starts left without a
    // close. The channels are in the order they were first seen.
    void finish();

    const std::vector<channel_summary> &channels() const { return channels_; }
    const read_totals &totals() const { return totals_; }

private:
    void take_line(std::string_view line);
    void apply(const parsed_line &line);
    std::size_t channel_index(std::string_view name);
    void grow_slots();
    void note_refusal(channel_summary &c, refusal_kind kind, log_time t);
    void note_unparsed();

    line_parser parser_;
    time_window window_;
    std::vector<channel_summary> channels_;
    // The channels by name: open addressing, each slot 0 (free) or a
    // channel's position plus one, never more than half full.
    std::vector<std::uint32_t> slots_;
    std::size_t last_channel_ = 0;
    read_totals totals_;

    // The input being read.
    std::string input_;
    std::uint64_t line_number_ = 0;
    std::string pending_; // a line cut by the end of a piece
    bool pending_too_long_ = false;
    bool blank_expected_ = false; // the previous line was TARVELO002E
    // The channel of the line just before, when that line was a start: a
    // TARVELO002E line names no channel, and the exit writes it right after
    // the start of the channel that failed.
    std::optional<std::size_t> previous_start_;
    log_time previous_start_time_ = 0;
};

} // namespace tarvelo::tool

#endif
