// hex.h: hex text, the form every challenge and response travels in.
//
// A 16-byte value is 32 characters of "0123456789ABCDEF", byte i as
// characters 2i (high nibble) and 2i+1 (low nibble), never terminated. The
// exit, the stand-in partner and the tools all spell and read it here.
//
// Encoding is arithmetic on the byte itself, with no table and no branch:
// the exit turns its responses and expected responses into text here, and a
// table indexed by those bytes would show which of its lines were touched to
// anything that shares the processor.
#ifndef TARVELO_AUTH_HEX_H
#define TARVELO_AUTH_HEX_H

#include "auth/secure.h"

#include <cstddef>
#include <cstdint>

namespace tarvelo {

// The upper-case hex character of a nibble (0 to 15): '0' + n, and 7 more
// for 10 to 15, which take the letters.
constexpr std::uint8_t hex_character(unsigned nibble) {
    const unsigned n = nibble & 15u;
    // (9 - n) borrows, setting the high bits, exactly when n is 10 or more.
    const unsigned letter = ((9u - n) >> 8) & 7u;
    return static_cast<std::uint8_t>('0' + n + letter);
}

namespace detail {
// The position in "0123456789ABCDEF" of each byte once upper-cased, or 16.
struct hex_value_table {
    std::uint8_t value[256];
    constexpr hex_value_table() : value() {
        for (unsigned c = 0; c < 256; ++c) {
            const unsigned digit = c - '0', upper = c - 'A', lower = c - 'a';
            value[c] = static_cast<std::uint8_t>(digit < 10  ? digit
                                                 : upper < 6 ? upper + 10
                                                 : lower < 6 ? lower + 10
                                                             : 16);
        }
    }
};
inline constexpr hex_value_table hex_values;
} // namespace detail

// The value (0 to 15) of a hex character in either case, or 16 for any
// other byte. Upper-casing changes only letters, and of the letters only
// a to f become digits, so they read as A to F. By table: only text that
// travels in the clear (a challenge, a partner's response) is read here.
constexpr unsigned hex_value(std::uint8_t c) { return detail::hex_values.value[c]; }

// Writes `count` bytes as 2 * `count` upper-case hex characters at `text`.
inline void hex_encode(const std::uint8_t *bytes, std::size_t count, std::uint8_t *text) {
    for (std::size_t i = 0; i < count; ++i) {
        text[2 * i] = hex_character(bytes[i] >> 4);
        text[2 * i + 1] = hex_character(bytes[i]);
    }
}

} // namespace tarvelo

#endif
