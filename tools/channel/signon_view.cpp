// signon_view.cpp: see signon_view.h.
#include "tools/channel/signon_view.h"

#include "tools/channel/channel_options.h"
#include "tools/options.h"
#include "tools/report/log_reader.h"
#include "tools/system/file_reading.h"
#include "tools/system/shown_text.h"

#include "auth/challenge.h"
#include "auth/hex.h"
#include "exit/handshake.h"
#include "log/catalogue.h"
#include "standin/signon.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

namespace tarvelo::tool {
namespace {

constexpr std::size_t channel_name_width = TARVELO_CHANNEL_NAME_LENGTH;
// "32-byte": a challenge's size, as the verdicts say it.
const std::string challenge_size = std::to_string(security_text_length) + "-byte";

const char *status_name(std::uint8_t status) {
    switch (status) {
    case ZAVSTAT_AUTHORISED:
        return "authorised";
    case ZAVSTAT_PASSWORD_VIOLATION:
        return "password violation";
    case ZAVSTAT_REVOKED:
        return "revoked";
    case ZAVSTAT_SENDER_NOT_STARTED:
        return "sender not started";
    case ZAVSTAT_NOT_REGISTERED:
        return "not registered";
    default:
        return "not a status the exit knows";
    }
}

std::string status_text(std::uint8_t status) {
    return "status " + std::to_string(status) + " (" + status_name(status) + ")";
}

const char *reason_name(std::int32_t reason) {
    switch (reason) {
    case ZTXR_INIT:
        return "ZTXR_INIT (the channel instance starts)";
    case ZTXR_TERM:
        return "ZTXR_TERM (the channel instance ends)";
    case ZTXR_SEC_MSG:
        return "ZTXR_SEC_MSG (a partner's message is in the exchange buffer)";
    case ZTXR_INIT_SEC:
        return "ZTXR_INIT_SEC (the exit may open the exchange)";
    default:
        return "an unknown exit reason";
    }
}

std::string state_text(std::uint8_t state) {
    switch (state) {
    case ZAVCONN_STARTUP:
        return "ZAVCONN_STARTUP";
    case ZAVCONN_SIGNON:
        return "ZAVCONN_SIGNON";
    case ZAVCONN_VERIFY:
        return "ZAVCONN_VERIFY";
    default:
        return "state " + std::to_string(state);
    }
}

std::string answer_text(const standin::exit_answer &answer) {
    std::string text;
    switch (answer.response) {
    case ZTXCC_OK:
        text = "ZTXCC_OK";
        break;
    case ZTXCC_SEND_SEC_MSG:
        text = (answer.response2 & ZTXR2_USE_EXIT_BUFFER) != 0
                   ? "ZTXCC_SEND_SEC_MSG from the exit buffer"
                   : "ZTXCC_SEND_SEC_MSG from the exchange buffer";
        break;
    case ZTXCC_CLOSE_CHANNEL:
        text = "ZTXCC_CLOSE_CHANNEL";
        break;
    default:
        text = "response " + std::to_string(answer.response);
        break;
    }
    if (answer.reason != ZTXR_TERM) {
        text += ", state " + state_text(answer.state);
    }
    return text;
}

// A security message as text when it is printable, else as hex.
std::string message_bytes(const std::vector<std::uint8_t> &bytes) {
    bool printable = true;
    for (const std::uint8_t b : bytes) {
        printable = printable && b >= 0x20 && b < 0x7f;
    }
    if (printable) {
        return std::string(bytes.begin(), bytes.end());
    }
    std::string hex(2 * bytes.size(), ' ');
    hex_encode(bytes.data(), bytes.size(), reinterpret_cast<std::uint8_t *>(hex.data()));
    return "hex " + hex;
}

// The catalogue entry of the last numbered line among `written`, or -1.
int last_numbered_message(const std::string &written, line_parser &parser) {
    int found = -1;
    std::size_t start = 0;
    while (start < written.size()) {
        std::size_t end = written.find('\n', start);
        end = end == std::string::npos ? written.size() : end;
        std::string_view line(written.data() + start, end - start);
        if (!line.empty() && line[0] == ' ') {
            line.remove_prefix(1); // the blank after a TARVELO002E line
        }
        parsed_line parsed;
        if (parser.parse(line, &parsed) && parsed.index <= tarvelo::last_numbered_message) {
            found = parsed.index;
        }
        start = end + 1;
    }
    return found;
}

std::string byte_count(std::size_t n) { return std::to_string(n) + (n == 1 ? " byte" : " bytes"); }

bool is_status(input_kind kind) {
    return kind != input_kind::nothing && kind < input_kind::short_message;
}

// What crossed tells more than the message: the state the exit was in and
// the partner's message it was handed when it closed the channel. The
// handshake table's row for them says what the exit made of the message.
// Empty when the row's refusal is not the message the exit wrote (no buffer
// or no random bytes for a challenge), or when the message has one cause
// and its meaning says it all.
std::string detail(int message, std::uint8_t state, const std::vector<std::uint8_t> *received,
                   const standin::channel_config &channel) {
    if (received == nullptr) {
        return {};
    }
    const std::vector<std::uint8_t> &m = *received;
    const std::size_t room =
        channel.exchange_size > 0 ? static_cast<std::size_t>(channel.exchange_size) : 0;
    const state_rule &s = state_rule_of(state);
    const input_kind kind =
        kind_of(s.how, m.size(), std::min(m.size(), room), m.empty() ? 0 : m[0]);
    const transition &row = transition_for(state, kind);
    if (row.refusal != message) {
        return {};
    }
    if (row.act != action::close_channel) {
        return row.test == check::not_exit_challenge
                   ? "the partner opened with a challenge that an exit made: the exit does not "
                     "answer it (possible impersonation)"
                   : "the partner's response to the exit's challenge was wrong: the partner "
                     "does not hold the password (possible impersonation)";
    }
    if (kind == input_kind::cut_message) {
        return "the host's exchange buffer holds " + byte_count(room) + ", too few for the " +
               "partner's " + challenge_size + " challenge";
    }
    if (message != msg_unknown_status && s.how == reading::by_first_byte) {
        // A status with a message of its own: the one of the message's
        // causes that it is, where the message has more than one.
        const text_list<max_causes> &causes = messages[static_cast<std::size_t>(message)].causes;
        return causes[1].empty() ? std::string() : std::string(causes[0]);
    }
    switch (s.state) {
    case ZAVCONN_STARTUP:
        if (message != msg_unknown_status) {
            return {};
        }
        return is_status(kind)
                   ? "the partner opened with " + status_text(m[0]) + " instead of a challenge"
                   : "the partner opened with " + byte_count(m.size()) + ", not a " +
                         challenge_size + " challenge";
    case ZAVCONN_SIGNON:
        return "the partner answered with " + status_text(m.empty() ? 0 : m[0]) +
               ", which the exit does not accept after its response";
    case ZAVCONN_VERIFY:
        return "the partner's response to the exit's challenge was " + byte_count(m.size()) +
               ", not " + std::to_string(security_text_length);
    default:
        return {};
    }
}

struct verdict {
    exit_code code;
    std::string text;
};

// The verdict on what the exit answered and wrote.
verdict judge(const standin::signon_record &record, const standin::channel_config &channel,
              int closing_message) {
    if (record.signed_on) {
        return {exit_code::ok, "signed on: both sides proved the password"};
    }
    if (!record.closed) {
        return {exit_code::unfinished,
                ": the exchange ended with the exit neither running nor closing the channel"};
    }
    // The state and the partner's message at the call that closed it: the
    // k-th security message call was handed the k-th partner message.
    std::vector<const std::vector<std::uint8_t> *> from_partner;
    for (const standin::exchanged_message &m : record.messages) {
        if (m.from_partner) {
            from_partner.push_back(&m.bytes);
        }
    }
    std::uint8_t state = 0;
    std::size_t delivered = 0;
    const std::vector<std::uint8_t> *received = nullptr;
    std::int32_t closing_reason = 0;
    for (const standin::exit_answer &answer : record.answers) {
        if (answer.reason == ZTXR_SEC_MSG) {
            received = delivered < from_partner.size() ? from_partner[delivered] : nullptr;
            ++delivered;
        }
        if (answer.response == ZTXCC_CLOSE_CHANNEL) {
            closing_reason = answer.reason;
            if (answer.reason != ZTXR_SEC_MSG) {
                received = nullptr;
            }
            break;
        }
        state = answer.state;
    }
    if (closing_message < 0) {
        return {exit_code::refused, "refused: the exit closed the channel at exit reason " +
                                        std::to_string(closing_reason) + " and wrote no message"};
    }
    const message &m = messages[static_cast<std::size_t>(closing_message)];
    std::string why = detail(closing_message, state, received, channel);
    if (why.empty()) {
        why = std::string(m.meaning);
    }
    return {exit_code::refused, "refused: " + why + " (" + std::string(m.identifier) + ")"};
}

} // namespace

signon_settings signon_settings_from(const arguments &a, std::string_view command_name) {
    signon_settings settings;
    settings.library = library_path(a);
    settings.entry = entry_name(a);
    settings.channel.name = channel_name(a);
    settings.channel.password = channel_password(a, "SECRET");
    warn_of_blank(command_name, "the password", settings.channel.password);
    // Both sides get the whole field: a blank in it shows what the exit
    // makes of that.
    settings.partner.password =
        a.value(partner_password_option).value_or(settings.channel.password);
    check_password("--partner-password", settings.partner.password);
    return settings;
}

exit_code show_signon(tarvelo_entry_fn *entry, const signon_settings &settings,
                      output_capture &out) {
    std::size_t partner_sent = 0;
    std::size_t exit_sent = 0;
    std::string exit_output;
    line_parser parser;
    int closing_message = -1;
    standin::signon_hooks hooks;
    hooks.before_call = [&](std::int32_t reason) {
        out.show("  host calls " + settings.entry + ": " + reason_name(reason) + "\n");
    };
    hooks.after_call = [&](const standin::exit_answer &answer) {
        const std::string written = out.take();
        out.show(written);
        exit_output += written;
        if (answer.response == ZTXCC_CLOSE_CHANNEL && closing_message < 0) {
            closing_message = last_numbered_message(written, parser);
        }
        out.show("  exit answers: " + answer_text(answer) + "\n");
    };
    hooks.crossed = [&](const standin::exchanged_message &m) {
        const std::size_t order = m.from_partner ? partner_sent++ : exit_sent++;
        std::string what;
        if (m.bytes.size() == 1) {
            what = status_text(m.bytes[0]);
        } else if (m.from_partner) {
            what = (order == 0 ? "challenge " : "response ") + message_bytes(m.bytes);
        } else {
            what = (order == 0 ? "response " : "challenge ") + message_bytes(m.bytes);
        }
        char head[64];
        std::snprintf(head, sizeof head, "%s %2zu %-5s  ",
                      m.from_partner ? "partner -> exit:" : "exit -> partner:", m.bytes.size(),
                      m.bytes.size() == 1 ? "byte" : "bytes");
        out.show(std::string(head) + what + "\n");
    };

    const standin::signon_record record =
        standin::run_signon(entry, settings.channel, settings.partner, hooks);
    out.stop();
    const std::string rest = out.take();
    out.show(rest);
    exit_output += rest;

    out.show("\n");
    if (!settings.log_path.empty()) {
        std::string note = "log file " + settings.log_path;
        if (regular_file_size(settings.log_path)) {
            note += ": " + std::to_string(count_lines_from(settings.log_path, 0)) + " lines";
            note += read_tail(settings.log_path, exit_output.size()) == exit_output
                        ? ", ending with the same lines as shown above"
                        : ", which do not end with the lines shown above";
        } else {
            // A FIFO or a device: reading it back would wait for a writer,
            // take another reader's lines, or never end.
            note += ": not a regular file, not read back";
        }
        if (settings.log_is_removed) {
            note += "; removed now (--keep-log keeps it)";
        }
        out.show(note + "\n");
    }

    // The channel name as the exit's lines show it, without its padding.
    std::string name = settings.channel.name.substr(0, channel_name_width);
    while (!name.empty() && name.back() == ' ') {
        name.pop_back();
    }
    const verdict v = judge(record, settings.channel, closing_message);
    out.show("channel " + shown_text(name) + (v.text[0] == ':' ? "" : " ") + v.text + "\n");
    return v.code;
}

} // namespace tarvelo::tool
