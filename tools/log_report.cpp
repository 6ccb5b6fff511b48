// log_report.cpp: see log_report.h.
#include "tools/log_report.h"

#include "log/writer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace tarvelo::tool {
namespace {

constexpr std::size_t stamp_length = timestamp_length; // "Tue Dec  8 18:43:24 2026"
constexpr std::size_t name_width = 20;                 // the channel name field
// The longest argument the exit formats: a challenge or a response, 32
// characters and a blank.
constexpr std::size_t argument_max = 33;
// The one number that two entries share.
constexpr int shared_number = 9;
// No line of the exit is longer than this; a longer one is not kept whole.
constexpr std::size_t line_max = 4 * message_line_max;

constexpr std::string_view day_names = "SunMonTueWedThuFriSat";
constexpr std::string_view month_names = "JanFebMarAprMayJunJulAugSepOctNovDec";

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
log_time days_from_civil(log_time y, log_time m, log_time d) {
    y -= m <= 2 ? 1 : 0;
    const log_time era = (y >= 0 ? y : y - 399) / 400;
    const log_time yoe = y - era * 400;
    const log_time doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const log_time doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

struct civil_date {
    log_time year;
    int month;
    int day;
};

civil_date civil_from_days(log_time z) {
    z += 719468;
    const log_time era = (z >= 0 ? z : z - 146096) / 146097;
    const log_time doe = z - era * 146097;
    const log_time yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const log_time doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const log_time mp = (5 * doy + 2) / 153;
    const auto day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const auto month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    return {yoe + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

bool leap_year(log_time y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(log_time y, int m) {
    static constexpr std::array<int, 12> days = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leap_year(y) ? 29 : days[static_cast<std::size_t>(m - 1)];
}

// A channel name is at most 20 bytes: three words, multiplied and mixed.
std::size_t name_hash(std::string_view name) {
    std::uint64_t h = name.size();
    for (std::size_t at = 0; at < name.size(); at += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, name.data() + at, std::min<std::size_t>(8, name.size() - at));
        h = (h ^ word) * 0x9E3779B97F4A7C15u;
        h ^= h >> 29;
    }
    h *= 0xFF51AFD7ED558CCDu;
    return static_cast<std::size_t>(h ^ (h >> 32));
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// `count` digits at `text[at]`, or -1.
int digits_at(std::string_view text, std::size_t at, std::size_t count) {
    if (at + count > text.size()) {
        return -1;
    }
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (!is_digit(text[i])) {
            return -1;
        }
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// 1 to 12 for a month's three letters, else 0.
int month_number(std::string_view name) {
    for (std::size_t m = 0; m < 12; ++m) {
        if (month_names.substr(3 * m, 3) == name) {
            return static_cast<int>(m) + 1;
        }
    }
    return 0;
}

struct clock_time {
    log_time year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// Leap seconds are let through: the C library may write a 60.
std::optional<log_time> to_log_time(const clock_time &c) {
    if (c.month < 1 || c.month > 12 || c.day < 1 || c.day > days_in_month(c.year, c.month) ||
        c.hour > 23 || c.minute > 59 || c.second > 60 || c.hour < 0 || c.minute < 0 ||
        c.second < 0) {
        return std::nullopt;
    }
    return days_from_civil(c.year, c.month, c.day) * 86400 + c.hour * 3600 + c.minute * 60 +
           c.second;
}

bool starts_with(std::string_view text, std::string_view head) {
    return text.size() >= head.size() && std::memcmp(text.data(), head.data(), head.size()) == 0;
}

bool ends_with(std::string_view text, std::string_view tail) {
    return text.size() >= tail.size() &&
           std::memcmp(text.data() + text.size() - tail.size(), tail.data(), tail.size()) == 0;
}

std::string_view without_padding(std::string_view name) {
    while (!name.empty() && name.back() == ' ') {
        name.remove_suffix(1);
    }
    return name;
}

// The earlier release's spelling of the same text.
std::string earlier_spelling(std::string text) {
    for (std::size_t at = text.find("KOR"); at != std::string::npos; at = text.find("KOR", at)) {
        text.replace(at, 3, "ZAV");
    }
    return text;
}

refusal_kind refusal_of(int index) {
    switch (index) {
    case msg_allocation_failure:
        return refusal_allocation_failure;
    case msg_password_violation:
        return refusal_password_violation;
    case msg_revoked:
        return refusal_revoked;
    case msg_sender_not_started:
        return refusal_sender_not_started;
    case msg_unknown_status:
        return refusal_unknown_status;
    case msg_impersonation:
        return refusal_impersonation;
    case msg_invalid_exit_call:
        return refusal_invalid_exit_call;
    case msg_invalid_state:
        return refusal_invalid_state;
    default:
        return refusal_not_registered;
    }
}

} // namespace

std::optional<log_time> parse_log_timestamp(std::string_view text) {
    if (text.size() != stamp_length || text[3] != ' ' || text[7] != ' ' || text[10] != ' ' ||
        text[13] != ':' || text[16] != ':' || text[19] != ' ') {
        return std::nullopt;
    }
    const std::size_t day_name = day_names.find(text.substr(0, 3));
    if (day_name == std::string_view::npos || day_name % 3 != 0) {
        return std::nullopt;
    }
    clock_time c;
    c.month = month_number(text.substr(4, 3));
    // Days 1 to 9 stand behind a blank.
    c.day = text[8] == ' ' ? digits_at(text, 9, 1) : digits_at(text, 8, 2);
    c.hour = digits_at(text, 11, 2);
    c.minute = digits_at(text, 14, 2);
    c.second = digits_at(text, 17, 2);
    c.year = digits_at(text, 20, 4);
    if (c.year < 0) {
        return std::nullopt;
    }
    return to_log_time(c);
}

std::optional<log_time> parse_time_argument(std::string_view text) {
    if (text.size() == stamp_length) {
        return parse_log_timestamp(text);
    }
    // YYYY-MM-DD, then optionally T or a blank and HH:MM, then :SS.
    if ((text.size() != 10 && text.size() != 16 && text.size() != 19) || text[4] != '-' ||
        text[7] != '-') {
        return std::nullopt;
    }
    clock_time c;
    c.year = digits_at(text, 0, 4);
    c.month = digits_at(text, 5, 2);
    c.day = digits_at(text, 8, 2);
    if (text.size() > 10) {
        if ((text[10] != 'T' && text[10] != ' ') || text[13] != ':') {
            return std::nullopt;
        }
        c.hour = digits_at(text, 11, 2);
        c.minute = digits_at(text, 14, 2);
    }
    if (text.size() > 16) {
        if (text[16] != ':') {
            return std::nullopt;
        }
        c.second = digits_at(text, 17, 2);
    }
    if (c.year < 0) {
        return std::nullopt;
    }
    return to_log_time(c);
}

std::string iso_time(log_time t, char separator) {
    log_time days = t / 86400;
    log_time seconds = t % 86400;
    if (seconds < 0) {
        seconds += 86400;
        --days;
    }
    const civil_date d = civil_from_days(days);
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d%c%02d:%02d:%02d", static_cast<int>(d.year),
                  d.month, d.day, separator, static_cast<int>(seconds / 3600),
                  static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
    return text;
}

std::optional<log_time> first_time_in(std::string_view text) {
    while (!text.empty()) {
        const std::size_t newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        if (starts_with(line, " ")) {
            line.remove_prefix(1);
        }
        if (line.size() > stamp_length && line[stamp_length] == ' ') {
            if (const auto t = parse_log_timestamp(line.substr(0, stamp_length))) {
                return t;
            }
        }
        if (newline == std::string_view::npos) {
            break;
        }
        text.remove_prefix(newline + 1);
    }
    return std::nullopt;
}

void flag_record::note(log_time from, log_time to, std::uint64_t times) {
    if (count == 0) {
        first = from;
        last = to;
    } else {
        first = std::min(first, from);
        last = std::max(last, to);
    }
    count += times;
}

std::uint64_t channel_summary::refusal_total() const {
    std::uint64_t total = 0;
    for (std::uint64_t n : refusals) {
        total += n;
    }
    return total;
}

bool channel_summary::flagged() const {
    return std::any_of(flags.begin(), flags.end(), [](const flag_record &f) { return f.count; });
}

// Each format is "%s " (the timestamp), a fixed head, then the channel name
// and a fixed middle where the format has them, then the argument where it
// has one; the newline ends the line, and what follows it in entry 1 (a
// blank) belongs to the next line.
line_parser::line_parser() {
    for (std::size_t i = 0; i < catalogue.size(); ++i) {
        std::string_view format = catalogue[i];
        format.remove_prefix(std::string_view("%s ").size());
        format = format.substr(0, format.find('\n'));
        shape &s = shapes_[i];
        const std::size_t name_at = format.find("%s");
        s.channel = name_at != std::string_view::npos;
        s.head = std::string(format.substr(0, name_at));
        if (s.channel) {
            const std::string_view after = format.substr(name_at + 2);
            const std::size_t argument_at = after.find("%s");
            s.argument = argument_at != std::string_view::npos;
            s.middle = std::string(after.substr(0, argument_at));
        }
        s.old_head = earlier_spelling(s.head);
        s.old_middle = earlier_spelling(s.middle);
        s.renamed = s.old_head != s.head || s.old_middle != s.middle;
    }
    index_trace_entries();
}

// The byte of the trace texts with the most different values picks the
// few entries a trace line can be.
void line_parser::index_trace_entries() {
    std::size_t best = 0;
    for (std::size_t at = 0;; ++at) {
        std::array<bool, 256> seen{};
        std::size_t values = 0;
        bool inside = true;
        for (std::size_t i = last_numbered_message + 1; i < shapes_.size() && inside; ++i) {
            for (const std::string *head : {&shapes_[i].head, &shapes_[i].old_head}) {
                inside = inside && at < head->size();
                if (inside && !seen[static_cast<unsigned char>((*head)[at])]) {
                    seen[static_cast<unsigned char>((*head)[at])] = true;
                    ++values;
                }
            }
        }
        if (!inside) {
            break;
        }
        if (values > best) {
            best = values;
            trace_key_at_ = at;
        }
    }
    // Both spellings of an entry lead to it.
    for (std::size_t i = last_numbered_message + 1; i < shapes_.size(); ++i) {
        for (const std::string *head : {&shapes_[i].head, &shapes_[i].old_head}) {
            std::vector<int> &entries =
                trace_entries_[static_cast<unsigned char>((*head)[trace_key_at_])];
            if (std::find(entries.begin(), entries.end(), static_cast<int>(i)) == entries.end()) {
                entries.push_back(static_cast<int>(i));
            }
        }
    }
}

std::optional<log_time> line_parser::timestamp(std::string_view text) {
    if (have_last_ && std::memcmp(text.data(), last_stamp_.data(), stamp_length) == 0) {
        return last_time_;
    }
    const std::optional<log_time> t = parse_log_timestamp(text);
    if (t) {
        std::memcpy(last_stamp_.data(), text.data(), stamp_length);
        last_time_ = *t;
        have_last_ = true;
    }
    return t;
}

bool line_parser::match(int index, std::string_view rest, parsed_line *out) const {
    const shape &s = shapes_[static_cast<std::size_t>(index)];
    for (const bool earlier : {false, true}) {
        const std::string &head = earlier ? s.old_head : s.head;
        const std::string &middle = earlier ? s.old_middle : s.middle;
        if (earlier && !s.renamed) {
            return false;
        }
        if (!starts_with(rest, head)) {
            continue;
        }
        std::string_view tail = rest.substr(head.size());
        std::string_view name;
        if (!s.channel) {
            if (!tail.empty()) {
                continue;
            }
        } else if (!s.argument) {
            if (!ends_with(tail, middle)) {
                continue;
            }
            name = tail.substr(0, tail.size() - middle.size());
        } else {
            // The name field is 20 bytes, blanks included; only a name cut
            // short by a zero byte in the field is shorter.
            std::size_t at = name_width;
            if (tail.size() < at + middle.size() || tail.compare(at, middle.size(), middle) != 0) {
                at = tail.find(middle);
                if (at == std::string_view::npos) {
                    continue;
                }
            }
            name = tail.substr(0, at);
            // A challenge or response shows at most 32 characters and a
            // blank; a partner's text cut by a newline shows fewer.
            if (tail.size() - at - middle.size() > argument_max) {
                continue;
            }
        }
        if (name.size() > name_width) {
            continue;
        }
        out->index = index;
        out->channel = without_padding(name);
        return true;
    }
    return false;
}

bool line_parser::parse(std::string_view line, parsed_line *out) {
    constexpr std::string_view identifier = "TARVELO";
    constexpr std::string_view trace = "Trace ....>";
    if (line.size() <= stamp_length || line[stamp_length] != ' ') {
        return false;
    }
    const std::optional<log_time> t = timestamp(line.substr(0, stamp_length));
    if (!t) {
        return false;
    }
    out->time = *t;
    const std::string_view rest = line.substr(stamp_length + 1);
    if (starts_with(rest, identifier)) {
        // The number picks the entry: 001 to 009 are entries 0 to 8, 009
        // is entry 9 as well, and 010 is entry 10.
        const int number = digits_at(rest, identifier.size(), 3);
        if (number < 1 || number > last_numbered_message) {
            return false;
        }
        if (number == shared_number) {
            return match(msg_invalid_exit_call, rest, out) || match(msg_invalid_state, rest, out);
        }
        return match(number < shared_number ? number - 1 : number, rest, out);
    }
    if (starts_with(rest, trace) && rest.size() > trace_key_at_) {
        for (const int index : trace_entries_[static_cast<unsigned char>(rest[trace_key_at_])]) {
            if (match(index, rest, out)) {
                return true;
            }
        }
    }
    return false;
}

log_summary::log_summary(time_window window) : window_(window) {}

void log_summary::begin_input(std::string name) {
    input_ = std::move(name);
    line_number_ = 0;
    pending_.clear();
    pending_too_long_ = false;
    blank_expected_ = false;
    previous_start_.reset();
}

void log_summary::feed(const char *data, std::size_t size) {
    const char *p = data;
    const char *const end = data + size;
    if (!pending_.empty() || pending_too_long_) {
        const auto *newline = static_cast<const char *>(std::memchr(p, '\n', size));
        const char *stop = newline != nullptr ? newline : end;
        const auto piece = static_cast<std::size_t>(stop - p);
        if (pending_.size() + piece > line_max) {
            pending_too_long_ = true;
        } else {
            pending_.append(p, piece);
        }
        if (newline == nullptr) {
            return;
        }
        take_line(pending_too_long_ ? std::string_view() : std::string_view(pending_));
        pending_.clear();
        pending_too_long_ = false;
        p = newline + 1;
    }
    while (p < end) {
        const auto *newline =
            static_cast<const char *>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        if (newline == nullptr) {
            const auto piece = static_cast<std::size_t>(end - p);
            if (piece > line_max) {
                pending_too_long_ = true;
            } else {
                pending_.assign(p, piece);
            }
            return;
        }
        take_line({p, static_cast<std::size_t>(newline - p)});
        p = newline + 1;
    }
}

void log_summary::end_input() {
    // A file that ends without a newline: its last line was cut short,
    // unless all that is left is the blank a TARVELO002E line writes after
    // itself.
    if (pending_too_long_ || (!pending_.empty() && !(blank_expected_ && pending_ == " "))) {
        take_line(pending_too_long_ ? std::string_view() : std::string_view(pending_));
    }
    pending_.clear();
    pending_too_long_ = false;
}

void log_summary::finish() {
    for (channel_summary &c : channels_) {
        if (c.open > 0) {
            c.flags[flag_unclosed] = {};
            c.flags[flag_unclosed].note(c.open_since, c.last_start, c.open);
        }
    }
}

void log_summary::note_unparsed() {
    if (totals_.unparsed++ == 0) {
        totals_.first_unparsed_input = input_;
        totals_.first_unparsed_line = line_number_;
    }
}

void log_summary::take_line(std::string_view line) {
    ++totals_.lines;
    ++line_number_;
    if (ends_with(line, "\r")) {
        line.remove_suffix(1); // a log that has passed through a Windows tool
    }
    // TARVELO002E ends with a newline and a blank: the blank begins the
    // next line in the same file, whichever channel wrote it.
    if (blank_expected_ && starts_with(line, " ")) {
        line.remove_prefix(1);
    }
    blank_expected_ = false;
    parsed_line p;
    if (!parser_.parse(line, &p)) {
        note_unparsed();
        previous_start_.reset();
        return;
    }
    blank_expected_ = p.index == msg_allocation_failure;
    if ((window_.since && p.time < *window_.since) || (window_.until && p.time >= *window_.until)) {
        ++totals_.skipped;
        previous_start_.reset();
        return;
    }
    ++totals_.exit_lines;
    apply(p);
}

std::size_t log_summary::channel_index(std::string_view name) {
    if (last_channel_ < channels_.size() && channels_[last_channel_].name == name) {
        return last_channel_;
    }
    if (2 * (channels_.size() + 1) > slots_.size()) {
        grow_slots();
    }
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = name_hash(name) & mask;; slot = (slot + 1) & mask) {
        const std::uint32_t taken = slots_[slot];
        if (taken == 0) {
            last_channel_ = channels_.size();
            channels_.emplace_back();
            channels_.back().name = std::string(name);
            slots_[slot] = static_cast<std::uint32_t>(channels_.size());
            return last_channel_;
        }
        if (channels_[taken - 1].name == name) {
            last_channel_ = taken - 1;
            return last_channel_;
        }
    }
}

void log_summary::grow_slots() {
    slots_.assign(std::max<std::size_t>(64, 2 * slots_.size()), 0);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = 0; i < channels_.size(); ++i) {
        std::size_t slot = name_hash(channels_[i].name) & mask;
        while (slots_[slot] != 0) {
            slot = (slot + 1) & mask;
        }
        slots_[slot] = static_cast<std::uint32_t>(i + 1);
    }
}

void log_summary::apply(const parsed_line &line) {
    const log_time t = line.time;
    std::size_t index = 0;
    if (line.index == msg_allocation_failure) {
        // Written in the same call as the start just before it, so within
        // a second of it; with another channel's line between, the channel
        // cannot be told and the line counts under the empty name.
        const bool adjacent = previous_start_ && t - previous_start_time_ <= 1;
        index = adjacent ? *previous_start_ : channel_index({});
    } else {
        index = channel_index(line.channel);
    }
    previous_start_.reset();
    channel_summary &c = channels_[index];
    c.first = c.lines == 0 ? t : std::min(c.first, t);
    c.last = c.lines == 0 ? t : std::max(c.last, t);
    ++c.lines;

    if (line.index > last_numbered_message) {
        ++totals_.trace_lines;
        return;
    }
    switch (line.index) {
    case msg_exit_started:
        ++c.starts;
        if (c.open++ == 0) {
            c.open_since = t;
        }
        c.last_start = t;
        previous_start_ = index;
        previous_start_time_ = t;
        return;
    case msg_channel_closed:
        ++c.closes;
        // A close with no start before it began before the first file read.
        if (c.open > 0) {
            --c.open;
        }
        return;
    default:
        note_refusal(c, refusal_of(line.index), t);
        return;
    }
}

void log_summary::note_refusal(channel_summary &c, refusal_kind kind, log_time t) {
    ++c.refusals[static_cast<std::size_t>(kind)];
    if (kind == refusal_impersonation) {
        c.flags[flag_impersonation].note(t, t);
    } else if (kind == refusal_revoked) {
        c.flags[flag_revoked].note(t, t);
    }
    c.recent[c.recent_next] = t;
    c.recent_next = (c.recent_next + 1) % burst_refusals;
    c.recent_count = std::min(c.recent_count + 1, burst_refusals);
    if (c.recent_count < burst_refusals) {
        return;
    }
    // Threads write their lines a little out of time order: the window is
    // from the earliest to the latest of the last few, whatever their order.
    const auto [earliest, latest] = std::minmax_element(c.recent.begin(), c.recent.end());
    if (*latest - *earliest <= burst_seconds) {
        c.flags[flag_burst].note(*earliest, *latest);
        c.recent_count = 0; // the next burst needs refusals of its own
    }
}

} // namespace tarvelo::tool
