// exit_call.h: one call of the exit, as the entry point checked it.
#ifndef TARVELO_EXIT_EXIT_CALL_H
#define TARVELO_EXIT_EXIT_CALL_H

#include "auth/challenge.h"
#include "auth/password.h"
#include "exit/tarvelo.h"
#include "log/line.h"
#include "log/writer.h"

#include <cstddef>
#include <cstdint>

namespace tarvelo {

// Room for the channel name field, terminated by the zero fill, and for one
// formatted message argument.
inline constexpr std::size_t name_text_size = 100;
inline constexpr std::size_t argument_text_size = 100;

// Every size below the entry point that reads a field of the host's records
// or a message in its buffers is the header's size of that field: a change of
// layout in the header must not compile until they agree.
//   the password field, read whole by the response computation;
static_assert(max_password_length == std::size_t{TARVELO_PASSWORD_LENGTH});
//   a challenge or response message, read from and written to the exchange
//   buffer and kept twice in the exit buffer (see handshake.cpp);
static_assert(security_text_length == std::size_t{TARVELO_SECURITY_TEXT_LENGTH});
//   the channel name field, made into a terminated text and shown in every
//   line whole, escaped or not;
static_assert(std::size_t{TARVELO_CHANNEL_NAME_LENGTH} < name_text_size);
static_assert(channel_name_max == std::size_t{TARVELO_CHANNEL_NAME_LENGTH});
//   a challenge or response shown in a trace line, with its blank;
static_assert(argument_max == std::size_t{TARVELO_SECURITY_TEXT_LENGTH} + 1);
//   the first token of the exit data, kept whole as the log file's path.
static_assert(log_path_max == std::size_t{TARVELO_EXIT_DATA_LENGTH});

// The host's seven parameters as the entry point checked them, once, before
// any step runs: the steps read the host's records and buffers only through
// this view. A pointer the host left null reaches them as null, never
// followed; a length the host gave out of range reaches them as nothing to
// read. The host's own lengths stay the host's: nothing a step reads here can
// lead it past the buffers it was given.
struct exit_call {
    // Never null: without it there is nowhere to answer, and the entry point
    // returns before making a view.
    tarvelo_exit_params *params;
    // The channel definition's password field, or null when the host passed
    // no channel definition (then there is no password to sign on with).
    const std::uint8_t *password_field;

    // The partner's security message, in the exchange buffer (null when the
    // buffer holds none of it). Its length is the data length the host gave,
    // 0 when missing or negative; of those bytes the exchange buffer holds
    // `message_held`, no more than its own length (0 when the buffer or its
    // length is missing or negative). A step reads and writes the message
    // only within `message_held` bytes: a byte the partner did not send this
    // time, left over from an earlier call, never steers the handshake.
    std::uint8_t *message;
    std::size_t message_length;
    std::size_t message_held;

    // Where the exit's own answers go; each may be null when a host breaks
    // its contract, and the step that needs one then refuses rather than
    // touch it. `own_buffer` is the exit buffer as the host handed it back
    // on this call.
    std::int32_t *data_length;
    std::int32_t *exit_length;
    std::uint8_t **exit_buffer;
    std::uint8_t *own_buffer;

    // What every message of the call carries: the channel name text and the
    // log file that the call's own exit data names.
    const char *channel_name;
    const log_destination *log;
};

} // namespace tarvelo

#endif
