// hex_text.h: hex text for the tests' known answers, as the vector files
// write it ("-" for no bytes).
#ifndef TARVELO_TESTS_SUPPORT_HEX_TEXT_H
#define TARVELO_TESTS_SUPPORT_HEX_TEXT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarvelo {

using bytes = std::vector<std::uint8_t>;

// A blank between pairs of digits, as the guides show bytes, is passed over.
inline bytes from_hex(const std::string &s) {
    bytes out;
    for (std::size_t i = 0; s != "-" && i + 1 < s.size(); i += s[i] == ' ' ? 1 : 2)
        if (s[i] != ' ')
            out.push_back(static_cast<std::uint8_t>(std::stoi(s.substr(i, 2), nullptr, 16)));
    return out;
}

// Lower case as digest listings write it, upper case as responses travel.
inline std::string to_hex(const std::uint8_t *p, std::size_t n, bool upper = false) {
    const char *digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

} // namespace tarvelo

#endif
