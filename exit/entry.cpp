// entry.cpp: TARVELO, the library's only way in.
//
// Every call runs the same prologue (reset the exit response, read the exit
// data into the call's own log file and the process-wide trace switch, check
// the host's parameters once into the view the steps use, see exit_call.h)
// and then acts on the exit reason. Nothing is returned: all results travel
// through the parameter block and the length and address parameters.
#include "exit/exit_call.h"
#include "exit/exit_data.h"
#include "exit/handshake.h"
#include "exit/tarvelo.h"
#include "log/catalogue.h"
#include "log/settings.h"
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

void initialise(const exit_call &call) {
    // After the prologue: "TRACEON" counts from the channel's next call.
    set_trace_on(false);
    write_message(*call.log, msg_exit_started, call.channel_name, nullptr);
    call.params->user_area[0] = ZAVCONN_STARTUP;
    if (call.exit_buffer == nullptr || call.exit_length == nullptr) {
        // Nowhere to keep a buffer: the channel cannot sign on.
        write_message(*call.log, msg_allocation_failure, nullptr, nullptr);
        call.params->exit_response = ZTXCC_CLOSE_CHANNEL;
        return;
    }
    auto *buffer = static_cast<std::uint8_t *>(std::malloc(TARVELO_EXIT_BUFFER_LENGTH));
    *call.exit_buffer = buffer;
    *call.exit_length = TARVELO_EXIT_BUFFER_LENGTH;
    if (buffer == nullptr) {
        write_message(*call.log, msg_allocation_failure, nullptr, nullptr);
        call.params->exit_response = ZTXCC_CLOSE_CHANNEL;
        return;
    }
    // No challenge outstanding until one is made: the verify step reads a
    // zero first byte as "nothing was sent", never heap leftovers.
    std::memset(buffer, 0, TARVELO_EXIT_BUFFER_LENGTH);
}

void terminate(const exit_call &call) {
    write_message(*call.log, msg_channel_closed, call.channel_name, nullptr);
    if (call.own_buffer != nullptr) {
        // The expected response is derived from the password: it does not
        // outlive the channel in freed memory.
        secure_wipe(call.own_buffer, TARVELO_EXIT_BUFFER_LENGTH);
        std::free(call.own_buffer);
        // A repeated termination must not release the buffer twice.
        *call.exit_buffer = nullptr;
    }
}

void refuse_exit_reason(const exit_call &call, std::int32_t reason) {
    char argument[argument_text_size] = {};
    std::snprintf(argument, sizeof argument, " %d ", static_cast<int>(reason));
    write_message(*call.log, msg_invalid_exit_call, call.channel_name, argument);
    call.params->exit_response = ZTXCC_CLOSE_CHANNEL;
}

void dispatch(const exit_call &call) {
    const std::int32_t reason = call.params->exit_reason;
    switch (reason) {
    case ZTXR_INIT:
        initialise(call);
        return;
    case ZTXR_TERM:
        terminate(call);
        return;
    case ZTXR_SEC_MSG:
        write_message(*call.log, trace_sec_msg_received, call.channel_name, nullptr);
        if (call.password_field == nullptr) {
            // No channel definition, no password: whatever the state, this
            // call cannot take part in a sign-on, and answering a challenge
            // with an empty password would sign the channel on with one.
            refuse_exit_reason(call, reason);
            return;
        }
        run_handshake_step(call);
        return;
    case ZTXR_INIT_SEC:
        // This side never opens the exchange: it waits for the partner.
        return;
    default:
        refuse_exit_reason(call, reason);
        return;
    }
}

// A length the host gave, as a count of bytes: 0 when it gave none, or one
// below zero.
std::size_t length_given(const std::int32_t *length) {
    return length != nullptr && *length > 0 ? static_cast<std::size_t>(*length) : 0;
}

// The one place that reads the host's pointers and lengths; `params` is not
// null. The channel name text goes to `channel_name`, zero-filled beforehand.
exit_call checked_call(tarvelo_exit_params *params, const tarvelo_channel_def *channel,
                       std::int32_t *data_length, const std::int32_t *exchange_length,
                       std::uint8_t *exchange, std::int32_t *exit_length,
                       std::uint8_t **exit_buffer, char *channel_name, const log_destination *log) {
    const std::uint8_t *password_field = nullptr;
    if (channel != nullptr) {
        std::memcpy(channel_name, channel->channel_name, TARVELO_CHANNEL_NAME_LENGTH);
        password_field = reinterpret_cast<const std::uint8_t *>(channel->password);
    }
    const std::size_t capacity = exchange != nullptr ? length_given(exchange_length) : 0;
    const std::size_t message_length = length_given(data_length);
    const std::size_t held = std::min(message_length, capacity);
    return {params,
            password_field,
            held != 0 ? exchange : nullptr,
            message_length,
            held,
            data_length,
            exit_length,
            exit_buffer,
            exit_buffer != nullptr ? *exit_buffer : nullptr,
            channel_name,
            log};
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
    dispatch(checked_call(params, channel, data_length, exchange_length, exchange, exit_length,
                          exit_buffer, channel_name, &log));
    errno = host_errno;
}
