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
#include <span>

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

// What every step of a call has, whatever the exit reason: the parameter
// block (the entry point returns before making one when the host passes
// none), the channel name text and the log file that the call's own exit
// data names.
struct call_context {
    tarvelo_exit_params &params;
    const char *channel_name;
    const log_destination &log;
};

// Every refusal: exactly one numbered message, and the channel closed.
inline void close_channel(const call_context &ctx, int index, const char *text = nullptr) {
    write_message(ctx.log, index, ctx.channel_name, text);
    ctx.params.exit_response = ZTXCC_CLOSE_CHANNEL;
}

// The host's own parts that a step of the handshake may answer through,
// beside the exchange buffer. A row of the handshake table names the ones
// its action needs (see handshake.h).
enum host_part : unsigned {
    part_exit_buffer = 1u << 0, // the exit buffer, as the host handed it back
    part_data_length = 1u << 1,
    part_exit_length = 1u << 2,
};

// A security message call as the entry point checked it, once, before any
// step runs: the steps read the host's records and buffers only through
// this view, and every member is a reference or a span, never a pointer
// that may be null.
//
// The host's own lengths stay the host's: nothing a step reads here can lead
// it past the buffers it was given. A part of `host_part` that the host did
// not give (its pointer null, or the exit buffer's address null) is left out
// of `given` and stands here for a scratch of the entry point's own: the
// table's needs column keeps every step that would use it from running, and
// the channel is closed instead (see handshake.h).
struct handshake_call {
    call_context context;
    // The channel definition's password field: a security message call
    // without a channel definition is refused at the entry point, since it
    // has no password to sign on with.
    std::span<const std::uint8_t, TARVELO_PASSWORD_LENGTH> password_field;

    // The partner's security message, in the exchange buffer. Its length is
    // the data length the host gave, 0 when missing or negative; of those
    // bytes the exchange buffer holds `held`, no more than its own length
    // (none when the buffer or its length is missing or negative). A step
    // reads and writes the message only within `held`: a byte the partner
    // did not send this time, left over from an earlier call, never steers
    // the handshake.
    std::span<std::uint8_t> held;
    std::size_t message_length;

    // Where the exit's own answers go, each one the host's only when
    // `given` says so.
    std::span<std::uint8_t, TARVELO_EXIT_BUFFER_LENGTH> exit_buffer;
    std::int32_t &data_length;
    std::int32_t &exit_length;
    unsigned given;
};

} // namespace tarvelo

#endif
