// exit_call.h: one call of the exit, as the entry point hands it on.
#ifndef TARVELO_EXIT_EXIT_CALL_H
#define TARVELO_EXIT_EXIT_CALL_H

#include "exit/tarvelo.h"
#include "log/line.h"
#include "log/writer.h"

#include <cstddef>
#include <cstdint>

namespace tarvelo {

// Room for the 20-byte channel name, terminated by the zero fill, and for
// one formatted message argument.
inline constexpr std::size_t name_text_size = 100;
inline constexpr std::size_t argument_text_size = 100;

// Every line of a call fits the writer's line whole, escaped or not.
static_assert(std::size_t{TARVELO_CHANNEL_NAME_LENGTH} <= channel_name_max);
static_assert(std::size_t{TARVELO_SECURITY_TEXT_LENGTH} + 1 <= argument_max);
// The first token of the exit data, whole.
static_assert(std::size_t{TARVELO_EXIT_DATA_LENGTH} <= log_path_max);

// The seven parameters exactly as the host passed them, and what every
// message of the call carries: the channel name text and the log file that
// the call's own exit data names. Pointers other than `params`, `log` and
// `channel_name` may be null when a host breaks its contract; the steps then
// refuse rather than touch them.
struct exit_call {
    tarvelo_exit_params *params;
    const tarvelo_channel_def *channel;
    std::int32_t *data_length;
    std::int32_t *exchange_length;
    std::uint8_t *exchange;
    std::int32_t *exit_length;
    std::uint8_t **exit_buffer;
    const char *channel_name;
    const log_destination *log;
};

} // namespace tarvelo

#endif
