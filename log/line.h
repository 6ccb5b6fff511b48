// line.h: the text of one message line.
//
// A line is a catalogue format with its "%s" placeholders filled in order by
// the timestamp, the channel name text and the caller's argument text. The
// format is the exit's own; the arguments come from the host (the channel
// name) and from the partner (a challenge or response as it arrived), and
// are untrusted text: each of their bytes that could break the line, forge
// one or reach an operator's terminal as a command is shown as an escape.
#ifndef TARVELO_LOG_LINE_H
#define TARVELO_LOG_LINE_H

#include "log/catalogue.h"

#include <algorithm>
#include <cstddef>

namespace tarvelo {

// The longest arguments a line is made for: the 20-byte channel name field,
// and a challenge or response of 32 characters with the blank after it.
inline constexpr std::size_t channel_name_max = 20;
inline constexpr std::size_t argument_max = 33;

// The length of one escape, "\xNN".
inline constexpr std::size_t escape_length = 4;

// A whole line, terminator included. At most 512 bytes, so that a line
// written to a FIFO is always written whole (POSIX's least PIPE_BUF).
inline constexpr std::size_t message_line_max = 512;

// The longest format, its placeholders counted as text.
inline constexpr std::size_t longest_format =
    std::max_element(catalogue.begin(), catalogue.end(),
                     [](auto a, auto b) { return a.size() < b.size(); }) -> size();

// Every line the exit can write fits whole, even with every byte of its
// channel name and argument escaped: none is ever cut.
static_assert(longest_format + timestamp_length +
                      escape_length * (channel_name_max + argument_max) <
                  message_line_max,
              "a line with escaped arguments must fit the line buffer");

// Whether a byte of an argument stands in the line as it is: printable
// ASCII (0x20 to 0x7E) except the backslash, which begins an escape. Every
// other byte is written "\xNN", two lower-case hexadecimal digits, so that a
// line stays one line and every escape in it was made by the exit.
constexpr bool shown_as_is(unsigned char byte) {
    return byte >= 0x20 && byte <= 0x7e && byte != '\\';
}

// The digits of an escape, lower case.
inline constexpr char escape_digits[] = "0123456789abcdef";

// Writes the escape of `byte`, "\xNN", into the `escape_length` bytes at
// `out`.
constexpr void write_escape(unsigned char byte, char *out) {
    out[0] = '\\';
    out[1] = 'x';
    out[2] = escape_digits[byte >> 4];
    out[3] = escape_digits[byte & 0xfu];
}

// Appends the byte `c` to `out` as the exit writes it in an argument: as it
// is, or escaped. For readers of the log that show text as the exit would
// write it; `String` is any string with push_back and append(data, size).
template <typename String> void append_shown(String &out, char c) {
    if (shown_as_is(static_cast<unsigned char>(c))) {
        out.push_back(c);
        return;
    }
    char escape[escape_length];
    write_escape(static_cast<unsigned char>(c), escape);
    out.append(escape, escape_length);
}

// Fills `format`'s "%s" placeholders in order from `args` (null or missing
// arguments are empty; each ends at its first zero byte) into `out`, every
// argument byte that is not shown as it is written as an escape. Keeps at
// most `capacity` - 1 bytes, cutting the format's text anywhere but never an
// escape (one that does not fit whole ends the line before it); terminates
// and returns the length. A capacity of zero writes nothing.
//
// With `verbatim_length` above zero, the last argument is text the exit
// made itself (its challenge, its response, the response it expects, and the
// blank after it): exactly that many bytes, copied as they stand without a
// look at any of them, for those bytes are secret until sent, or for good,
// and none may decide a branch. They need no escape: hex text is printable.
[[nodiscard]] std::size_t expand_format(const char *format, std::size_t format_length,
                                        const char *const *args, std::size_t arg_count, char *out,
                                        std::size_t capacity, std::size_t verbatim_length = 0);

} // namespace tarvelo

#endif
