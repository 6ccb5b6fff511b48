// shown_text.h: a name that no exit wrote, as the program shows it.
#ifndef TARVELO_TOOLS_SYSTEM_SHOWN_TEXT_H
#define TARVELO_TOOLS_SYSTEM_SHOWN_TEXT_H

#include "log/line.h"

#include <string>
#include <string_view>

namespace tarvelo::tool {

// A host or a file named on the command line, or a file found in a
// directory, is untrusted text: every byte outside 0x20 to 0x7E, and every
// backslash, is shown as "\x" and two hex digits. It is the exit's escaping
// of a channel's name, with no escape in the text taken as made already,
// so that two different names never show the same.
inline std::string shown_text(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    for (const char c : text) {
        append_shown(shown, c);
    }
    return shown;
}

} // namespace tarvelo::tool

#endif
