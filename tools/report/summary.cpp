// summary.cpp: see summary.h.
#include "tools/report/summary.h"

#include "tools/system/shown_text.h"

#include <algorithm>

namespace tarvelo::tool {
namespace {

tool::trouble too_many_channels() {
    return {cause::system, "the log names more channels than the report can hold"};
}

// Where each catalogue entry is counted among the refusals.
constexpr std::array<std::size_t, messages.size()> refusal_slots = [] {
    std::array<std::size_t, messages.size()> slots{};
    for (std::size_t k = 0; k < refusal_kinds; ++k) {
        slots[static_cast<std::size_t>(refusal_messages[k])] = k;
    }
    return slots;
}();

} // namespace

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

log_summary::log_summary(report_filter filter) : filter_(std::move(filter)) {}

log_summary::~log_summary() = default;

std::uint64_t log_summary::refusal_total(std::size_t i) const {
    const channel_trouble *t = trouble(i);
    std::uint64_t total = 0;
    if (t != nullptr) {
        for (const std::uint64_t n : t->refusals) {
            total += n;
        }
    }
    return total;
}

flag_record log_summary::flag(std::size_t i, std::size_t kind) const {
    const channel_record &c = channels_[i];
    if (kind == flag_unclosed) {
        flag_record f;
        if (c.open > 0) {
            f.note(c.open_since, c.last_start, c.open);
        }
        return f;
    }
    const channel_trouble *t = trouble(i);
    return t == nullptr || t->flags == 0 ? flag_record{} : flags_[t->flags - 1].flags[kind];
}

bool log_summary::flagged(std::size_t i) const {
    const channel_trouble *t = trouble(i);
    if (channels_[i].open > 0) {
        return true;
    }
    if (t == nullptr || t->flags == 0) {
        return false;
    }
    const channel_flags &f = flags_[t->flags - 1];
    return std::any_of(f.flags.begin(), f.flags.end(),
                       [](const flag_record &r) { return r.count != 0; });
}

void log_summary::begin_host(std::string_view name) {
    std::string shown = shown_text(name);
    const auto known = std::find(hosts_.begin(), hosts_.end(), shown);
    if (known != hosts_.end()) {
        host_ = static_cast<std::uint16_t>(known - hosts_.begin());
        return;
    }
    if (hosts_.size() > UINT16_MAX) {
        full_ = tool::trouble{cause::system, "more hosts named than the report can hold"};
        return;
    }
    host_ = static_cast<std::uint16_t>(hosts_.size());
    hosts_.push_back(std::move(shown));
    // The channels of the latest lines were another host's.
    recent_.clear();
}

void log_summary::begin_input(std::string_view name) {
    inputs_.push_back({shown_text(name), 0, 0, host_});
    line_number_ = 0;
    lines_.clear();
    blank_expected_ = false;
    after_start_ = false;
}

void log_summary::feed(const char *data, std::size_t size) {
    lines_.feed(data, size, [this](std::string_view line) { take_line(line); });
}

void log_summary::end_input() {
    // A file that ends without a newline: its last line was cut short,
    // unless all that is left is the blank a TARVELO002E line writes after
    // itself.
    const std::optional<std::string_view> rest = lines_.rest();
    if (rest && !(blank_expected_ && *rest == " ")) {
        take_line(*rest);
    }
    lines_.clear();
}

result<void> log_summary::finish() {
    // No name is looked up any more: the table's memory goes to the
    // report. Starts without a close are read off each channel when asked
    // for.
    slots_.release();
    recent_.clear();
    if (full_) {
        return *full_;
    }
    return {};
}

void log_summary::note_unparsed() {
    if (totals_.unparsed++ == 0) {
        totals_.first_unparsed_input = inputs_.back().name;
        totals_.first_unparsed_line = line_number_;
    }
}

void log_summary::take_line(std::string_view line) {
    ++totals_.lines;
    ++inputs_.back().lines;
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
        // A line cut short and the next one glued to it: the whole one
        // counts, the cut one is counted as torn.
        if (parser_.whole_line_behind_cut(line, &p) == 0) {
            note_unparsed();
            after_start_ = false;
            return;
        }
        ++totals_.torn;
    }
    ++inputs_.back().exit_lines;
    blank_expected_ = p.index == msg_allocation_failure;
    if ((filter_.since && p.time < *filter_.since) || (filter_.until && p.time >= *filter_.until)) {
        ++totals_.skipped;
        after_start_ = false;
        return;
    }
    apply(p);
}

std::size_t log_summary::channel_index(std::string_view raw) {
    const std::string_view name = escaped_name(raw, escaped_);
    const std::uint64_t print = fingerprint(name, host_);
    recent_channels::entry &recent = recent_.slot(print);
    if (recent.place != 0 && recent.fingerprint == print &&
        same_text(this->name(recent.place - 1), name) &&
        channels_[recent.place - 1].host == host_) {
        return recent.place - 1;
    }
    const std::size_t found = look_up(name);
    if (found != no_channel) {
        recent = {print, static_cast<std::uint32_t>(found + 1)};
    }
    return found;
}

std::size_t log_summary::look_up(std::string_view name) {
    if (!filter_.channels.empty() && filter_.channels.count(name) == 0) {
        if (left_out_.size() < names_left_out_max) {
            left_out_.emplace(name);
        }
        return no_channel;
    }
    if (full_) {
        return no_channel;
    }
    const std::size_t found = slots_.find_or_add(
        static_cast<std::uint32_t>(name_hash(name, host_)),
        [&](std::size_t index) {
            return channels_[index].host == host_ && same_text(this->name(index), name);
        },
        [&] { return add_channel(name); });
    if (found == no_channel && !full_) {
        full_ = too_many_channels(); // the table holds no more
    }
    return found;
}

std::size_t log_summary::add_channel(std::string_view name) {
    const std::optional<std::uint32_t> place = names_.add(name);
    if (!place) {
        full_ = too_many_channels();
        return no_channel;
    }
    channel_record &c = channels_.emplace_back();
    c.name_at = *place;
    c.name_length = static_cast<std::uint8_t>(name.size());
    c.host = host_;
    return channels_.count() - 1;
}

channel_trouble &log_summary::trouble_of(channel_record &c) {
    if (c.trouble == 0) {
        troubles_.emplace_back();
        c.trouble = static_cast<std::uint32_t>(troubles_.count());
    }
    return troubles_[c.trouble - 1];
}

flag_record &log_summary::raise(channel_trouble &t, flag_kind kind) {
    if (t.flags == 0) {
        flags_.emplace_back();
        t.flags = static_cast<std::uint32_t>(flags_.count());
    }
    return flags_[t.flags - 1].flags[kind];
}

void log_summary::apply(const parsed_line &line) {
    const log_time t = line.time;
    advance_steady(t);
    std::size_t index = no_channel;
    if (line.index == msg_allocation_failure) {
        // Written in the same call as the start just before it, so within
        // a second of it; with another channel's line between, the channel
        // cannot be told and the line counts under the empty name.
        if (after_start_ && t - previous_start_time_ <= 1) {
            index = previous_start_.value_or(no_channel);
        } else {
            index = channel_index({});
        }
    } else {
        index = channel_index(line.channel);
    }
    after_start_ = false;
    if (index == no_channel) {
        ++totals_.skipped;
        if (line.index == msg_exit_started) {
            after_start_ = true;
            previous_start_.reset();
            previous_start_time_ = t;
        }
        return;
    }
    ++totals_.exit_lines;
    channel_record &c = channels_[index];
    c.first = c.seen ? std::min(c.first, t) : t;
    c.last = c.seen ? std::max(c.last, t) : t;
    c.seen = true;

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
        after_start_ = true;
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
        note_refusal(c, refusal_slots[static_cast<std::size_t>(line.index)], t);
        return;
    }
}

void log_summary::advance_steady(log_time t) {
    if (!steady_started_) {
        steady_started_ = true;
        steady_wall_ = t;
    } else if (t >= steady_wall_) {
        steady_ += t - steady_wall_;
        steady_wall_ = t;
    } else if (steady_wall_ - t > reordered_seconds) {
        // A step back: the time goes on from the new reading.
        steady_wall_ = t;
    }
    // A line a few seconds behind the one before was written by another
    // thread a moment earlier: the clock waits until the lines catch up.
}

void log_summary::note_refusal(channel_record &c, std::size_t kind, log_time t) {
    channel_trouble &trouble = trouble_of(c);
    ++trouble.refusals[kind];
    const int index = refusal_messages[kind];
    if (index == msg_impersonation) {
        raise(trouble, flag_impersonation).note(t, t);
    } else if (index == msg_revoked) {
        raise(trouble, flag_revoked).note(t, t);
    }
    trouble.recent[trouble.recent_next] = static_cast<std::uint32_t>(t);
    trouble.recent_steady[trouble.recent_next] = static_cast<std::uint32_t>(steady_);
    trouble.recent_next = static_cast<std::uint8_t>((trouble.recent_next + 1) % burst_refusals);
    trouble.recent_count =
        static_cast<std::uint8_t>(std::min<std::size_t>(trouble.recent_count + 1, burst_refusals));
    if (trouble.recent_count < burst_refusals) {
        return;
    }
    // The window runs from the oldest of the last few refusals to this
    // one on the steady clock; the flag shows the times the log gives.
    const std::uint32_t oldest = trouble.recent_steady[trouble.recent_next];
    if (static_cast<std::uint32_t>(steady_) - oldest <= static_cast<std::uint32_t>(burst_seconds)) {
        // A time kept in 32 bits is this line's time and the signed
        // difference, right for any two lines within 68 years.
        log_time earliest = t;
        log_time latest = t;
        for (const std::uint32_t low : trouble.recent) {
            const log_time then =
                t + static_cast<std::int32_t>(low - static_cast<std::uint32_t>(t));
            earliest = std::min(earliest, then);
            latest = std::max(latest, then);
        }
        raise(trouble, flag_burst).note(earliest, latest);
        trouble.recent_count = 0; // the next burst needs refusals of its own
    }
}

} // namespace tarvelo::tool
