// handshake.h: the sign-on handshake as one table, and the step that runs it
// for each security message.
//
// The table is the handshake's rules, read by all: the step below follows
// it, the program's verdicts explain a refusal from it, the partner
// protocol guide's table is generated from it, and the tests and the entry
// fuzzer hold the exit to it.
#ifndef TARVELO_EXIT_HANDSHAKE_H
#define TARVELO_EXIT_HANDSHAKE_H

#include "exit/exit_call.h"
#include "log/catalogue.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace tarvelo {

// How a state reads the partner's message: by its length (a status is a
// message of exactly one byte), or by its first byte alone (any message of
// one byte or more is a status).
enum class reading : std::uint8_t { by_length, by_first_byte };

// What the partner's message is, as the state that receives it reads it.
enum class input_kind : std::uint8_t {
    nothing,                   // no byte of a message: data length 0, or no room for one
    status_authorised,         // status 6
    status_password_violation, // status 7
    status_revoked,            // status 8
    status_sender_not_started, // status 9
    status_not_registered,     // status 10
    status_other,              // any other status
    short_message,             // 2 to 31 bytes, all held
    cut_message,               // more bytes than the exchange buffer holds, fewer than 32 held
    text,                      // exactly 32 bytes: a challenge or a response
    long_text,                 // more than 32 bytes, the first 32 held
};
inline constexpr std::size_t input_kinds = static_cast<std::size_t>(input_kind::long_text) + 1;

using input_set = std::uint16_t;
constexpr input_set kinds(input_kind k) {
    return static_cast<input_set>(1u << static_cast<unsigned>(k));
}
template <typename... More> constexpr input_set kinds(input_kind k, More... more) {
    return static_cast<input_set>(kinds(k) | kinds(more...));
}
inline constexpr input_set any_input = static_cast<input_set>((1u << input_kinds) - 1);

// The kind of a status code.
constexpr input_kind status_kind(std::uint8_t status) {
    switch (status) {
    case ZAVSTAT_AUTHORISED:
        return input_kind::status_authorised;
    case ZAVSTAT_PASSWORD_VIOLATION:
        return input_kind::status_password_violation;
    case ZAVSTAT_REVOKED:
        return input_kind::status_revoked;
    case ZAVSTAT_SENDER_NOT_STARTED:
        return input_kind::status_sender_not_started;
    case ZAVSTAT_NOT_REGISTERED:
        return input_kind::status_not_registered;
    default:
        return input_kind::status_other;
    }
}

// The kind of a message of `length` bytes of which the exchange buffer holds
// `held`, starting with `first` (read only when `held` is not 0).
constexpr input_kind kind_of(reading how, std::size_t length, std::size_t held,
                             std::uint8_t first) {
    constexpr std::size_t text_length = security_text_length;
    if (held == 0) {
        return input_kind::nothing;
    }
    // With a length of 1, `held` is 1 here: never more than the length.
    if (how == reading::by_first_byte || length == 1) {
        return status_kind(first);
    }
    if (held < text_length) {
        return held < length ? input_kind::cut_message : input_kind::short_message;
    }
    return length == text_length ? input_kind::text : input_kind::long_text;
}

// Each state: its name, the trace line it begins with and how it reads the
// partner's message. A state byte that is none of these is `other_states`.
inline constexpr std::uint8_t other_states = 0;
struct state_rule {
    std::uint8_t state;
    const char *name;
    int trace;
    reading how;
};
inline constexpr std::array<state_rule, 4> state_rules = {{
    {ZAVCONN_STARTUP, "ZAVCONN_STARTUP", trace_startup, reading::by_length},
    {ZAVCONN_SIGNON, "ZAVCONN_SIGNON", trace_signon, reading::by_first_byte},
    {ZAVCONN_VERIFY, "ZAVCONN_VERIFY", trace_verify, reading::by_length},
    {other_states, "any other state", -1, reading::by_length},
}};

namespace detail {
// The place in state_rules of the rule for each state byte.
inline constexpr auto state_rule_index = [] {
    std::array<std::uint8_t, 256> index{};
    for (std::size_t byte = 0; byte < index.size(); ++byte) {
        index[byte] = static_cast<std::uint8_t>(state_rules.size() - 1);
        for (std::size_t i = 0; i + 1 < state_rules.size(); ++i) {
            if (state_rules[i].state == byte) {
                index[byte] = static_cast<std::uint8_t>(i);
            }
        }
    }
    return index;
}();
} // namespace detail

constexpr const state_rule &state_rule_of(std::uint8_t state) {
    return state_rules[detail::state_rule_index[state]];
}

// What must hold of the message before the action: a challenge that no exit
// made (so this one never answers for another), or the response that this
// side's challenge expects.
enum class check : std::uint8_t { none, not_exit_challenge, expected_response };

// What the step does when the message passes its check.
enum class action : std::uint8_t {
    close_channel,      // the refusal message, and the channel closed
    answer_challenge,   // the response over the challenge, sent from the exchange buffer
    send_own_challenge, // this side's challenge, sent from the exit buffer
    let_channel_run,    // the sign-on is complete
};

inline constexpr int no_refusal = -1;

// One rule of the handshake: in `state`, a message of one of the `inputs`
// kinds meets `test`; the refusal message closes the channel when it fails
// (or at once, for close_channel); otherwise the host's parts that the
// action `needs` are checked, the action runs and the state becomes `next`.
// Whatever the row, a step whose needs the host did not give, or whose
// action cannot go on (no random bytes for a challenge), closes the channel
// with msg_invalid_state, the state shown; so does every message in a state
// the exit does not know. A refusal leaves the state where it was.
struct transition {
    std::uint8_t state;
    input_set inputs;
    check test;
    unsigned needs;
    action act;
    std::uint8_t next;
    int refusal;
};

inline constexpr unsigned needs_nothing = 0;
inline constexpr unsigned needs_all_parts = part_exit_buffer | part_data_length | part_exit_length;

// clang-format off
inline constexpr std::array<transition, 13> handshake_table = {{
    // state            inputs                                          check                      needs             action                       next             refusal
    {ZAVCONN_STARTUP, kinds(input_kind::text, input_kind::long_text), check::not_exit_challenge, needs_nothing, action::answer_challenge, ZAVCONN_SIGNON, msg_impersonation},
    {ZAVCONN_STARTUP, kinds(input_kind::status_revoked), check::none, needs_nothing, action::close_channel, ZAVCONN_STARTUP, msg_revoked},
    {ZAVCONN_STARTUP, kinds(input_kind::status_authorised, input_kind::status_password_violation, input_kind::status_sender_not_started, input_kind::status_not_registered, input_kind::status_other), check::none, needs_nothing, action::close_channel, ZAVCONN_STARTUP, msg_unknown_status},
    {ZAVCONN_STARTUP, kinds(input_kind::nothing, input_kind::short_message, input_kind::cut_message), check::none, needs_nothing, action::close_channel, ZAVCONN_STARTUP, msg_unknown_status},
    {ZAVCONN_SIGNON, kinds(input_kind::status_authorised), check::none, needs_all_parts, action::send_own_challenge, ZAVCONN_VERIFY, no_refusal},
    {ZAVCONN_SIGNON, kinds(input_kind::status_password_violation), check::none, needs_nothing, action::close_channel, ZAVCONN_SIGNON, msg_password_violation},
    {ZAVCONN_SIGNON, kinds(input_kind::status_sender_not_started), check::none, needs_nothing, action::close_channel, ZAVCONN_SIGNON, msg_sender_not_started},
    {ZAVCONN_SIGNON, kinds(input_kind::status_not_registered), check::none, needs_nothing, action::close_channel, ZAVCONN_SIGNON, msg_not_registered},
    {ZAVCONN_SIGNON, kinds(input_kind::status_revoked, input_kind::status_other), check::none, needs_nothing, action::close_channel, ZAVCONN_SIGNON, msg_unknown_status},
    {ZAVCONN_SIGNON, kinds(input_kind::nothing), check::none, needs_nothing, action::close_channel, ZAVCONN_SIGNON, msg_unknown_status},
    {ZAVCONN_VERIFY, kinds(input_kind::text), check::expected_response, part_exit_buffer, action::let_channel_run, ZAVCONN_VERIFY, msg_impersonation},
    {ZAVCONN_VERIFY, static_cast<input_set>(any_input & ~kinds(input_kind::text)), check::none, needs_nothing, action::close_channel, ZAVCONN_VERIFY, msg_not_registered},
    {other_states, any_input, check::none, needs_nothing, action::close_channel, other_states, msg_invalid_state},
}};
// clang-format on

namespace detail {
// The place in handshake_table of the row for each state rule and kind, made
// when compiling: the step looks its row up without a branch. A kind that a
// state cannot read (checked below) has the last row, which refuses.
inline constexpr auto transition_index = [] {
    std::array<std::array<std::uint8_t, input_kinds>, state_rules.size()> index{};
    for (std::size_t s = 0; s < state_rules.size(); ++s) {
        for (std::size_t k = 0; k < input_kinds; ++k) {
            index[s][k] = static_cast<std::uint8_t>(handshake_table.size() - 1);
            for (std::size_t t = handshake_table.size(); t-- > 0;) {
                if (handshake_table[t].state == state_rules[s].state &&
                    (handshake_table[t].inputs & kinds(static_cast<input_kind>(k))) != 0) {
                    index[s][k] = static_cast<std::uint8_t>(t);
                }
            }
        }
    }
    return index;
}();
} // namespace detail

// The row for a message of kind `kind` arriving in `state`.
constexpr const transition &transition_for(std::uint8_t state, input_kind kind) {
    return handshake_table[detail::transition_index[detail::state_rule_index[state]]
                                                   [static_cast<std::size_t>(kind)]];
}

namespace detail {
// The kinds a state's reading can give.
constexpr input_set readable_kinds(reading how) {
    return how == reading::by_first_byte
               ? kinds(input_kind::nothing, input_kind::status_authorised,
                       input_kind::status_password_violation, input_kind::status_revoked,
                       input_kind::status_sender_not_started, input_kind::status_not_registered,
                       input_kind::status_other)
               : any_input;
}

// Every kind a state can read has exactly one row, no row is for a kind its
// state cannot read, a row that goes on names no refusal unless its check
// may fail, and every refusal is a numbered message.
constexpr bool table_is_whole() {
    for (const state_rule &s : state_rules) {
        input_set seen = 0;
        for (const transition &t : handshake_table) {
            if (t.state != s.state) {
                continue;
            }
            if ((seen & t.inputs) != 0 || (t.inputs & ~readable_kinds(s.how)) != 0) {
                return false;
            }
            seen = static_cast<input_set>(seen | t.inputs);
            const bool may_refuse = t.act == action::close_channel || t.test != check::none;
            if (may_refuse != (t.refusal != no_refusal) ||
                (may_refuse && (t.refusal < 0 || t.refusal > last_numbered_message))) {
                return false;
            }
            if (t.act == action::close_channel && (t.next != t.state || t.needs != 0)) {
                return false;
            }
        }
        if (seen != readable_kinds(s.how)) {
            return false;
        }
    }
    return true;
}
} // namespace detail
static_assert(detail::table_is_whole(), "a state and kind with no rule, or with two");

// Sets the handshake state for a channel instance that starts: it waits for
// the partner's challenge.
void start_handshake(tarvelo_exit_params &params);

// Acts on the partner's security message according to the handshake state
// in the first byte of the user area, by the table above: the state's trace
// line, then the row for the message's kind, its check, the host's parts it
// needs, its action and the next state. Every refusal writes one numbered
// message and closes the channel. Nothing outside the bytes of the message
// that the exchange buffer holds (see exit_call.h) and the exit buffer is
// read or written.
void run_handshake_step(const handshake_call &call);

} // namespace tarvelo

#endif
