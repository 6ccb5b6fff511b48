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
// page's MESSAGES section are generated from it by tools/docgen, and the
// suite fails when the checked-in text differs. A new message is a row here
// and a name in message_index below; no index is written by hand.
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

// The severity a numbered message's identifier ends with; a trace line has
// none. The letter is part of the text: the writer gives it no meaning.
enum class severity : char {
    none = 0,
    information = 'I',
    warning = 'W',
    error = 'E',
    severe = 'S',
};

// The most causes, and the most notes, that one message has.
inline constexpr std::size_t max_causes = 6;
inline constexpr std::size_t max_notes = 4;
// A list of texts: the first empty one ends it.
template <std::size_t N> using text_list = std::array<std::string_view, N>;

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
    // What the line tells an operator, in one line: why the channel was
    // refused, or what happened.
    std::string_view meaning;
    severity level = severity::none;
    // For the message reference: a heading, and how it shows the format's
    // third "%s" ("<reason> ", with the blank that the caller's text
    // carries), empty when it has none.
    std::string_view title = {};
    std::string_view argument = {};
    // What else an operator should know of the line, a paragraph each.
    text_list<max_notes> notes = {};
    // What makes the exit write it, one cause each, the likeliest first.
    text_list<max_causes> causes = {};
    // What an operator does about it.
    std::string_view action = {};
};

// clang-format off
// TARVELO002E ends with a newline and a blank: the blank begins the next
// line written to the same stream, as it always has.
inline constexpr auto messages = std::to_array<message>({
    {.identifier = "TARVELO001I", .key = "TARVELO001I", .kind = message_kind::information,
     .format = "%s TARVELO001I - KOR Security Exit Started Channel => %s\n",
     .meaning = "a channel instance started, and the host called the exit to initialise it",
     .level = severity::information, .title = "exit started",
     .notes = {"It is written before the exit sets up its 64-byte buffer, so it is also written when `TARVELO002E` follows; otherwise the exit now waits for the partner's challenge.",
               "Written once per channel start, also when trace is off. Any trace that was on in the process is switched off at this point (see *Trace* in the operator's guide)."},
     .action = "none."},
    {.identifier = "TARVELO002E", .key = "TARVELO002E", .kind = message_kind::refusal,
     .format = "%s TARVELO002E - ZTXR_INIT - Memory allocation failure!\n ",
     .meaning = "the exit could not allocate its buffer at channel start",
     .level = severity::error, .title = "memory allocation failure",
     .notes = {"The channel is closed. The line carries no channel name: look at the `TARVELO001I` just before it.",
               "This line ends with a newline and a blank, so the *next* line written to the same stream starts with a blank. This is how the exit has always written it; log readers should tolerate it."},
     .causes = {"the host process is out of memory or at its memory limit",
                "the host gave the exit nowhere to keep its buffer (no exit buffer address or no exit buffer length)"},
     .action = "check the host process's memory use and limits (`ulimit -v`, container limits), then restart the channel."},
    {.identifier = "TARVELO003W", .key = "TARVELO003W", .kind = message_kind::refusal,
     .format = "%s TARVELO003W - KOR Password Violation channel => %s\n",
     .meaning = "the partner service rejected the exit's response: the two sides do not hold the same password",
     .level = severity::warning, .title = "password violation",
     .notes = {"The partner service checked the exit's response to its challenge and found it wrong (status 7). The channel is closed."},
     .causes = {"the password in the channel definition differs from the one the partner service holds for this channel: the exit uses the password field only up to its first blank, and case matters"},
     .action = "agree the password with the partner and correct the channel definition. Repeated violations may make the partner revoke the channel (`TARVELO004E`), so do not simply retry."},
    {.identifier = "TARVELO004E", .key = "TARVELO004E", .kind = message_kind::refusal,
     .format = "%s TARVELO004E - Channel => %s has been revoked by sucessive invalid passwords!\n",
     .meaning = "the partner service has revoked the channel after successive invalid passwords",
     .level = severity::error, .title = "channel revoked",
     .notes = {"The partner service opened the exchange with status 8 instead of a challenge. The channel is closed."},
     .causes = {"earlier `TARVELO003W` violations, from this host or from someone else using the channel's name"},
     .action = "ask the partner to reinstate the channel, after correcting the password. Look for earlier `TARVELO003W` lines to see when the violations began."},
    {.identifier = "TARVELO005E", .key = "TARVELO005E", .kind = message_kind::refusal,
     .format = "%s TARVELO005E - Channel => %s cannot be started - Sender channel MUST be started first\n",
     .meaning = "the partner service says the sender channel must be started first",
     .level = severity::error, .title = "sender channel must be started first",
     .notes = {"The partner service accepted the exit's response but reported status 9. The channel is closed."},
     .causes = {"the sending channel of the pair is not running yet"},
     .action = "start the sender channel of the pair first, then this one."},
    {.identifier = "TARVELO006S", .key = "TARVELO006S", .kind = message_kind::refusal,
     .format = "%s TARVELO006S - Unknown signon status received from KOR Platform : channel => %s\n",
     .meaning = "the partner sent what the exit does not accept at that step of the sign-on",
     .level = severity::severe, .title = "unknown signon status",
     .notes = {"The channel is closed. The partner protocol guide's table shows each message the exit does not accept at each step."},
     .causes = {"instead of a challenge, the partner sent a 1-byte status other than 8 (revoked), or a message shorter than 32 bytes",
                "the host's exchange buffer is too small to hold a challenge (fewer than 32 bytes), or holds no byte of the message",
                "after the exit's response, the partner sent a message of length 0, which carries no status, or a status other than 6, 7, 9 or 10 (status 8, revoked, is not expected there either)",
                "a partner service that speaks another version of the protocol, or something other than the partner service at the far end"},
     .action = "turn trace on and restart the channel: the trace shows at which step it happened (`ZAVCONN_STARTUP`: the first message; `ZAVCONN_SIGNON`: the status after the exit's response). Take it to the partner with the trace."},
    {.identifier = "TARVELO007E", .key = "TARVELO007E", .kind = message_kind::refusal,
     .format = "%s TARVELO007E - Possible Partner impersonation! on channel => %s\n",
     .meaning = "the partner did not prove the password (possible impersonation), or sent the exit an exit's own challenge",
     .level = severity::error, .title = "possible partner impersonation",
     .notes = {"One of two things, told apart by the trace line before it; the channel is closed either way.",
               "After `ZAVCONN_VERIFY`: the partner accepted the exit's response, the exit sent its own challenge, and the 32-byte answer that came back was not the right response.",
               "After `ZAVCONN_STARTUP` and `MD5 Challenge received`: the partner's opening challenge was one that an exit made (this one, on this or another channel, or another exit in another process or on another host), in any spelling (lower case, blanks for leading zeros). Whoever sends it wants the exit's answer in order to present it as their own proof to the exit that sent it: the exit does not answer, and nothing goes back. A genuine partner's challenge is taken for an exit's with a chance of 1 in 2^32; its next sign-on goes through."},
     .causes = {"something that is not the real partner service is at the far end and does not know the password",
                "after `ZAVCONN_VERIFY`: the partner's computation of the response differs from the exit's (lower-case hex, a padded password, another character set)"},
     .action = "treat it as a security incident until shown otherwise, above all after `ZAVCONN_STARTUP`: that is an attempt to use the exit against itself, and comes from whoever can reach the channel's listener. With trace on, the lines `MD5 Response received` and `MD5 Response expected` show both values; the partner can check theirs with `tarvelo respond PASSWORD CHALLENGE`, which also says on standard error when a challenge carries the mark of one an exit made."},
    {.identifier = "TARVELO008I", .key = "TARVELO008I", .kind = message_kind::information,
     .format = "%s TARVELO008I - KOR Security Exit Channel => %s closed.\n",
     .meaning = "a channel instance ended and the exit released its buffer",
     .level = severity::information, .title = "channel closed",
     .notes = {"Written at every channel end, whether the sign-on succeeded or not."},
     .action = "none. A `TARVELO001I` without a matching `TARVELO008I` means the host ended without telling the exit."},
    {.identifier = "TARVELO009E", .key = "TARVELO009E-call", .kind = message_kind::refusal,
     .format = "%s TARVELO009E - KOR Security Exit - Invalid exit call - Channel => %s - ZT Code => %s\n",
     .meaning = "the host called the exit for something it does not handle, or without a channel definition",
     .level = severity::error, .title = "invalid exit call", .argument = "<reason> ",
     .notes = {"`<reason>` is the exit reason number, with a blank before and after. The exit handles 11 (initialise), 12 (terminate), 15 (security message) and 16 (security initialisation). The channel is closed.",
               "With `ZT Code =>  15 ` and no channel name, the host passed a security message without the channel definition: there is no password to sign on with, so the exit takes no part in the sign-on, whatever its state."},
     .causes = {"the library has been configured as some other kind of channel exit, or the host is not one this exit was written for",
                "for reason 15, a host that does not pass the channel definition to its security exit"},
     .action = "configure it as the channel's *security* exit."},
    {.identifier = "TARVELO009E", .key = "TARVELO009E-state", .kind = message_kind::refusal,
     .format = "%s TARVELO009E - KOR Security Exit - Invalid Internal State - Channel => %s - State Code => %s\n",
     .meaning = "the sign-on could not go on: a handshake state the exit does not know, or no buffer or no random bytes for its own challenge",
     .level = severity::error, .title = "invalid internal state", .argument = "<state>",
     .notes = {"A security message arrived while the exit's handshake state (the first byte of the exit's user area, `<state>` in two hex digits) was not one of its three: 01 waiting for the challenge, 03 waiting for the status, 02 waiting for the response. It is also written when the exit's buffer has disappeared at the step that needs it, and with state 03 when the partner has accepted the exit's response but the system's random source gives nothing for the exit's own challenge (the exit never sends a challenge anyone could predict). The channel is closed."},
     .causes = {"the host cleared or changed the user area between calls, or passed a security message to an exit it had not initialised",
                "with 03 after `Status = Authorised`: a machine whose random generator is not seeded yet (very early in its boot), or a sandbox that denies the host both the `getrandom` call and `/dev/urandom`"},
     .action = "check the host's exit configuration and restart the channel; report it with the state code if it recurs."},
    {.identifier = "TARVELO010E", .key = "TARVELO010E", .kind = message_kind::refusal,
     .format = "%s TARVELO010E - KOR Security Exit - Channel - %s - not registered on KOR service\n",
     .meaning = "the channel is not registered on the partner service, or the partner's response to the exit's challenge was not 32 bytes",
     .level = severity::error, .title = "not registered",
     .notes = {"One of two things, told apart by the trace line before it: after `ZAVCONN_SIGNON`, the partner service reported status 10; after `ZAVCONN_VERIFY`, the partner's answer to the exit's challenge had the wrong length (the exit reports this with the same line)."},
     .causes = {"the channel is not registered on the partner service",
                "the partner's response to the exit's challenge was not exactly 32 bytes long, or arrived in an exchange buffer shorter than 32 bytes"},
     .action = "in the first case, have the channel registered on the partner service under this exact name. In the second, the partner's implementation is at fault: send them the trace and the [partner protocol guide](partner-protocol.md)."},
    {.identifier = "", .key = "", .kind = message_kind::trace,
     .format = "%s Trace ....> - ZTXR_SEC_MSG received - Channel =>  %s\n",
     .meaning = "a security message from the partner reached the exit"},
    {.identifier = "", .key = "", .kind = message_kind::trace,
     .format = "%s Trace ....>      - ZAVCONN_STARTUP  - Channel =>  %s\n",
     .meaning = "the exit waits for the partner's challenge"},
    {.identifier = "", .key = "", .kind = message_kind::trace,
     .format = "%s Trace ....>        - MD5 Challenge received Channel => %s ---> %s\n",
     .meaning = "the partner's challenge, as received", .argument = "<challenge> "},
    {.identifier = "", .key = "", .kind = message_kind::trace,
     .format = "%s Trace ....>        - MD5 response sent      Channel => %s ---> %s\n",
     .meaning = "the exit's response to it, as sent", .argument = "<response> "},
    {.identifier = "", .key = "", .kind = message_kind::trace,
     .format = "%s Trace ....>      - ZAVCONN_SIGNON   - Channel =>  %s\n",
     .meaning = "the exit waits for the partner's verdict on its response"},
    {.identifier = "", .key = "", .kind = message_kind::trace,
     .format = "%s Trace ....>         - Status = Authorised - Channel =>  %s\n",
     .meaning = "the partner service accepted the exit's response (status 6)"},
    {.identifier = "", .key = "", .kind = message_kind::trace,
     .format = "%s Trace ....>        - MD5 Challenge Sent     Channel => %s ---> %s\n",
     .meaning = "the exit's own challenge, as sent", .argument = "<challenge> "},
    {.identifier = "", .key = "", .kind = message_kind::trace,
     .format = "%s Trace ....>      - ZAVCONN_VERIFY   - Channel =>  %s\n",
     .meaning = "the exit waits for the partner's response to its challenge"},
    {.identifier = "", .key = "", .kind = message_kind::trace,
     .format = "%s Trace ....>        - MD5 Response received  Channel => %s ---> %s\n",
     .meaning = "the partner's response, as received", .argument = "<response> "},
    {.identifier = "", .key = "", .kind = message_kind::trace,
     .format = "%s Trace ....>        - MD5 Response expected  Channel => %s ---> %s\n",
     .meaning = "the response the exit computed and expected", .argument = "<response> "},
    {.identifier = "", .key = "", .kind = message_kind::trace,
     .format = "%s Trace ....>         - Status = KOR Authorised - Channel =>  %s\n",
     .meaning = "the partner proved the password: the channel runs"},
});

// The lines the writer puts on standard error, never in the log file: they
// carry no timestamp and no identifier. Each format takes the system's
// error number in decimal.
struct standard_error_line {
    std::string_view key;
    std::string_view format;
    std::string_view meaning;
    text_list<max_notes> notes = {};
    // The error numbers an operator meets, each with what it means.
    text_list<max_causes> causes = {};
    std::string_view action = {};
};

enum standard_error_index : int { log_open_failed, log_write_failed };

inline constexpr auto standard_error_lines = std::to_array<standard_error_line>({
    {.key = "log-open", .format = "Error accessing log file - errno %d\n",
     .meaning = "the exit could not open the log file named in the exit data for appending",
     .notes = {"`<N>` is the system's error number. The message line itself still went to standard output; nothing is lost there, but the log file misses it. It is written for every line the exit tries to log, trace lines included: while trace is off, each suppressed trace line still tries to open the file, so with trace off a sign-on gives several of these lines with no matching line on standard output.",
               "A path another user could have steered is refused with 13 (`EACCES`): a symbolic link anywhere on the path that belongs to neither root nor the host's user; a file with more than one name in a directory that another user may write; an existing file of another user's in a sticky directory open to all (`/tmp`). See the operator's guide, [Where a log may lie](operators-guide.md#where-a-log-may-lie), for which rule refused it and how to lay out a log directory that passes."},
     .causes = {"2 (`ENOENT`): the directory does not exist",
                "13 (`EACCES`): the host's user may not create or write the file",
                "21 (`EISDIR`): the path names a directory",
                "24 (`EMFILE`): the host process has run out of file descriptors",
                "30 (`EROFS`): read-only file system"},
     .action = "fix the path or the permissions; the next line the exit writes creates the file. No restart is needed."},
    {.key = "log-write", .format = "Error writing log file - errno %d\n",
     .meaning = "the log file was opened, but the line could not be written to it whole, and it is not in the log file",
     .notes = {"The exit took back the part that went in, so no later line is glued to it. The line itself still went to standard output. `<N>` is the system's error number. One such line for each line lost."},
     .causes = {"28 (`ENOSPC`): the file system is full (or the log is `/dev/full`)",
                "27 (`EFBIG`): the host process's file-size limit (`ulimit -f`, `LimitFSIZE=`) is reached",
                "122 (`EDQUOT`): the host user's disk quota is used up",
                "5 (`EIO`): an I/O error, or another process's line came between the two parts of a line written in two steps",
                "11 (`EAGAIN`): a FIFO whose reader has fallen behind is full",
                "32 (`EPIPE`): a FIFO's reader left while the line was written"},
     .action = "make room (or raise the limit); the next line that fits is written whole. No restart is needed."},
});
// clang-format on

// A standard-error line is made in a buffer of this size: each format with
// the longest error number, "-2147483648", fits.
inline constexpr std::size_t standard_error_line_max = 64;
static_assert([] {
    for (const standard_error_line &e : standard_error_lines) {
        if (e.format.size() - 2 + 11 >= standard_error_line_max ||
            e.format.find("%d") == e.format.npos || e.format.find('%') != e.format.rfind('%')) {
            return false;
        }
    }
    return true;
}());

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
// its text, a key no other entry has and a severity; then the trace lines,
// each with a name above, and nothing after them.
static_assert([] {
    for (std::size_t i = 0; i < messages.size(); ++i) {
        const message &m = messages[i];
        const bool trace = static_cast<int>(i) > last_numbered_message;
        if (trace != (m.kind == message_kind::trace) || trace != m.identifier.empty() ||
            trace != m.key.empty() || (!trace && m.format.find(m.identifier) != 3) ||
            (!trace && message_index_of_key(m.key) != static_cast<int>(i)) ||
            trace != (m.level == severity::none) || (trace && !m.causes[0].empty())) {
            return false;
        }
    }
    return true;
}());
static_assert(std::size_t{trace_partner_authorised} + 1 == messages.size(),
              "a trace line without a name, or a name without a line");

} // namespace tarvelo

#endif
