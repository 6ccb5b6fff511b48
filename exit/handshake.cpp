// handshake.cpp: see handshake.h.
#include "exit/handshake.h"

#include "auth/challenge.h"
#include "auth/password.h"
#include "auth/secure.h"
#include "log/catalogue.h"
#include "log/writer.h"

#include <cstdio>
#include <cstring>

namespace tarvelo {
namespace {

constexpr std::size_t text_length = security_text_length;
// The exit buffer while this side's challenge is outstanding: the challenge
// as sent, then the response a partner holding the password must return.
constexpr std::size_t challenge_offset = 0;
constexpr std::size_t expected_offset = text_length;

// How many bytes of the exchange buffer the exit may touch.
std::int32_t exchange_capacity(const exit_call &call) {
    if (call.exchange == nullptr || call.exchange_length == nullptr || *call.exchange_length < 0) {
        return 0;
    }
    return *call.exchange_length;
}

std::int32_t data_length(const exit_call &call) {
    return call.data_length != nullptr ? *call.data_length : 0;
}

std::uint8_t *exit_buffer(const exit_call &call) {
    return call.exit_buffer != nullptr ? *call.exit_buffer : nullptr;
}

void refuse(const exit_call &call, int index, const char *text = nullptr) {
    write_message(*call.log, index, call.channel_name, text);
    call.params->exit_response = ZTXCC_CLOSE_CHANNEL;
}

// A challenge or response shown in a trace line: at most its first 32
// characters, stopping early at a zero byte, then a blank.
void trace_security_text(const exit_call &call, int index, const std::uint8_t *text) {
    // Built even while trace is off: trace may come on before the writer
    // looks, and the line must then carry its text. Cheap: one block copy.
    char argument[text_length + 2];
    const void *zero = std::memchr(text, 0, text_length);
    const std::size_t length =
        zero != nullptr ? static_cast<std::size_t>(static_cast<const std::uint8_t *>(zero) - text)
                        : text_length;
    std::memcpy(argument, text, length);
    argument[length] = ' ';
    argument[length + 1] = '\0';
    write_message(*call.log, index, call.channel_name, argument);
}

// Trace lines go to the writer even while trace is off: a suppressed line
// still opens, and so creates, a named log file.
void trace(const exit_call &call, int index) {
    write_message(*call.log, index, call.channel_name, nullptr);
}

struct password_view {
    const std::uint8_t *bytes;
    std::size_t length;
};

// The entry point hands on no security message without a channel
// definition: there would be no password to sign on with.
password_view channel_password(const exit_call &call) {
    const auto *field = reinterpret_cast<const std::uint8_t *>(call.channel->password);
    return {field, password_length(field, TARVELO_PASSWORD_LENGTH)};
}

// Also the answer when the exit buffer is missing where the state needs it,
// or the random source gives nothing for this side's challenge: the state
// cannot go on.
void refuse_state(const exit_call &call, std::uint8_t state) {
    char argument[argument_text_size] = {};
    std::snprintf(argument, sizeof argument, "%.02x", state);
    refuse(call, msg_invalid_state, argument);
}

void on_startup(const exit_call &call) {
    trace(call, trace_startup);
    const std::int32_t length = data_length(call);
    const std::int32_t capacity = exchange_capacity(call);
    if (length == 1 && capacity >= 1) {
        refuse(call, call.exchange[0] == ZAVSTAT_REVOKED ? msg_revoked : msg_unknown_status);
        return;
    }
    // Anything shorter than 32 bytes, or in a buffer that cannot hold 32,
    // cannot be a challenge: answering it would read and write past the
    // message. A longer message has its first 32 bytes answered.
    if (length < static_cast<std::int32_t>(text_length) ||
        capacity < static_cast<std::int32_t>(text_length)) {
        refuse(call, msg_unknown_status);
        return;
    }
    trace_security_text(call, trace_challenge_received, call.exchange);
    // A challenge that an exit sent (this one on another channel, or another
    // exit elsewhere) coming back to be answered: whoever sends it wants the
    // response that would prove them to that exit. It is refused whatever
    // its spelling, and nothing is sent.
    if (is_exit_challenge(call.exchange)) {
        refuse(call, msg_impersonation);
        return;
    }
    const password_view password = channel_password(call);
    compute_response(password.bytes, password.length, call.exchange);
    trace_security_text(call, trace_response_sent, call.exchange);
    // The response goes back from the exchange buffer at the length the
    // challenge came with.
    call.params->exit_response = ZTXCC_SEND_SEC_MSG;
    call.params->user_area[0] = ZAVCONN_SIGNON;
}

void send_own_challenge(const exit_call &call, std::uint8_t *buffer) {
    trace(call, trace_authorised);
    // Without random bytes there is no challenge that an impersonator could
    // not predict: the state cannot go on, and nothing is sent.
    if (!make_challenge(buffer + challenge_offset)) {
        refuse_state(call, ZAVCONN_SIGNON);
        return;
    }
    std::memcpy(buffer + expected_offset, buffer + challenge_offset, text_length);
    trace_security_text(call, trace_challenge_sent, buffer + challenge_offset);
    const password_view password = channel_password(call);
    compute_response(password.bytes, password.length, buffer + expected_offset);
    call.params->user_area[0] = ZAVCONN_VERIFY;
    *call.data_length = static_cast<std::int32_t>(text_length);
    *call.exit_length = static_cast<std::int32_t>(text_length);
    call.params->exit_response = ZTXCC_SEND_SEC_MSG;
    call.params->exit_response2 = ZTXR2_USE_EXIT_BUFFER;
}

void on_signon(const exit_call &call) {
    trace(call, trace_signon);
    if (exchange_capacity(call) < 1) {
        refuse(call, msg_unknown_status);
        return;
    }
    switch (call.exchange[0]) {
    case ZAVSTAT_AUTHORISED: {
        std::uint8_t *buffer = exit_buffer(call);
        if (buffer == nullptr || call.data_length == nullptr || call.exit_length == nullptr) {
            refuse_state(call, ZAVCONN_SIGNON);
            return;
        }
        send_own_challenge(call, buffer);
        return;
    }
    case ZAVSTAT_PASSWORD_VIOLATION:
        refuse(call, msg_password_violation);
        return;
    case ZAVSTAT_SENDER_NOT_STARTED:
        refuse(call, msg_sender_not_started);
        return;
    case ZAVSTAT_NOT_REGISTERED:
        refuse(call, msg_not_registered);
        return;
    default:
        // Revoked is reported only before sign-on; here it is unexpected.
        refuse(call, msg_unknown_status);
        return;
    }
}

void on_verify(const exit_call &call) {
    trace(call, trace_verify);
    if (data_length(call) != static_cast<std::int32_t>(text_length) ||
        exchange_capacity(call) < static_cast<std::int32_t>(text_length)) {
        refuse(call, msg_not_registered);
        return;
    }
    const std::uint8_t *buffer = exit_buffer(call);
    if (buffer == nullptr) {
        refuse_state(call, ZAVCONN_VERIFY);
        return;
    }
    // The buffer is zeroed at initialisation and a challenge is hex text: a
    // zero first byte means this side never sent one (the state byte was
    // set by someone else), and then no response is the expected one.
    const bool challenge_sent = buffer[challenge_offset] != 0;
    trace_security_text(call, trace_response_received, call.exchange);
    trace_security_text(call, trace_response_expected, buffer + expected_offset);
    // Constant time: how far a forged response matches must not show.
    if (equal_in_constant_time(call.exchange, buffer + expected_offset, text_length) &&
        challenge_sent) {
        trace(call, trace_partner_authorised);
        return;
    }
    refuse(call, msg_impersonation);
}

} // namespace

void run_handshake_step(const exit_call &call) {
    const std::uint8_t state = call.params->user_area[0];
    switch (state) {
    case ZAVCONN_STARTUP:
        on_startup(call);
        return;
    case ZAVCONN_SIGNON:
        on_signon(call);
        return;
    case ZAVCONN_VERIFY:
        on_verify(call);
        return;
    default:
        refuse_state(call, state);
        return;
    }
}

} // namespace tarvelo
