// exit_data.cpp: see exit_data.h.
#include "exit/exit_data.h"

#include "log/trace_switch.h"

#include <cstdint>
#include <cstring>

namespace tarvelo {
namespace {

// Where the run of blanks at `p` ends, no further than `end`. Eight at a time
// first: a channel without a log file has exit data of 32 blanks, read on
// every call.
const char *skip_blanks(const char *p, const char *end) {
    constexpr std::uint64_t eight_blanks = 0x2020202020202020u;
    while (end - p >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, sizeof word);
        if (word != eight_blanks) {
            break;
        }
        p += 8;
    }
    while (p < end && *p == ' ') {
        ++p;
    }
    return p;
}

} // namespace

const char *exit_data_end(const char *field, std::size_t length) {
    const void *zero = std::memchr(field, '\0', length);
    return zero != nullptr ? static_cast<const char *>(zero) : field + length;
}

exit_data_word next_exit_data_word(const char **cursor, const char *end) {
    const char *start = skip_blanks(*cursor, end);
    const char *p = start;
    while (p < end && *p != ' ') {
        ++p;
    }
    *cursor = p;
    return {start, static_cast<std::size_t>(p - start)};
}

bool turns_trace_on(exit_data_word word) {
    return word.length >= trace_keyword.size() &&
           std::memcmp(word.start, trace_keyword.data(), trace_keyword.size()) == 0;
}

// The first word fits the log path whole.
static_assert(std::size_t{TARVELO_EXIT_DATA_LENGTH} <= log_path_max);

void read_exit_data(const char field[TARVELO_EXIT_DATA_LENGTH], log_destination *log) {
    const char *end = exit_data_end(field, TARVELO_EXIT_DATA_LENGTH);
    const char *cursor = field;
    const exit_data_word path = next_exit_data_word(&cursor, end);
    std::memcpy(log->path, path.start, path.length);
    log->path[path.length] = '\0';
    if (turns_trace_on(next_exit_data_word(&cursor, end))) {
        set_trace_on(true);
    }
}

} // namespace tarvelo
