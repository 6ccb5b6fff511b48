// docgen.cpp: see docgen.h.
#include "tools/docgen/docgen.h"

#include "exit/handshake.h"
#include "log/catalogue.h"

#include <string>
#include <vector>

namespace tarvelo::docgen {
namespace {

constexpr std::size_t markdown_width = 76;
constexpr std::size_t roff_width = 72;

// The words of `text`: split at blanks, except inside a `code span`, whose
// blanks are its own and are kept as they stand.
std::vector<std::string_view> words_of(std::string_view text) {
    std::vector<std::string_view> words;
    std::size_t start = 0;
    bool in_code = false;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && text[i] == '`') {
            in_code = !in_code;
        }
        if (i == text.size() || (text[i] == ' ' && !in_code)) {
            if (i > start) {
                words.push_back(text.substr(start, i - start));
            }
            start = i + 1;
        }
    }
    return words;
}

// `text` in lines of at most `width` characters where its words allow, the
// first line after `first`, the others after `rest`.
std::string wrapped(std::string_view text, std::string_view first, std::string_view rest,
                    std::size_t width = markdown_width) {
    std::string out(first);
    std::size_t line_start = 0;
    bool line_empty = true;
    for (const std::string_view word : words_of(text)) {
        if (!line_empty && out.size() - line_start + 1 + word.size() > width) {
            out += "\n";
            line_start = out.size();
            out += rest;
            line_empty = true;
        }
        if (!line_empty) {
            out += " ";
        }
        out += word;
        line_empty = false;
    }
    return out + "\n";
}

// A sentence as the reference shows it: ended by a full stop.
std::string sentence(std::string_view text) {
    std::string s(text);
    if (!s.empty() && s.back() != '.' && s.back() != '!' && s.back() != '?') {
        s += '.';
    }
    return s;
}

template <std::size_t N> std::vector<std::string_view> listed(const text_list<N> &list) {
    std::vector<std::string_view> items;
    for (const std::string_view item : list) {
        if (item.empty()) {
            break;
        }
        items.push_back(item);
    }
    return items;
}

// A format as the documents show it: after the timestamp's, the first "%s"
// as "<channel>" and the second as the entry's argument, and no newline
// (nor the blank after TARVELO002E's).
std::string shown_format(const message &m, std::string_view timestamp) {
    std::string_view rest = m.format;
    rest.remove_prefix(rest.find("%s ") + 3);
    std::string out(timestamp);
    const std::string_view names[] = {"<channel>", m.argument};
    std::size_t filled = 0;
    for (std::size_t at; (at = rest.find("%s")) != std::string_view::npos; ++filled) {
        out += rest.substr(0, at);
        out += names[filled < 1 ? 0 : 1];
        rest.remove_prefix(at + 2);
    }
    out += rest.substr(0, rest.find('\n'));
    return out;
}

const char *severity_word(severity level) {
    switch (level) {
    case severity::information:
        return "information";
    case severity::warning:
        return "warning";
    case severity::error:
        return "error";
    case severity::severe:
        return "severe";
    case severity::none:
        break;
    }
    return "none";
}

// Causes: one on the line of its label, several as a list under it.
std::string causes_part(std::string_view label_one, std::string_view label_many,
                        const std::vector<std::string_view> &causes) {
    if (causes.empty()) {
        return {};
    }
    if (causes.size() == 1) {
        return wrapped(sentence(causes[0]), "- **" + std::string(label_one) + ":** ", "  ");
    }
    std::string out = "- **" + std::string(label_many) + ":**\n";
    for (const std::string_view cause : causes) {
        out += wrapped(cause, "  - ", "    ");
    }
    return out;
}

// A line's meaning, its notes, its causes under their label and its action,
// for a message or a standard-error line alike.
template <typename Line>
std::string explained(const Line &line, std::string_view cause_label,
                      std::string_view causes_label) {
    std::string out = wrapped(sentence(line.meaning), "- **Meaning:** ", "  ");
    for (const std::string_view note : listed(line.notes)) {
        out += wrapped(note, "- ", "  ");
    }
    out += causes_part(cause_label, causes_label, listed(line.causes));
    return out + wrapped(line.action, "- **Action:** ", "  ");
}

std::string numbered_messages() {
    std::string out;
    for (int index = 0; index <= last_numbered_message; ++index) {
        const message &m = messages[static_cast<std::size_t>(index)];
        out += index == 0 ? "" : "\n";
        out +=
            "### " + std::string(m.identifier) + " \xe2\x80\x94 " + std::string(m.title) + "\n\n";
        out += "    " + shown_format(m, "<time> ") + "\n\n";
        out += "- **Severity:** " + std::string(severity_word(m.level)) + "\n";
        out += explained(m, "Likely cause", "Likely causes");
    }
    return out;
}

std::string trace_lines() {
    std::string out = "| line (after the time) | when |\n| --- | --- |\n";
    for (std::size_t i = static_cast<std::size_t>(last_numbered_message) + 1; i < messages.size();
         ++i) {
        out += "| `" + shown_format(messages[i], "") + "` | " + std::string(messages[i].meaning) +
               " |\n";
    }
    return out;
}

std::string standard_error() {
    std::string out;
    for (const standard_error_line &e : standard_error_lines) {
        std::string shown(e.format.substr(0, e.format.find('\n')));
        shown.replace(shown.find("%d"), 2, "<N>");
        out += (out.empty() ? "" : "\n");
        out += "    " + shown + "\n\n";
        out += "- **Written to:** the host process's standard error, not to the log file.\n";
        out += explained(e, "Common number (Linux)", "Common numbers (Linux)");
    }
    return out;
}

// The MESSAGES section's list: each identifier with its meaning; an
// identifier that several entries share has their meanings joined by "; or ".
std::string manual_messages() {
    std::string out;
    for (int index = 0; index <= last_numbered_message; ++index) {
        const message &m = messages[static_cast<std::size_t>(index)];
        if (index > 0 && messages[static_cast<std::size_t>(index - 1)].identifier == m.identifier) {
            continue;
        }
        std::string meaning(m.meaning);
        for (int next = index + 1;
             next <= last_numbered_message &&
             messages[static_cast<std::size_t>(next)].identifier == m.identifier;
             ++next) {
            meaning += "; or " + std::string(messages[static_cast<std::size_t>(next)].meaning);
        }
        out += ".TP\n.B " + std::string(m.identifier) + "\n" + wrapped(meaning, "", "", roff_width);
    }
    return out;
}

// --- The partner protocol guide's table, from the handshake table -------------

const char *waiting_for(std::uint8_t state) {
    switch (state) {
    case ZAVCONN_STARTUP:
        return "1. the challenge";
    case ZAVCONN_SIGNON:
        return "3. the status";
    default:
        return "5. the response";
    }
}

bool holds(input_set set, input_kind kind) { return (set & kinds(kind)) != 0; }

constexpr input_kind named_statuses[] = {
    input_kind::status_authorised, input_kind::status_password_violation,
    input_kind::status_revoked, input_kind::status_sender_not_started,
    input_kind::status_not_registered};

int status_code(input_kind kind) {
    for (int code = 0; code < 256; ++code) {
        if (status_kind(static_cast<std::uint8_t>(code)) == kind) {
            return code;
        }
    }
    return -1;
}

// What the partner sends, for a set of kinds as a state reads them. A set
// that holds "any other status" and more than one named status says only
// that: the rows above it name the others.
std::string partner_sends(reading how, input_set set) {
    if (set == static_cast<input_set>(any_input & ~kinds(input_kind::text))) {
        return "any other length";
    }
    std::vector<std::string> parts;
    const bool by_length = how == reading::by_length;
    if (holds(set, input_kind::nothing)) {
        parts.emplace_back(by_length ? "0 bytes" : "0 bytes (no status)");
    }
    std::vector<std::string> statuses;
    int named = 0;
    for (const input_kind kind : named_statuses) {
        named += holds(set, kind) ? 1 : 0;
    }
    for (const input_kind kind : named_statuses) {
        if (holds(set, kind) && !(holds(set, input_kind::status_other) && named > 1)) {
            statuses.push_back("status " + std::to_string(status_code(kind)));
        }
    }
    if (holds(set, input_kind::status_other)) {
        statuses.emplace_back(statuses.empty()
                                  ? (by_length ? "any other status" : "any other first byte")
                                  : "any other first byte");
    }
    for (std::size_t i = 0; i < statuses.size(); ++i) {
        const std::string lead = i == 0 && by_length ? "1 byte, " : "";
        const std::string joint = i == 0 ? "" : (i + 1 == statuses.size() ? "or " : "");
        parts.push_back(lead + joint + statuses[i]);
    }
    if (holds(set, input_kind::short_message)) {
        parts.emplace_back("2 to 31 bytes");
    }
    if (holds(set, input_kind::cut_message)) {
        parts.emplace_back(
            "more than the host's exchange buffer holds, when it holds fewer than 32");
    }
    if (holds(set, input_kind::text) && holds(set, input_kind::long_text)) {
        parts.emplace_back("32 bytes or more");
    } else if (holds(set, input_kind::text)) {
        parts.emplace_back("exactly 32 bytes");
    } else if (holds(set, input_kind::long_text)) {
        parts.emplace_back("more than 32 bytes");
    }
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        out += (i == 0 ? ""
                       : (i + 1 == parts.size() ? (parts[i].rfind("or ", 0) == 0 ? " " : ", or ")
                                                : ", ")) +
               parts[i];
    }
    return out;
}

const char *exit_does(action act) {
    switch (act) {
    case action::answer_challenge:
        return "sends R(Cp) over the first 32 bytes, back in the same buffer at the length the "
               "challenge came with";
    case action::send_own_challenge:
        return "sends its own challenge Ce";
    case action::let_channel_run:
        return "lets the channel run";
    case action::close_channel:
        break;
    }
    return "closes the channel";
}

// How a check reads in the table, when the message passes it and when not.
struct check_words {
    const char *passes;
    const char *fails;
};
check_words words_of(check test) {
    switch (test) {
    case check::not_exit_challenge:
        return {"", " that decode to a challenge an exit made (this one, or another)"};
    case check::expected_response:
        return {" equal to R(Ce)", ", not R(Ce)"};
    case check::none:
        break;
    }
    return {"", ""};
}

std::string identifier_of(int index) {
    return std::string(messages[static_cast<std::size_t>(index)].identifier);
}

std::string partner_table() {
    std::string out = "| exit is waiting for | partner sends | exit does | exit's message |\n"
                      "| --- | --- | --- | --- |\n";
    for (const state_rule &s : state_rules) {
        if (s.state == other_states) {
            continue; // no partner brings the exit there
        }
        for (const transition &t : handshake_table) {
            if (t.state != s.state) {
                continue;
            }
            const std::string row = "| " + std::string(waiting_for(s.state)) + " | ";
            const std::string sends = partner_sends(s.how, t.inputs);
            const check_words words = words_of(t.test);
            if (t.act == action::close_channel) {
                out += row + sends + " | closes the channel | " + identifier_of(t.refusal) + " |\n";
                continue;
            }
            out += row + sends + words.passes + " | " + exit_does(t.act) + " | (trace only) |\n";
            if (t.test != check::none) {
                out += row + sends + words.fails + " | closes the channel, sends nothing | " +
                       identifier_of(t.refusal) + " |\n";
            }
        }
    }
    return out;
}

// --- Parts in their documents -------------------------------------------------

// `text` with the lines between the line that begins with `begin` and the
// line `end` replaced by `content`; nothing when either is missing.
std::optional<std::string> with_part(std::string_view text, std::string_view begin,
                                     std::string_view end, const std::string &content) {
    const std::size_t begin_at = text.find(begin);
    if (begin_at == std::string_view::npos || (begin_at != 0 && text[begin_at - 1] != '\n')) {
        return std::nullopt;
    }
    const std::size_t from = text.find('\n', begin_at);
    const std::size_t end_at = text.find(std::string("\n") + std::string(end) + "\n", from);
    if (from == std::string_view::npos || end_at == std::string_view::npos) {
        return std::nullopt;
    }
    return std::string(text.substr(0, from + 1)) + content + std::string(text.substr(end_at + 1));
}

std::string markdown_begin(std::string_view name) { return "<!-- generated: " + std::string(name); }
std::string markdown_end(std::string_view name) {
    return "<!-- end of generated: " + std::string(name) + " -->";
}

std::optional<std::string> message_reference(std::string_view text) {
    std::optional<std::string> out(text);
    const std::pair<const char *, std::string> parts[] = {
        {"numbered messages", numbered_messages()},
        {"trace lines", trace_lines()},
        {"standard error", standard_error()},
    };
    for (const auto &[name, content] : parts) {
        if (out) {
            out = with_part(*out, markdown_begin(name), markdown_end(name), "\n" + content + "\n");
        }
    }
    return out;
}

std::optional<std::string> manual_page(std::string_view text) {
    return with_part(text, ".\\\" generated: messages", ".\\\" end of generated: messages",
                     manual_messages());
}

std::optional<std::string> partner_protocol(std::string_view text) {
    return with_part(text, markdown_begin("handshake table"), markdown_end("handshake table"),
                     "\n" + partner_table() + "\n");
}

constexpr document documents[] = {
    {"docs/messages.md", message_reference},
    {"man/tarvelo-exit.7", manual_page},
    {"docs/partner-protocol.md", partner_protocol},
};

} // namespace

const document *documents_begin() { return std::begin(documents); }
const document *documents_end() { return std::end(documents); }

} // namespace tarvelo::docgen
