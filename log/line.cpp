// line.cpp: see line.h.
#include "log/line.h"

#include <algorithm>
#include <cstring>

namespace tarvelo {

std::size_t expand_format(const char *format, std::size_t format_length, const char *const *args,
                          std::size_t arg_count, char *out, std::size_t capacity) {
    if (capacity == 0) {
        return 0; // no room even for the terminator
    }
    // Whole runs of text and whole arguments are copied at once: the line is
    // formatted on every message, on the path of every channel start.
    const std::size_t limit = capacity - 1;
    std::size_t length = 0;
    std::size_t next_arg = 0;
    const char *p = format;
    const char *const end = format + format_length;
    while (p < end && length < limit) {
        const auto *percent =
            static_cast<const char *>(std::memchr(p, '%', static_cast<std::size_t>(end - p)));
        const char *run_end = percent != nullptr ? percent : end;
        const std::size_t run = std::min(static_cast<std::size_t>(run_end - p), limit - length);
        std::memcpy(out + length, p, run);
        length += run;
        p += run;
        if (p != percent || length == limit) {
            break; // the format is done, or the line is full
        }
        if (percent + 1 < end && percent[1] == 's') {
            const char *arg = next_arg < arg_count ? args[next_arg] : nullptr;
            ++next_arg;
            if (arg != nullptr) {
                const std::size_t size = strnlen(arg, limit - length);
                std::memcpy(out + length, arg, size);
                length += size;
            }
            p = percent + 2;
        } else {
            out[length++] = '%';
            p = percent + 1;
        }
    }
    out[length] = '\0';
    return length;
}

} // namespace tarvelo
