// entry.cpp: TARVELO, the library's only way in.
//
// Every call runs the same prologue (reset the exit response, read the exit
// data into the call's own log file and the process-wide trace switch, make
// the channel name text) and then acts on the exit reason. Nothing is
// returned: all results travel through the parameter block and the length
// and address parameters.
#include "exit/exit_call.h"
#include "exit/exit_data.h"
#include "exit/handshake.h"
#include "exit/tarvelo.h"
#include "log/catalogue.h"
#include "log/settings.h"
#include "log/writer.h"

#include "auth/secure.h"

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
    if (call.exit_buffer != nullptr && *call.exit_buffer != nullptr) {
        // The expected response is derived from the password: it does not
        // outlive the channel in freed memory.
        secure_wipe(*call.exit_buffer, TARVELO_EXIT_BUFFER_LENGTH);
        std::free(*call.exit_buffer);
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
        if (call.channel == nullptr) {
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
    dispatch({params, channel, data_length, exchange_length, exchange, exit_length, exit_buffer,
              channel_name, &log});
    errno = host_errno;
}
