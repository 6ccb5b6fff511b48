// log_reader.cpp: see log_reader.h.
#include "tools/report/log_reader.h"

#include "exit/tarvelo.h"
#include "log/line.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace tarvelo::tool {
namespace {

constexpr std::size_t stamp_length = timestamp_length; // "Tue Dec  8 18:43:24 2026"
// The channel name field, each byte written as up to an escape's length
// ("\x07") by an exit that escapes what is not printable.
constexpr std::size_t name_width = TARVELO_CHANNEL_NAME_LENGTH;
constexpr std::size_t name_max = escape_length * name_width;
// The longest argument the exit formats: a challenge or a response, each
// byte up to an escape's length, and a blank.
constexpr std::size_t escaped_argument_max = escape_length * (argument_max - 1) + 1;

// The number in a numbered entry's identifier: "TARVELO003W" is 3.
constexpr int number_of(std::string_view identifier) {
    int number = 0;
    for (const char c : identifier.substr(identifier_prefix.size(), 3)) {
        number = number * 10 + (c - '0');
    }
    return number;
}

constexpr int highest_number = [] {
    int highest = 0;
    for (int i = 0; i <= last_numbered_message; ++i) {
        highest = std::max(highest, number_of(messages[static_cast<std::size_t>(i)].identifier));
    }
    return highest;
}();

// The entries that each number stands for, in catalogue order, -1 where
// there is none: two texts may share a number.
using number_entries = std::array<int, 2>;
constexpr auto entries_by_number = [] {
    std::array<number_entries, highest_number + 1> table{};
    for (number_entries &entries : table) {
        entries = {-1, -1};
    }
    for (int i = 0; i <= last_numbered_message; ++i) {
        const std::string_view identifier = messages[static_cast<std::size_t>(i)].identifier;
        number_entries &entries = table[static_cast<std::size_t>(number_of(identifier))];
        entries[entries[0] < 0 ? 0 : 1] = i;
    }
    return table;
}();

// Every numbered identifier is the prefix, three digits and a letter, and no
// number stands for more entries than a line is tried against.
static_assert([] {
    std::array<int, highest_number + 1> count{};
    for (int i = 0; i <= last_numbered_message; ++i) {
        const std::string_view identifier = messages[static_cast<std::size_t>(i)].identifier;
        if (identifier.size() != identifier_prefix.size() + 4 ||
            identifier.substr(0, identifier_prefix.size()) != identifier_prefix) {
            return false;
        }
        for (const char c : identifier.substr(identifier_prefix.size(), 3)) {
            if (c < '0' || c > '9') {
                return false;
            }
        }
        if (++count[static_cast<std::size_t>(number_of(identifier))] >
            static_cast<int>(number_entries{}.size())) {
            return false;
        }
    }
    return true;
}());

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

bool lower_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

bool shown_as_is(char c) { return tarvelo::shown_as_is(static_cast<unsigned char>(c)); }

// Whether `name` holds, at `at`, a backslash that begins an escape the exit
// made: "\x" and two lower-case hex digits.
bool escape_at(std::string_view name, std::size_t at) {
    return at + escape_length <= name.size() && name[at] == '\\' && name[at + 1] == 'x' &&
           lower_hex(name[at + 2]) && lower_hex(name[at + 3]);
}

// Where the channel name ends in `tail`, which begins with it: after the
// bytes of its field, each escape the exit made counting as one byte, when
// `middle` follows there; else, for a name cut short by a zero byte in the
// field, at the first place within the field where it does. Never
// further along the line, where a name that holds the text of `middle`
// (" - ZT Code => ") would move the line to another channel. npos when the
// line has no such place.
std::size_t name_end(std::string_view tail, std::string_view middle) {
    const auto middle_at = [&](std::size_t at) {
        return at <= tail.size() && tail.size() - at >= middle.size() &&
               tail.compare(at, middle.size(), middle) == 0;
    };
    std::size_t shorter = std::string_view::npos;
    std::size_t at = 0;
    for (std::size_t bytes = 0; bytes < name_width && at < tail.size(); ++bytes) {
        if (shorter == std::string_view::npos && middle_at(at)) {
            shorter = at;
        }
        at += escape_at(tail, at) ? 4 : 1;
    }
    return middle_at(at) ? at : shorter;
}

// How long `name` is once escaped.
std::size_t escaped_size(std::string_view name) {
    std::size_t size = 0;
    for (std::size_t at = 0; at < name.size(); ++at) {
        if (escape_at(name, at)) {
            size += escape_length;
            at += escape_length - 1;
        } else {
            size += shown_as_is(name[at]) ? 1 : escape_length;
        }
    }
    return size;
}

} // namespace

std::string_view escape_name(std::string_view name, std::string &buffer) {
    buffer.clear();
    for (std::size_t at = 0; at < name.size(); ++at) {
        if (escape_at(name, at)) {
            buffer.append(name.substr(at, escape_length));
            at += escape_length - 1;
        } else {
            append_shown(buffer, name[at]);
        }
    }
    return buffer;
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
    if (have_last_ && same_text(text.substr(0, stamp_length), {last_stamp_.data(), stamp_length})) {
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
            // The name fills its field, blanks included; only a name cut
            // short by a zero byte in the field is shorter.
            const std::size_t at = name_end(tail, middle);
            if (at == std::string_view::npos) {
                continue;
            }
            name = tail.substr(0, at);
            // A challenge or response shows at most its characters and a
            // blank; a partner's text cut by a newline shows fewer.
            if (tail.size() - at - middle.size() > escaped_argument_max) {
                continue;
            }
        }
        // An escaping exit writes at most an escape for each byte of the
        // name field, an earlier one the field raw: either way at most that
        // once escaped.
        if (name.size() > name_max || (name.size() > name_width && escaped_size(name) > name_max)) {
            continue;
        }
        out->index = index;
        out->channel = without_padding(name);
        return true;
    }
    return false;
}

bool line_parser::parse(std::string_view line, parsed_line *out) {
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
    if (starts_with(rest, identifier_prefix)) {
        // The number picks the entries of that identifier.
        const int number = digits_at(rest, identifier_prefix.size(), 3);
        if (number < 0 || number > highest_number) {
            return false;
        }
        for (const int index : entries_by_number[static_cast<std::size_t>(number)]) {
            if (index >= 0 && match(index, rest, out)) {
                return true;
            }
        }
        return false;
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

// A torn line: the part of a line that went in before the disk filled,
// then the next line whole. Only an unparsed line is looked at again, so
// whole lines pay nothing for this.
std::size_t line_parser::whole_line_behind_cut(std::string_view line, parsed_line *out) {
    const std::size_t last = std::min(line.size(), message_line_max);
    for (std::size_t at = 1; at < last; ++at) {
        // A timestamp begins with its day's name: Sun, Mon, Tue, Wed, Thu,
        // Fri or Sat.
        const char c = line[at];
        if ((c == 'S' || c == 'M' || c == 'T' || c == 'W' || c == 'F') &&
            parse(line.substr(at), out)) {
            return at;
        }
    }
    return 0;
}

} // namespace tarvelo::tool
