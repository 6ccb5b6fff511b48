// catalogue.h: every line the exit can write, in the order of its index,
// each with what it is and what it means for an operator.
//
// Log readers and operators' monitoring match these texts, so they stand
// exactly as released, spelling and runs of blanks included. Every format
// holds only "%s" placeholders, filled in order by the timestamp, the
// channel name text and the caller's argument text. The numbered messages
// come first; the trace lines follow them, written only while trace is on.
//
// This is the one table of messages: the exit writes from it, and the
// program's report and verdicts and the tests read it rather than keep lists
// of their own. The message reference (docs/messages.md) and the manual
// page's MESSAGES section are tested against it. A new message is a row
// here and a name in message_index below; no index is written by hand.
#ifndef TARVELO_LOG_CATALOGUE_H
#define TARVELO_LOG_CATALOGUE_H

#include <array>
#include <cstddef>
#include <string_view>

namespace tarvelo {

// Every line begins with the local time in the 24 characters of the C
// library's ctime text without its newline: "Tue Dec  8 18:43:24 2026".
inline constexpr std::size_t timestamp_length = 24;

enum class message_kind {
    information, // the channel's life: started, closed
    refusal,     // the exit closed the channel; exactly one per refusal
    trace,       // a step of the sign-on, written only while trace is on
};

struct message {
    // "TARVELO003W"; empty for a trace line. Entries may share one:
    // TARVELO009E has a text for each of its faults.
    std::string_view identifier;
    // A name no other numbered entry has, for tools that count messages: the
    // identifier, with the fault after it where entries share one
    // ("TARVELO009E-call"); empty for a trace line.
    std::string_view key;
    message_kind kind;
    std::string_view format;
    // What the line tells an operator: why the channel was refused, or what
    // happened.
    std::string_view meaning;
};

// TARVELO002E ends with a newline and a blank: the blank begins the next
// line written to the same stream, as it always has.
inline constexpr auto messages = std::to_array<message>({
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
});

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

namespace detail {
constexpr int count_numbered() {
    int count = 0;
    for (const message &m : messages) {
        count += m.kind != message_kind::trace ? 1 : 0;
    }
    return count;
}
} // namespace detail

// The index of the last numbered message: trace lines have the indices above.
inline constexpr int last_numbered_message = detail::count_numbered() - 1;

// The index of the numbered message whose key is `key`, or -1 when no entry
// has it.
constexpr int message_index_of_key(std::string_view key) {
    for (std::size_t i = 0; i < messages.size(); ++i) {
        if (!key.empty() && messages[i].key == key) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

namespace detail {
// Never defined: reached only when a name below asks for a key that no entry
// has, and then the build stops there.
int no_catalogue_entry_has_this_key();

consteval int numbered(std::string_view key) {
    const int index = message_index_of_key(key);
    return index >= 0 ? index : no_catalogue_entry_has_this_key();
}
} // namespace detail

// The names the exit writes by. Each numbered message's index is found by
// its key in the table; the trace lines follow the numbered messages in the
// table, in this order.
enum message_index : int {
    msg_exit_started = detail::numbered("TARVELO001I"),
    msg_allocation_failure = detail::numbered("TARVELO002E"),
    msg_password_violation = detail::numbered("TARVELO003W"),
    msg_revoked = detail::numbered("TARVELO004E"),
    msg_sender_not_started = detail::numbered("TARVELO005E"),
    msg_unknown_status = detail::numbered("TARVELO006S"),
    msg_impersonation = detail::numbered("TARVELO007E"),
    msg_channel_closed = detail::numbered("TARVELO008I"),
    msg_invalid_exit_call = detail::numbered("TARVELO009E-call"),
    msg_invalid_state = detail::numbered("TARVELO009E-state"),
    msg_not_registered = detail::numbered("TARVELO010E"),
    trace_sec_msg_received = last_numbered_message + 1,
    trace_startup,
    trace_challenge_received,
    trace_response_sent,
    trace_signon,
    trace_authorised,
    trace_challenge_sent,
    trace_verify,
    trace_response_received,
    trace_response_expected,
    trace_partner_authorised,
};

// The numbered messages come first, each with its identifier at the start of
// its text and a key no other entry has; then the trace lines, each with a
// name above, and nothing after them.
static_assert([] {
    for (std::size_t i = 0; i < messages.size(); ++i) {
        const message &m = messages[i];
        const bool trace = static_cast<int>(i) > last_numbered_message;
        if (trace != (m.kind == message_kind::trace) || trace != m.identifier.empty() ||
            trace != m.key.empty() || (!trace && m.format.find(m.identifier) != 3) ||
            (!trace && message_index_of_key(m.key) != static_cast<int>(i))) {
            return false;
        }
    }
    return true;
}());
static_assert(std::size_t{trace_partner_authorised} + 1 == messages.size(),
              "a trace line without a name, or a name without a line");

} // namespace tarvelo

#endif
