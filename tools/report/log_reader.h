// log_reader.h: the lines of the exit's log taken apart by the catalogue
// they were written from.
#ifndef TARVELO_TOOLS_REPORT_LOG_READER_H
#define TARVELO_TOOLS_REPORT_LOG_READER_H

#include "log/catalogue.h"
#include "log/line.h"
#include "tools/report/log_time.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvelo::tool {

// What every numbered identifier begins with: the identifier of the first
// entry without its three digits and its severity letter.
inline constexpr std::string_view identifier_prefix =
    messages[0].identifier.substr(0, messages[0].identifier.size() - 4);

// The identifier of catalogue entry `index`, as its lines write it.
inline std::string identifier(int index) {
    return std::string(messages[static_cast<std::size_t>(index)].identifier);
}

// One line taken apart. `channel` points into the line, without the blanks
// that pad the name to its field.
struct parsed_line {
    int index = -1; // catalogue index
    log_time time = 0;
    std::string_view channel;
};

// Recognises the lines of the catalogue. Every line must match its entry
// whole: the fixed text before, between and after the channel name and the
// argument. Lines of the earlier release, which spelled the service ZAV
// where this one spells KOR, are recognised too, and so are names and
// arguments of up to four characters a byte, as an exit writes them that
// escapes bytes that are not printable ("\x07").
class line_parser {
public:
    line_parser();

    // `line` is one line without its newline. False when it is no line of
    // the catalogue.
    bool parse(std::string_view line, parsed_line *out);

    // A line of the exit cut short (a full disk, a file-size limit, an I/O
    // error met by an exit that left the part it wrote) with a whole line of
    // the exit glued behind it on the same physical line: where the whole
    // line begins, parsed into `out`, or 0 when `line` holds none. Only the
    // first bytes of a line can be cut from it, so the whole one is looked
    // for within the length of the longest line an exit writes.
    std::size_t whole_line_behind_cut(std::string_view line, parsed_line *out);

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
    // against a few entries instead of every trace entry.
    std::size_t trace_key_at_ = 0;
    std::array<std::vector<int>, 256> trace_entries_;
    // Lines of one second share their timestamp: it is read once.
    std::array<char, timestamp_length> last_stamp_{};
    log_time last_time_ = 0;
    bool have_last_ = false;
};

// Whether two short texts are the same, eight bytes at a time: names and
// timestamps are compared on every line, and a call of memcmp costs more
// than the comparison.
inline bool same_text(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    std::size_t at = 0;
    for (; at + 8 <= a.size(); at += 8) {
        std::uint64_t x = 0;
        std::uint64_t y = 0;
        std::memcpy(&x, a.data() + at, sizeof x);
        std::memcpy(&y, b.data() + at, sizeof y);
        if (x != y) {
            return false;
        }
    }
    for (; at < a.size(); ++at) {
        if (a[at] != b[at]) {
            return false;
        }
    }
    return true;
}

inline bool starts_with(std::string_view text, std::string_view head) {
    return text.size() >= head.size() && same_text(text.substr(0, head.size()), head);
}

inline bool ends_with(std::string_view text, std::string_view tail) {
    return text.size() >= tail.size() && same_text(text.substr(text.size() - tail.size()), tail);
}

// Whether every byte of `text` is shown as it is by the exit's escaping
// (printable, no backslash), eight at a time: the name stands as an
// escaping exit writes it. Every line's name is looked at, and nearly all need nothing.
inline bool shown_as_written(std::string_view text) {
    constexpr std::uint64_t ones = 0x0101010101010101u;
    constexpr std::uint64_t highs = 0x8080808080808080u;
    // A byte below 0x20, or above 0x7E (0x7F and all with the high bit), or
    // a backslash (a zero byte once XORed with it), among eight.
    const auto any_shown_otherwise = [](const char *eight) {
        std::uint64_t x = 0;
        std::memcpy(&x, eight, sizeof x);
        const std::uint64_t below = (x - ones * 0x20) & ~x & highs;
        const std::uint64_t above = ((x + ones) | x) & highs;
        const std::uint64_t slash = x ^ (ones * '\\');
        const std::uint64_t backslash = (slash - ones) & ~slash & highs;
        return (below | above | backslash) != 0;
    };
    std::size_t at = 0;
    for (; at + 8 <= text.size(); at += 8) {
        if (any_shown_otherwise(text.data() + at)) {
            return false;
        }
    }
    // The last few bytes of a longer name: its last eight, once more.
    if (at != text.size() && text.size() >= 8) {
        return !any_shown_otherwise(text.data() + text.size() - 8);
    }
    for (; at < text.size(); ++at) {
        if (!shown_as_is(static_cast<unsigned char>(text[at]))) {
            return false;
        }
    }
    return true;
}

// A channel name as an exit that escapes untrusted bytes writes it: every
// byte outside 0x20 to 0x7E, and a backslash, as "\x" and two lower-case
// hex digits. A backslash that already begins such an escape is kept: the
// exit made it. Lines of an exit that wrote such bytes raw so count under
// the same name as those of one that escapes them. Returns `name` itself
// when it needs nothing, else the escaped text, kept in `buffer`.
std::string_view escape_name(std::string_view name, std::string &buffer);
inline std::string_view escaped_name(std::string_view name, std::string &buffer) {
    return shown_as_written(name) ? name : escape_name(name, buffer);
}

} // namespace tarvelo::tool

#endif
