// entry.cpp: TARVELO, the library's only way in.
//
// Every call runs the same prologue (reset the exit response, read the exit
// data into the call's own log file and the process-wide trace switch) and
// then acts on the exit reason. This is the boundary: the one place that
// looks at the host's pointers. Per exit reason it decides which of them the
// step needs, refuses a call that lacks one, and hands the step references
// (see exit_call.h). Nothing is returned: all results travel through the
// parameter block and the length and address parameters.
#include "exit/exit_call.h"
#include "exit/exit_data.h"
#include "exit/handshake.h"
#include "exit/tarvelo.h"
#include "log/catalogue.h"
#include "log/trace_switch.h"
#include "log/writer.h"

#include "auth/secure.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tarvelo {
namespace {

// ZTXR_INIT, once the host has given somewhere to keep the exit buffer.
void allocate_exit_buffer(const call_context &ctx, std::uint8_t *&exit_buffer,
                          std::int32_t &exit_length) {
    auto *buffer = static_cast<std::uint8_t *>(std::malloc(TARVELO_EXIT_BUFFER_LENGTH));
    exit_buffer = buffer;
    exit_length = TARVELO_EXIT_BUFFER_LENGTH;
    if (buffer == nullptr) {
        close_channel(ctx, msg_allocation_failure);
        return;
    }
    // No challenge outstanding until one is made: the verify step reads a
    // zero first byte as "nothing was sent", never heap leftovers. Zeroed by
    // the wipe the compiler keeps as written: a memset straight after the
    // allocation may be folded into calloc, which a host's or a test's
    // allocator does not expect of the exit.
    secure_wipe(buffer, TARVELO_EXIT_BUFFER_LENGTH);
}

// ZTXR_TERM with an exit buffer to release.
void release_exit_buffer(std::uint8_t *&exit_buffer) {
    // The expected response is derived from the password: it does not
    // outlive the channel in freed memory.
    secure_wipe(exit_buffer, TARVELO_EXIT_BUFFER_LENGTH);
    std::free(exit_buffer);
    // A repeated termination must not release the buffer twice.
    exit_buffer = nullptr;
}

void refuse_exit_reason(const call_context &ctx, std::int32_t reason) {
    char argument[argument_text_size] = {};
    std::snprintf(argument, sizeof argument, " %d ", static_cast<int>(reason));
    close_channel(ctx, msg_invalid_exit_call, argument);
}

// A length the host gave, as a count of bytes: 0 when it gave none, or one
// below zero.
std::size_t length_given(const std::int32_t *length) {
    return length != nullptr && *length > 0 ? static_cast<std::size_t>(*length) : 0;
}

// The parts of a security message call that the host may leave out, each
// the host's or, where it gave none, a scratch of the call's own that no
// step uses (see exit_call.h).
struct scratch_parts {
    std::uint8_t exit_buffer[TARVELO_EXIT_BUFFER_LENGTH];
    std::int32_t data_length;
    std::int32_t exit_length;
};

void security_message(const call_context &ctx, const tarvelo_channel_def &channel,
                      std::int32_t *data_length, const std::int32_t *exchange_length,
                      std::uint8_t *exchange, std::int32_t *exit_length,
                      std::uint8_t **exit_buffer) {
    const std::size_t capacity = exchange != nullptr ? length_given(exchange_length) : 0;
    const std::size_t message_length = length_given(data_length);
    const std::size_t held = std::min(message_length, capacity);
    std::uint8_t *own = exit_buffer != nullptr ? *exit_buffer : nullptr;
    scratch_parts scratch;
    const unsigned given = (own != nullptr ? part_exit_buffer : 0u) |
                           (data_length != nullptr ? part_data_length : 0u) |
                           (exit_length != nullptr ? part_exit_length : 0u);
    const handshake_call call{
        ctx,
        std::span<const std::uint8_t, TARVELO_PASSWORD_LENGTH>(
            reinterpret_cast<const std::uint8_t *>(channel.password), TARVELO_PASSWORD_LENGTH),
        held != 0 ? std::span<std::uint8_t>(exchange, held) : std::span<std::uint8_t>(),
        message_length,
        std::span<std::uint8_t, TARVELO_EXIT_BUFFER_LENGTH>(
            own != nullptr ? own : scratch.exit_buffer, TARVELO_EXIT_BUFFER_LENGTH),
        data_length != nullptr ? *data_length : scratch.data_length,
        exit_length != nullptr ? *exit_length : scratch.exit_length,
        given};
    run_handshake_step(call);
}

} // namespace
} // namespace tarvelo

extern "C" TARVELO_EXPORT void TARVELO_CALL TARVELO(tarvelo_exit_params *params,
                                                    const tarvelo_channel_def *channel,
                                                    int32_t *data_length, int32_t *exchange_length,
                                                    uint8_t *exchange, int32_t *exit_length,
                                                    uint8_t **exit_buffer) {
    using namespace tarvelo;
    if (params == nullptr) {
        return; // nowhere to answer
    }
    // The host's errno is its own: a log file that cannot be opened must not
    // leave its error behind in the host.
    const int host_errno = errno;
    params->exit_response = ZTXCC_OK;
    log_destination log;
    read_exit_data(params->exit_data, &log);
    char channel_name[name_text_size] = {};
    if (channel != nullptr) {
        std::memcpy(channel_name, channel->channel_name, TARVELO_CHANNEL_NAME_LENGTH);
    }
    const call_context ctx{*params, channel_name, log};

    const std::int32_t reason = params->exit_reason;
    switch (reason) {
    case ZTXR_INIT:
        // After the prologue: "TRACEON" counts from the channel's next call.
        set_trace_on(false);
        write_message(log, msg_exit_started, channel_name, nullptr);
        start_handshake(*params);
        if (exit_buffer == nullptr || exit_length == nullptr) {
            // Nowhere to keep a buffer: the channel cannot sign on.
            close_channel(ctx, msg_allocation_failure);
            break;
        }
        allocate_exit_buffer(ctx, *exit_buffer, *exit_length);
        break;
    case ZTXR_TERM:
        write_message(log, msg_channel_closed, channel_name, nullptr);
        if (exit_buffer != nullptr && *exit_buffer != nullptr) {
            release_exit_buffer(*exit_buffer);
        }
        break;
    case ZTXR_SEC_MSG:
        write_message(log, trace_sec_msg_received, channel_name, nullptr);
        if (channel == nullptr) {
            // No channel definition, no password: whatever the state, this
            // call cannot take part in a sign-on, and answering a challenge
            // with an empty password would sign the channel on with one.
            refuse_exit_reason(ctx, reason);
            break;
        }
        security_message(ctx, *channel, data_length, exchange_length, exchange, exit_length,
                         exit_buffer);
        break;
    case ZTXR_INIT_SEC:
        // This side never opens the exchange: it waits for the partner.
        break;
    default:
        refuse_exit_reason(ctx, reason);
        break;
    }
    errno = host_errno;
}
