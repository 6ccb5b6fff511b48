// line.cpp: see line.h.
#include "log/line.h"

#include <cstring>

namespace tarvelo {
namespace {

// Appends `arg` to the `room` bytes at `out`, escaped, and adds what it
// wrote to `*length`. False when the argument did not fit whole. Runs of
// bytes shown as they are go in one copy: a line's arguments are nearly
// always plain text. No more of `arg` is read than could be written.
bool put_argument(const char *arg, char *out, std::size_t room, std::size_t *length) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(arg);
    std::size_t read = 0;
    std::size_t used = 0;
    for (;;) {
        const std::size_t run = read;
        while (used + (read - run) < room && shown_as_is(bytes[read])) {
            ++read;
        }
        std::memcpy(out + used, arg + run, read - run);
        used += read - run;
        if (used == room || (bytes[read] != '\0' && room - used < escape_length)) {
            *length += used;
            return false; // the line is full
        }
        if (bytes[read] == '\0') {
            *length += used;
            return true;
        }
        write_escape(bytes[read], out + used);
        used += escape_length;
        ++read;
    }
}

// Appends exactly `count` bytes of `arg` as they stand, or as many as fit;
// false when not all did. Only the count decides anything.
bool put_verbatim(const char *arg, std::size_t count, char *out, std::size_t room,
                  std::size_t *length) {
    const std::size_t taken = count < room ? count : room;
    std::memcpy(out, arg, taken);
    *length += taken;
    return taken == count;
}

} // namespace

std::size_t expand_format(const char *format, std::size_t format_length, const char *const *args,
                          std::size_t arg_count, char *out, std::size_t capacity,
                          std::size_t verbatim_length) {
    if (capacity == 0) {
        return 0; // no room even for the terminator
    }
    // Whole runs of the format are copied at once: the line is made on
    // every message, on the path of every channel start.
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
            const bool verbatim = verbatim_length != 0 && next_arg == arg_count;
            const bool whole =
                arg == nullptr ||
                (verbatim
                     ? put_verbatim(arg, verbatim_length, out + length, limit - length, &length)
                     : put_argument(arg, out + length, limit - length, &length));
            if (!whole) {
                break; // the line is full
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
