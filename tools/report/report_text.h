// report_text.h: what the three writers of a report share: text put on the
// stream as it is made, numbers, and a double-quoted value's escaping.
#ifndef TARVELO_TOOLS_REPORT_REPORT_TEXT_H
#define TARVELO_TOOLS_REPORT_REPORT_TEXT_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace tarvelo::tool {

// The stream's errors are the caller's to see (formats.h).
inline void put(std::FILE *out, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), out);
}

inline std::string number(std::uint64_t n) { return std::to_string(n); }

// Text for a double-quoted value: a JSON string or a label value of the
// exposition format. The double quote and the backslash are escaped with a
// backslash, as both require; any byte outside printable ASCII is written
// by `byte_format` (a printf format of one unsigned byte), so that no
// control byte ever passes raw into whatever reads the report. Names are
// nearly always printable ASCII, and are copied whole when they are.
std::string escaped_value(std::string_view text, const char *byte_format);

} // namespace tarvelo::tool

#endif
