// catalogue.h: the 22 lines the exit can write, in the order of their index.
//
// Log readers and operators' monitoring match these texts, so they stand
// exactly as released, spelling and runs of blanks included. Every format
// holds only "%s" placeholders, filled in order by the timestamp, the
// channel name text and the caller's argument text. Indices above 10 are
// trace lines, written only while trace is on.
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

// Entry 1 ends with a newline and a blank: the blank begins the next line
// written to the same stream, as it always has.
inline constexpr std::array<std::string_view, 22> catalogue = {
    "%s TARVELO001I - KOR Security Exit Started Channel => %s\n",
    "%s TARVELO002E - ZTXR_INIT - Memory allocation failure!\n ",
    "%s TARVELO003W - KOR Password Violation channel => %s\n",
    "%s TARVELO004E - Channel => %s has been revoked by sucessive invalid passwords!\n",
    "%s TARVELO005E - Channel => %s cannot be started - Sender channel MUST be started first\n",
    "%s TARVELO006S - Unknown signon status received from KOR Platform : channel => %s\n",
    "%s TARVELO007E - Possible Partner impersonation! on channel => %s\n",
    "%s TARVELO008I - KOR Security Exit Channel => %s closed.\n",
    "%s TARVELO009E - KOR Security Exit - Invalid exit call - Channel => %s - ZT Code => %s\n",
    "%s TARVELO009E - KOR Security Exit - Invalid Internal State - Channel => %s - State Code => "
    "%s\n",
    "%s TARVELO010E - KOR Security Exit - Channel - %s - not registered on KOR service\n",
    "%s Trace ....> - ZTXR_SEC_MSG received - Channel =>  %s\n",
    "%s Trace ....>      - ZAVCONN_STARTUP  - Channel =>  %s\n",
    "%s Trace ....>        - MD5 Challenge received Channel => %s ---> %s\n",
    "%s Trace ....>        - MD5 response sent      Channel => %s ---> %s\n",
    "%s Trace ....>      - ZAVCONN_SIGNON   - Channel =>  %s\n",
    "%s Trace ....>         - Status = Authorised - Channel =>  %s\n",
    "%s Trace ....>        - MD5 Challenge Sent     Channel => %s ---> %s\n",
    "%s Trace ....>      - ZAVCONN_VERIFY   - Channel =>  %s\n",
    "%s Trace ....>        - MD5 Response received  Channel => %s ---> %s\n",
    "%s Trace ....>        - MD5 Response expected  Channel => %s ---> %s\n",
    "%s Trace ....>         - Status = KOR Authorised - Channel =>  %s\n",
};

} // namespace tarvelo

#endif
