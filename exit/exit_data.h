// exit_data.h: what the exit makes of the 32-byte exit data of a channel
// definition. The exit reads it on every call; the program reads it by the
// same code to tell an operator what the exit will make of it.
#ifndef TARVELO_EXIT_EXIT_DATA_H
#define TARVELO_EXIT_EXIT_DATA_H

#include "exit/tarvelo.h"
#include "log/writer.h"

#include <cstddef>
#include <string_view>

namespace tarvelo {

// A second word that begins with this turns trace on.
inline constexpr std::string_view trace_keyword = "TRACEON";
// The longest log path that leaves room in the field for a blank and the
// trace word after it.
inline constexpr std::size_t log_path_room_for_trace =
    std::size_t{TARVELO_EXIT_DATA_LENGTH} - 1 - trace_keyword.size();

// One blank-separated word of the exit data, pointing into it.
struct exit_data_word {
    const char *start;
    std::size_t length;
};

// Where the exit data ends: at its first zero byte, or after `length` bytes
// (at most the field's).
const char *exit_data_end(const char *field, std::size_t length);

// The next word at or after `*cursor`, before `end`, and `*cursor` moved
// past it: only the blank separates, and a run of blanks is one separator.
// An empty word when none is left.
[[nodiscard]] exit_data_word next_exit_data_word(const char **cursor, const char *end);

// Whether a word turns trace on: it begins with TRACEON, in capitals.
[[nodiscard]] bool turns_trace_on(exit_data_word word);

// What the exit makes of the field: the first word names the call's log
// file, a second that turns trace on does so for every channel of the
// process (trace is never turned off here).
void read_exit_data(const char field[TARVELO_EXIT_DATA_LENGTH], log_destination *log);

} // namespace tarvelo

#endif
