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

// The one refusal that shows what it refuses: a state the step cannot go on
// in, as two lower-case hexadecimal digits.
void refuse(const handshake_call &call, int index, std::uint8_t state) {
    if (index != msg_invalid_state) {
        close_channel(call.context, index);
        return;
    }
    char argument[argument_text_size] = {};
    std::snprintf(argument, sizeof argument, "%.02x", state);
    close_channel(call.context, index, argument);
}

// A challenge or response shown in a trace line: `length` characters, then
// a blank. The exit's own texts are handed on as its own (`own`), so that
// the writer shows them without a look at their bytes.
void trace_text(const handshake_call &call, int index, const std::uint8_t *text, std::size_t length,
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
    write_message(call.context.log, index, call.context.channel_name, argument,
                  own ? length + 1 : 0);
}

// The partner's challenge or response: at most its first 32 characters,
// stopping early at a zero byte, its bytes escaped where they must be.
void trace_partner_text(const handshake_call &call, int index, const std::uint8_t *text) {
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
void trace_own_text(const handshake_call &call, int index, const std::uint8_t *text) {
    trace_text(call, index, text, text_length, true);
}

// Trace lines go to the writer even while trace is off: a suppressed line
// still opens, and so creates, a named log file.
void trace(const handshake_call &call, int index) {
    write_message(call.context.log, index, call.context.channel_name, nullptr);
}

// --- Checks: each shows what it looks at, then says whether it holds ---------

// A challenge that an exit sent (this one on another channel, or another
// exit elsewhere) coming back to be answered: whoever sends it wants the
// response that would prove them to that exit. It is refused whatever its
// spelling, and nothing is sent.
bool not_exit_challenge(const handshake_call &call) {
    trace_partner_text(call, trace_challenge_received, call.held.data());
    return !is_exit_challenge(call.held.data());
}

bool expected_response(const handshake_call &call) {
    const std::uint8_t *buffer = call.exit_buffer.data();
    // The buffer is zeroed at initialisation and a challenge is hex text: a
    // zero first byte means this side never sent one (the state byte was
    // set by someone else), and then no response is the expected one.
    const bool challenge_sent = buffer[challenge_offset] != 0;
    trace_partner_text(call, trace_response_received, call.held.data());
    if (challenge_sent) {
        trace_own_text(call, trace_response_expected, buffer + expected_offset);
    } else {
        trace_text(call, trace_response_expected, buffer + expected_offset, 0, false);
    }
    // Constant time: how far a forged response matches must not show.
    return equal_in_constant_time(call.held.data(), buffer + expected_offset, text_length) &&
           challenge_sent;
}

bool passes(check test, const handshake_call &call) {
    switch (test) {
    case check::not_exit_challenge:
        return not_exit_challenge(call);
    case check::expected_response:
        return expected_response(call);
    default: // check::none
        return true;
    }
}

// --- Actions ------------------------------------------------------------------

void answer_challenge(const handshake_call &call) {
    compute_response_from_field(call.password_field.data(), call.held.data());
    trace_own_text(call, trace_response_sent, call.held.data());
    // The response goes back from the exchange buffer at the length the
    // challenge came with.
    call.context.params.exit_response = ZTXCC_SEND_SEC_MSG;
}

bool send_own_challenge(const handshake_call &call) {
    std::uint8_t *buffer = call.exit_buffer.data();
    trace(call, trace_authorised);
    // Without random bytes there is no challenge that an impersonator could
    // not predict: the state cannot go on, and nothing is sent.
    if (!make_challenge(buffer + challenge_offset)) {
        return false;
    }
    std::memcpy(buffer + expected_offset, buffer + challenge_offset, text_length);
    trace_own_text(call, trace_challenge_sent, buffer + challenge_offset);
    compute_response_from_field(call.password_field.data(), buffer + expected_offset);
    call.data_length = static_cast<std::int32_t>(text_length);
    call.exit_length = static_cast<std::int32_t>(text_length);
    call.context.params.exit_response = ZTXCC_SEND_SEC_MSG;
    call.context.params.exit_response2 = ZTXR2_USE_EXIT_BUFFER;
    return true;
}

// The row's action: no_refusal when it is done, else the message that
// closes the channel.
int act(const transition &row, const handshake_call &call) {
    switch (row.act) {
    case action::answer_challenge:
        answer_challenge(call);
        return no_refusal;
    case action::send_own_challenge:
        return send_own_challenge(call) ? no_refusal : msg_invalid_state;
    case action::let_channel_run:
        // The exit response stays ZTXCC_OK: the channel goes on.
        trace(call, trace_partner_authorised);
        return no_refusal;
    default: // action::close_channel
        return row.refusal;
    }
}

} // namespace

void start_handshake(tarvelo_exit_params &params) { params.user_area[0] = ZAVCONN_STARTUP; }

void run_handshake_step(const handshake_call &call) {
    const std::uint8_t state = call.context.params.user_area[0];
    const state_rule &rule = state_rule_of(state);
    if (rule.trace >= 0) {
        trace(call, rule.trace);
    }
    const std::uint8_t first = call.held.empty() ? 0 : call.held[0];
    const transition &row =
        transition_for(state, kind_of(rule.how, call.message_length, call.held.size(), first));
    // A part the host did not give: the state cannot go on.
    if ((row.needs & ~call.given) != 0) {
        refuse(call, msg_invalid_state, state);
        return;
    }
    if (!passes(row.test, call)) {
        refuse(call, row.refusal, state);
        return;
    }
    const int refusal = act(row, call);
    if (refusal != no_refusal) {
        refuse(call, refusal, state);
        return;
    }
    call.context.params.user_area[0] = row.next;
}

} // namespace tarvelo
