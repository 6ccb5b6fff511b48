// handshake.cpp: see handshake.h.
#include "exit/handshake.h"

#include "auth/challenge.h"
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
static_assert(expected_offset + text_length == std::size_t{TARVELO_EXIT_BUFFER_LENGTH});

// What a partner's status message brings in the state that receives it: the
// message that refuses it, or go_on where the sign-on goes on. A pair not in
// the table is a status the exit does not accept there (revoked, say, once
// the exit has answered).
constexpr int go_on = -1;
struct status_rule {
    std::uint8_t state;
    std::uint8_t status;
    int message;
};
constexpr status_rule status_rules[] = {
    {ZAVCONN_STARTUP, ZAVSTAT_REVOKED, msg_revoked},
    {ZAVCONN_SIGNON, ZAVSTAT_AUTHORISED, go_on},
    {ZAVCONN_SIGNON, ZAVSTAT_PASSWORD_VIOLATION, msg_password_violation},
    {ZAVCONN_SIGNON, ZAVSTAT_SENDER_NOT_STARTED, msg_sender_not_started},
    {ZAVCONN_SIGNON, ZAVSTAT_NOT_REGISTERED, msg_not_registered},
};

constexpr int message_for_status(std::uint8_t state, std::uint8_t status) {
    for (const status_rule &rule : status_rules) {
        if (rule.state == state && rule.status == status) {
            return rule.message;
        }
    }
    return msg_unknown_status;
}

static_assert(message_for_status(ZAVCONN_STARTUP, ZAVSTAT_AUTHORISED) == msg_unknown_status);
static_assert(message_for_status(ZAVCONN_SIGNON, ZAVSTAT_REVOKED) == msg_unknown_status);

void refuse(const exit_call &call, int index, const char *text = nullptr) {
    write_message(*call.log, index, call.channel_name, text);
    call.params->exit_response = ZTXCC_CLOSE_CHANNEL;
}

// A challenge or response shown in a trace line: `length` characters, then
// a blank. The exit's own texts are handed on as its own (`own`), so that
// the writer shows them without a look at their bytes.
void trace_text(const exit_call &call, int index, const std::uint8_t *text, std::size_t length,
                bool own) {
    // Built even while trace is off: trace may come on before the writer
    // looks, and the line must then carry its text. Cheap: one block copy.
    char argument[text_length + 2];
    if (own) {
        // The expected response is read back from the exit buffer, which the
        // host can write over between calls: a byte that is not upper-case
        // hex shows as '?', chosen by masks, so that the writer may show the
        // text as it stands and still no foreign byte reaches a line raw.
        for (std::size_t i = 0; i < length; ++i) {
            const unsigned c = text[i];
            const unsigned hex = range_mask(c, '0', '9') | range_mask(c, 'A', 'F');
            argument[i] = static_cast<char>((c & hex) | ('?' & ~hex));
        }
    } else {
        std::memcpy(argument, text, length);
    }
    argument[length] = ' ';
    argument[length + 1] = '\0';
    write_message(*call.log, index, call.channel_name, argument, own ? length + 1 : 0);
}

// The partner's challenge or response: at most its first 32 characters,
// stopping early at a zero byte, its bytes escaped where they must be.
void trace_partner_text(const exit_call &call, int index, const std::uint8_t *text) {
    const void *zero = std::memchr(text, 0, text_length);
    const std::size_t length =
        zero != nullptr ? static_cast<std::size_t>(static_cast<const std::uint8_t *>(zero) - text)
                        : text_length;
    trace_text(call, index, text, length, false);
}

// A text the exit made (its response, its challenge, the response it
// expects) is 32 hex characters and holds no zero byte: it is shown whole,
// neither here nor in the writer with a look at its bytes. The response is
// secret until the host sends it and the expected one for good, so nothing
// may branch on them.
void trace_own_text(const exit_call &call, int index, const std::uint8_t *text) {
    trace_text(call, index, text, text_length, true);
}

// Trace lines go to the writer even while trace is off: a suppressed line
// still opens, and so creates, a named log file.
void trace(const exit_call &call, int index) {
    write_message(*call.log, index, call.channel_name, nullptr);
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
    if (call.message_length == 1 && call.message_held == 1) {
        refuse(call, message_for_status(ZAVCONN_STARTUP, call.message[0]));
        return;
    }
    // Anything shorter than 32 bytes, or in a buffer that cannot hold 32,
    // cannot be a challenge: answering it would read and write past the
    // message. A longer message has its first 32 bytes answered.
    if (call.message_held < text_length) {
        refuse(call, msg_unknown_status);
        return;
    }
    trace_partner_text(call, trace_challenge_received, call.message);
    // A challenge that an exit sent (this one on another channel, or another
    // exit elsewhere) coming back to be answered: whoever sends it wants the
    // response that would prove them to that exit. It is refused whatever
    // its spelling, and nothing is sent.
    if (is_exit_challenge(call.message)) {
        refuse(call, msg_impersonation);
        return;
    }
    compute_response_from_field(call.password_field, call.message);
    trace_own_text(call, trace_response_sent, call.message);
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
    trace_own_text(call, trace_challenge_sent, buffer + challenge_offset);
    compute_response_from_field(call.password_field, buffer + expected_offset);
    call.params->user_area[0] = ZAVCONN_VERIFY;
    *call.data_length = static_cast<std::int32_t>(text_length);
    *call.exit_length = static_cast<std::int32_t>(text_length);
    call.params->exit_response = ZTXCC_SEND_SEC_MSG;
    call.params->exit_response2 = ZTXR2_USE_EXIT_BUFFER;
}

void on_signon(const exit_call &call) {
    trace(call, trace_signon);
    // A status is the first byte of a message of one byte or more. A message
    // of length 0 carries none: it is refused as a status the exit does not
    // accept, whatever an earlier message left in the exchange buffer.
    if (call.message_held < 1) {
        refuse(call, msg_unknown_status);
        return;
    }
    const int message = message_for_status(ZAVCONN_SIGNON, call.message[0]);
    if (message != go_on) {
        refuse(call, message);
        return;
    }
    std::uint8_t *buffer = call.own_buffer;
    if (buffer == nullptr || call.data_length == nullptr || call.exit_length == nullptr) {
        refuse_state(call, ZAVCONN_SIGNON);
        return;
    }
    send_own_challenge(call, buffer);
}

void on_verify(const exit_call &call) {
    trace(call, trace_verify);
    if (call.message_length != text_length || call.message_held != text_length) {
        refuse(call, msg_not_registered);
        return;
    }
    const std::uint8_t *buffer = call.own_buffer;
    if (buffer == nullptr) {
        refuse_state(call, ZAVCONN_VERIFY);
        return;
    }
    // The buffer is zeroed at initialisation and a challenge is hex text: a
    // zero first byte means this side never sent one (the state byte was
    // set by someone else), and then no response is the expected one.
    const bool challenge_sent = buffer[challenge_offset] != 0;
    trace_partner_text(call, trace_response_received, call.message);
    if (challenge_sent) {
        trace_own_text(call, trace_response_expected, buffer + expected_offset);
    } else {
        trace_text(call, trace_response_expected, buffer + expected_offset, 0, false);
    }
    // Constant time: how far a forged response matches must not show.
    if (equal_in_constant_time(call.message, buffer + expected_offset, text_length) &&
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
