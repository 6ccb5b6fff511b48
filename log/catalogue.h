// catalogue.h: the 22 lines the exit can write, in the order of their index,
// each with what it is and what it means for an operator.
//
// Log readers and operators' monitoring match these texts, so they stand
// exactly as released, spelling and runs of blanks included. Every format
// holds only "%s" placeholders, filled in order by the timestamp, the
// channel name text and the caller's argument text. Indices above 10 are
// trace lines, written only while trace is on.
//
// This is the one table of messages: the exit writes from it, and the
// program's report and verdicts, the tests and the message reference read
// it rather than keep lists of their own.
#ifndef TARVELO_LOG_CATALOGUE_H
#define TARVELO_LOG_CATALOGUE_H

#include <array>
#include <cstddef>
#include <string_view>

namespace tarvelo {

enum message_index : int {
    msg_exit_started = 0,
    msg_allocation_failure = 1,
    msg_password_violation = 2,
    msg_revoked = 3,
    msg_sender_not_started = 4,
    msg_unknown_status = 5,
    msg_impersonation = 6,
    msg_channel_closed = 7,
    msg_invalid_exit_call = 8,
    msg_invalid_state = 9,
    msg_not_registered = 10,
    trace_sec_msg_received = 11,
    trace_startup = 12,
    trace_challenge_received = 13,
    trace_response_sent = 14,
    trace_signon = 15,
    trace_authorised = 16,
    trace_challenge_sent = 17,
    trace_verify = 18,
    trace_response_received = 19,
    trace_response_expected = 20,
    trace_partner_authorised = 21,
};

inline constexpr int last_numbered_message = 10;

// Every line begins with the local time in the 24 characters of the C
// library's ctime text without its newline: "Tue Dec  8 18:43:24 2026".
inline constexpr std::size_t timestamp_length = 24;

enum class message_kind {
    information, // the channel's life: started, closed
    refusal,     // the exit closed the channel; exactly one per refusal
    trace,       // a step of the sign-on, written only while trace is on
};

struct message {
    // "TARVELO003W"; empty for a trace line. Two entries share TARVELO009E.
    std::string_view identifier;
    // A name no other entry has, for tools that count messages: the
    // identifier, with the fault after it for the two texts of TARVELO009E.
    std::string_view key;
    message_kind kind;
    std::string_view format;
    // What the line tells an operator: why the channel was refused, or what
    // happened.
    std::string_view meaning;
};

// Entry 1 ends with a newline and a blank: the blank begins the next line
// written to the same stream, as it always has.
inline constexpr std::array<message, 22> messages = {{
    {"TARVELO001I", "TARVELO001I", message_kind::information,
     "%s TARVELO001I - KOR Security Exit Started Channel => %s\n",
     "a channel instance started and the exit took it on"},
    {"TARVELO002E", "TARVELO002E", message_kind::refusal,
     "%s TARVELO002E - ZTXR_INIT - Memory allocation failure!\n ",
     "the exit could not allocate its buffer at channel start"},
    {"TARVELO003W", "TARVELO003W", message_kind::refusal,
     "%s TARVELO003W - KOR Password Violation channel => %s\n",
     "the partner service rejected the exit's response: the two sides do not hold the same "
     "password"},
    {"TARVELO004E", "TARVELO004E", message_kind::refusal,
     "%s TARVELO004E - Channel => %s has been revoked by sucessive invalid passwords!\n",
     "the partner service has revoked the channel after successive invalid passwords"},
    {"TARVELO005E", "TARVELO005E", message_kind::refusal,
     "%s TARVELO005E - Channel => %s cannot be started - Sender channel MUST be started first\n",
     "the partner service says the sender channel must be started first"},
    {"TARVELO006S", "TARVELO006S", message_kind::refusal,
     "%s TARVELO006S - Unknown signon status received from KOR Platform : channel => %s\n",
     "the partner sent what the exit does not accept at that step of the sign-on"},
    {"TARVELO007E", "TARVELO007E", message_kind::refusal,
     "%s TARVELO007E - Possible Partner impersonation! on channel => %s\n",
     "the partner did not prove the password (possible impersonation), or sent the exit an "
     "exit's own challenge"},
    {"TARVELO008I", "TARVELO008I", message_kind::information,
     "%s TARVELO008I - KOR Security Exit Channel => %s closed.\n",
     "a channel instance ended and the exit released its buffer"},
    {"TARVELO009E", "TARVELO009E-call", message_kind::refusal,
     "%s TARVELO009E - KOR Security Exit - Invalid exit call - Channel => %s - ZT Code => %s\n",
     "the host called the exit for something it does not handle, or without a channel "
     "definition"},
    {"TARVELO009E", "TARVELO009E-state", message_kind::refusal,
     "%s TARVELO009E - KOR Security Exit - Invalid Internal State - Channel => %s - State Code "
     "=> %s\n",
     "the sign-on could not go on: a handshake state the exit does not know, or no buffer or no "
     "random bytes for its own challenge"},
    {"TARVELO010E", "TARVELO010E", message_kind::refusal,
     "%s TARVELO010E - KOR Security Exit - Channel - %s - not registered on KOR service\n",
     "the channel is not registered on the partner service, or the partner's response to the "
     "exit's challenge was not 32 bytes"},
    {"", "", message_kind::trace, "%s Trace ....> - ZTXR_SEC_MSG received - Channel =>  %s\n",
     "a security message from the partner reached the exit"},
    {"", "", message_kind::trace, "%s Trace ....>      - ZAVCONN_STARTUP  - Channel =>  %s\n",
     "the exit waits for the partner's challenge"},
    {"", "", message_kind::trace,
     "%s Trace ....>        - MD5 Challenge received Channel => %s ---> %s\n",
     "the partner's challenge, as received"},
    {"", "", message_kind::trace,
     "%s Trace ....>        - MD5 response sent      Channel => %s ---> %s\n",
     "the exit's response to it, as sent"},
    {"", "", message_kind::trace, "%s Trace ....>      - ZAVCONN_SIGNON   - Channel =>  %s\n",
     "the exit waits for the partner's verdict on its response"},
    {"", "", message_kind::trace, "%s Trace ....>         - Status = Authorised - Channel =>  %s\n",
     "the partner service accepted the exit's response"},
    {"", "", message_kind::trace,
     "%s Trace ....>        - MD5 Challenge Sent     Channel => %s ---> %s\n",
     "the exit's own challenge, as sent"},
    {"", "", message_kind::trace, "%s Trace ....>      - ZAVCONN_VERIFY   - Channel =>  %s\n",
     "the exit waits for the partner's response to its challenge"},
    {"", "", message_kind::trace,
     "%s Trace ....>        - MD5 Response received  Channel => %s ---> %s\n",
     "the partner's response, as received"},
    {"", "", message_kind::trace,
     "%s Trace ....>        - MD5 Response expected  Channel => %s ---> %s\n",
     "the response the exit expected"},
    {"", "", message_kind::trace,
     "%s Trace ....>         - Status = KOR Authorised - Channel =>  %s\n",
     "the partner proved the password: the channel runs"},
}};

namespace detail {
constexpr std::array<std::string_view, messages.size()> formats_of_messages() {
    std::array<std::string_view, messages.size()> formats{};
    for (std::size_t i = 0; i < messages.size(); ++i) {
        formats[i] = messages[i].format;
    }
    return formats;
}
} // namespace detail

// The formats alone, in the order of their index, as the writer takes them.
inline constexpr std::array<std::string_view, messages.size()> catalogue =
    detail::formats_of_messages();

// The kinds follow the index: numbered messages up to 10, trace above.
static_assert([] {
    for (std::size_t i = 0; i < messages.size(); ++i) {
        const bool trace = static_cast<int>(i) > last_numbered_message;
        if (trace != (messages[i].kind == message_kind::trace) ||
            trace != messages[i].identifier.empty() ||
            (!trace && messages[i].format.find(messages[i].identifier) != 3)) {
            return false;
        }
    }
    return true;
}());

} // namespace tarvelo

#endif
