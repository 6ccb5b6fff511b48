// report_text.cpp: see report_text.h.
#include "tools/report/report_text.h"

#include <algorithm>

namespace tarvelo::tool {

std::string escaped_value(std::string_view text, const char *byte_format) {
    const auto plain = [](char c) { return c >= 0x20 && c < 0x7f && c != '"' && c != '\\'; };
    if (std::all_of(text.begin(), text.end(), plain)) {
        return std::string(text);
    }
    std::string escaped;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            escaped += '\\';
            escaped += c;
        } else if (byte < 0x20 || byte >= 0x7f) {
            char code[8];
            std::snprintf(code, sizeof code, byte_format, byte);
            escaped += code;
        } else {
            escaped += c;
        }
    }
    return escaped;
}

} // namespace tarvelo::tool
