// signon_command.cpp: "tarvelo demo" and "tarvelo run": one channel through
// the exit library, driven by the stand-in host and partner, with every call,
// every security message and every line the exit writes shown in order, and
// a plain verdict at the end.
#include "tools/cli.h"
#include "tools/commands.h"
#include "tools/platform.h"

#include "auth/challenge.h"
#include "standin/host.h"
#include "standin/signon.h"

#include <cstdio>
#include <initializer_list>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <utility>

namespace tarvelo::tool {
namespace {

constexpr std::size_t exit_data_width = TARVELO_EXIT_DATA_LENGTH;
constexpr std::size_t channel_name_width = TARVELO_CHANNEL_NAME_LENGTH;
constexpr char trace_word[] = " TRACEON";

struct signon_settings {
    std::string library;
    std::string entry = "TARVELO";
    standin::channel_config channel;
    standin::partner_config partner;
    std::string log_path;        // the log file named in the exit data, if any
    bool log_is_removed = false; // the demo's own log, removed when it ends
    std::string password_source; // where the password came from, when not shown
};

// The demo's own log file, removed when the demo ends, however it ends.
class temporary_log {
public:
    temporary_log() = default;
    temporary_log(const temporary_log &) = delete;
    temporary_log &operator=(const temporary_log &) = delete;
    ~temporary_log() {
        if (!path_.empty()) {
            std::remove(path_.c_str());
        }
    }
    void own(const std::string &path) { path_ = path; }

private:
    std::string path_;
};

struct verdict {
    int code;
    std::string reason; // why the exit closed the channel
};

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

// Why the exit closed the channel, in the operator's terms, worked out from
// what crossed: the state the exit was in and the partner's message it was
// handed when it closed.
verdict judge(const standin::signon_record &record, const standin::channel_config &channel) {
    if (record.signed_on) {
        return {exit_ok, {}};
    }
    if (!record.closed) {
        return {exit_unfinished,
                "the exchange ended with the exit neither running nor closing the channel"};
    }
    std::vector<const std::vector<std::uint8_t> *> from_partner;
    for (const standin::exchanged_message &m : record.messages) {
        if (m.from_partner) {
            from_partner.push_back(&m.bytes);
        }
    }
    std::uint8_t state = 0;
    std::size_t delivered = 0;
    const std::vector<std::uint8_t> *message = nullptr;
    for (const standin::exit_answer &answer : record.answers) {
        if (answer.reason == ZTXR_SEC_MSG) {
            // The k-th security message call was handed the k-th partner message.
            message = delivered < from_partner.size() ? from_partner[delivered] : nullptr;
            ++delivered;
        }
        if (answer.response != ZTXCC_CLOSE_CHANNEL) {
            state = answer.state;
            continue;
        }
        if (answer.reason == ZTXR_INIT) {
            return {exit_refused, "the exit could not allocate its buffer at channel start"};
        }
        if (answer.reason != ZTXR_SEC_MSG || message == nullptr) {
            return {exit_refused,
                    "the exit closed the channel at exit reason " + std::to_string(answer.reason)};
        }
        const std::vector<std::uint8_t> &m = *message;
        const std::string size = std::to_string(m.size()) + (m.size() == 1 ? " byte" : " bytes");
        switch (state) {
        case ZAVCONN_STARTUP:
            if (m.size() == 1 && m[0] == ZAVSTAT_REVOKED) {
                return {exit_refused, "the partner service has revoked the channel after "
                                      "successive invalid passwords"};
            }
            if (m.size() == 1) {
                return {exit_refused,
                        "the partner opened with " + status_text(m[0]) + " instead of a challenge"};
            }
            if (channel.exchange_size < static_cast<std::int32_t>(security_text_length)) {
                return {exit_refused, "the host's exchange buffer holds " +
                                          std::to_string(channel.exchange_size) +
                                          " bytes, too few for the partner's 32-byte challenge"};
            }
            return {exit_refused, "the partner opened with " + size + ", not a 32-byte challenge"};
        case ZAVCONN_SIGNON:
            switch (m.empty() ? -1 : m[0]) {
            case ZAVSTAT_PASSWORD_VIOLATION:
                return {exit_refused,
                        "the partner service rejected the exit's response: the two sides "
                        "do not hold the same password"};
            case ZAVSTAT_SENDER_NOT_STARTED:
                return {exit_refused,
                        "the partner service says the sender channel must be started first"};
            case ZAVSTAT_NOT_REGISTERED:
                return {exit_refused, "the channel is not registered on the partner service"};
            case ZAVSTAT_AUTHORISED:
                return {exit_refused, "the exit had no buffer to send its own challenge from"};
            default:
                return {exit_refused, "the partner answered with " +
                                          status_text(m.empty() ? 0 : m[0]) +
                                          ", which the exit does not accept after its response"};
            }
        case ZAVCONN_VERIFY:
            if (m.size() != security_text_length) {
                return {exit_refused,
                        "the partner's response to the exit's challenge was " + size + ", not 32"};
            }
            return {exit_refused,
                    "the partner's response to the exit's challenge was wrong: the partner "
                    "does not hold the password (possible impersonation)"};
        default:
            return {exit_refused, "the exit was in handshake state " + std::to_string(state) +
                                      ", which it does not know"};
        }
    }
    return {exit_refused, "the exit closed the channel"};
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
    for (std::uint8_t b : bytes) {
        printable = printable && b >= 0x20 && b < 0x7f;
    }
    if (printable) {
        return std::string(bytes.begin(), bytes.end());
    }
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string hex = "hex ";
    for (std::uint8_t b : bytes) {
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    return hex;
}

// The identifiers of the numbered lines in what the exit wrote.
std::vector<std::string> message_identifiers(const std::string &text) {
    static const std::regex identifier("TARVELO[0-9]{3}[A-Z]");
    std::vector<std::string> found;
    for (std::sregex_iterator i(text.begin(), text.end(), identifier), end; i != end; ++i) {
        found.push_back(i->str());
    }
    return found;
}

// Runs one channel and shows it; returns the exit code.
int show_signon(tarvelo_entry_fn *entry, const signon_settings &settings, output_capture &out) {

    std::size_t partner_sent = 0;
    std::size_t exit_sent = 0;
    std::string exit_output;
    std::string closing_identifier;
    standin::signon_hooks hooks;
    hooks.before_call = [&](std::int32_t reason) {
        out.show("  host calls " + settings.entry + ": " + reason_name(reason) + "\n");
    };
    hooks.after_call = [&](const standin::exit_answer &answer) {
        const std::string written = out.take();
        out.show(written);
        exit_output += written;
        if (answer.response == ZTXCC_CLOSE_CHANNEL && closing_identifier.empty()) {
            const std::vector<std::string> ids = message_identifiers(written);
            if (!ids.empty()) {
                closing_identifier = ids.back();
            }
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
        const std::string logged = read_whole_file(settings.log_path);
        const std::uint64_t lines = count_lines_in(settings.log_path);
        std::string note =
            "log file " + settings.log_path + ": " + std::to_string(lines) + " lines";
        if (logged.size() >= exit_output.size() &&
            logged.compare(logged.size() - exit_output.size(), exit_output.size(), exit_output) ==
                0) {
            note += ", ending with the same lines as shown above";
        } else {
            note += ", which do not end with the lines shown above";
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
    const verdict v = judge(record, settings.channel);
    if (v.code == exit_ok) {
        out.show("channel " + name + " signed on: both sides proved the password\n");
    } else if (v.code == exit_refused) {
        out.show("channel " + name + " refused: " + v.reason +
                 (closing_identifier.empty() ? "" : " (" + closing_identifier + ")") + "\n");
    } else {
        out.show("channel " + name + ": " + v.reason + "\n");
    }
    return v.code;
}

std::string library_option(const arguments &a) {
    std::optional<std::string> path = a.value("--library");
    return path ? *path : default_library_path();
}

void check_channel_name(const std::string &name) {
    if (name.empty() || name.size() > channel_name_width) {
        throw usage_error("--channel must be 1 to 20 bytes, not " + std::to_string(name.size()));
    }
}

// The exit data for a log path and trace switch, as an operator would type
// it into the channel definition.
std::string exit_data_for(const std::string &log_path, bool trace) {
    if (log_path.find(' ') != std::string::npos) {
        throw usage_error("--log cannot contain a blank: the exit data is split on blanks");
    }
    if (trace && log_path.empty()) {
        throw usage_error("--trace needs --log: the exit reads TRACEON only as the second word of "
                          "the exit data, after the log path");
    }
    std::string data = log_path + (trace ? trace_word : "");
    if (data.size() > exit_data_width) {
        throw usage_error(
            "the exit data \"" + data + "\" is " + std::to_string(data.size()) +
            " bytes; the field holds 32" +
            (trace ? " (a log path of at most 24 bytes leaves room for \" TRACEON\")" : ""));
    }
    return data;
}

// The options demo and run share: the library, and both sides' passwords.
// Both sides get the whole password field; a blank in it shows what the
// exit makes of that.
signon_settings channel_and_partner(const arguments &a, std::string_view command_name) {
    signon_settings settings;
    settings.library = library_option(a);
    settings.entry = a.value("--entry").value_or("TARVELO");
    settings.channel.name = a.value("--channel").value_or("TO.PARTNER");
    check_channel_name(settings.channel.name);
    settings.channel.password = password_option(a, "SECRET");
    if (const auto file = a.value("--password-file")) {
        settings.password_source = *file == "-" ? "standard input" : *file;
    }
    warn_of_blank(command_name, "the password", settings.channel.password);
    settings.partner.password = a.value("--partner-password").value_or(settings.channel.password);
    check_password("--partner-password", settings.partner.password);
    return settings;
}

// The options demo and run both take.
const std::vector<option_spec> signon_options = {
    {"--library", true},  {"--entry", true},         {"--channel", true},
    {"--password", true}, {"--password-file", true}, {"--partner-password", true},
    {"--log", true}};

std::vector<option_spec> with(std::vector<option_spec> options,
                              std::initializer_list<option_spec> more) {
    options.insert(options.end(), more);
    return options;
}

// How the help of demo and run describes the password options.
constexpr char password_help[] =
    "  --password TEXT          the channel's password field, at most 12 bytes; the\n"
    "                           exit reads it up to its first blank (default: SECRET)\n"
    "  --password-file FILE     the password from the first line of FILE (\"-\":\n"
    "                           standard input) instead, kept out of the process list\n"
    "                           and the shell's history; the line feed ends it, and a\n"
    "                           carriage return just before it is dropped too\n";

} // namespace

tarvelo_entry_fn *load_exit(const std::string &path, const std::string &entry_name) {
    // Loaded once per program and never unloaded: a host keeps an exit
    // library for as long as it runs channels.
    static std::vector<std::unique_ptr<standin::exit_library>> loaded;
    auto library = std::make_unique<standin::exit_library>();
    std::string error;
    if (!library->load(path, entry_name, &error)) {
        throw failure(exit_library, error);
    }
    tarvelo_entry_fn *entry = library->entry();
    loaded.push_back(std::move(library));
    return entry;
}

int demo_command(const std::vector<std::string> &args) {
    const arguments a(args, with(signon_options, {{"--keep-log", false}}));
    if (a.help()) {
        std::printf(
            "Usage: tarvelo demo [OPTIONS]\n"
            "\n"
            "Signs one channel on through the exit library, as a queue manager and the\n"
            "partner sign-on service would: the partner's challenge, the exit's response,\n"
            "the partner's verdict, the exit's own challenge and the partner's response.\n"
            "Trace is on and the exit writes to a fresh log file. Every call, every\n"
            "security message and every line the exit writes is shown, then the verdict.\n"
            "\n"
            "Options:\n"
            "  --library PATH           the exit library (default: %s)\n"
            "  --entry NAME             its entry point (default: TARVELO)\n"
            "  --channel NAME           channel name, 1 to 20 bytes (default: TO.PARTNER)\n"
            "%s"
            "  --partner-password TEXT  the partner's copy (default: the same); a different\n"
            "                           one shows a refused channel\n"
            "  --log PATH               log file, at most 24 bytes (default: a new one in\n"
            "                           TMPDIR, else /tmp, removed when the demo ends)\n"
            "  --keep-log               keep that new log file\n"
            "  -h, --help               this text\n"
            "\n%s",
            default_library_path().c_str(), password_help, exit_codes_help("demo").c_str());
        return exit_ok;
    }
    if (!a.positional().empty()) {
        throw usage_error("unexpected argument " + a.positional().front());
    }
    signon_settings settings = channel_and_partner(a, "demo");

    std::optional<std::string> log = a.value("--log");
    if (log) {
        settings.channel.exit_data = exit_data_for(*log, true);
        check_log_path(*log);
    }
    // Only now, with the arguments and the library known to be good, is
    // anything created.
    tarvelo_entry_fn *entry = load_exit(settings.library, settings.entry);
    temporary_log removed;
    if (log) {
        settings.log_path = *log;
    } else {
        settings.log_path = make_temporary_log(exit_data_width - (sizeof trace_word - 1));
        if (!a.flag("--keep-log")) {
            removed.own(settings.log_path);
            settings.log_is_removed = true;
        }
    }
    settings.channel.exit_data = exit_data_for(settings.log_path, true);

    const std::string password = settings.password_source.empty()
                                     ? "\"" + settings.channel.password + "\""
                                     : "from " + settings.password_source + " (" +
                                           std::to_string(settings.channel.password.size()) +
                                           " bytes)";
    output_capture out;
    out.show("tarvelo demo: one channel signs on through the exit library, as a host runs it\n"
             "  library    " +
             settings.library + ", entry point " + settings.entry +
             "\n"
             "  channel    " +
             settings.channel.name + ", password " + password +
             (settings.partner.password == settings.channel.password
                  ? " on both sides"
                  : ", the partner holds \"" + settings.partner.password + "\"") +
             "\n"
             "  exit data  \"" +
             settings.channel.exit_data + "\" (log file, trace on)\n\n");
    out.start_keeping();
    return show_signon(entry, settings, out);
}

int run_command(const std::vector<std::string> &args) {
    const arguments a(args, with(signon_options, {{"--exit-data", true},
                                                  {"--trace", false},
                                                  {"--opening-status", true},
                                                  {"--status", true},
                                                  {"--answer", true},
                                                  {"--exchange-size", true},
                                                  {"--seed", true}}));
    if (a.help()) {
        std::printf(
            "Usage: tarvelo run [OPTIONS]\n"
            "\n"
            "Runs one channel through the exit library with every setting of the host\n"
            "and the partner in reach, and shows each call, each security message that\n"
            "crosses (direction and length), each line the exit writes and each of its\n"
            "answers, then the verdict.\n"
            "\n"
            "The host:\n"
            "  --library PATH           the exit library (default: %s)\n"
            "  --entry NAME             the entry point looked up by name (default: TARVELO)\n"
            "  --channel NAME           channel name, 1 to 20 bytes (default: TO.PARTNER)\n"
            "%s"
            "  --log PATH               log file named in the exit data\n"
            "  --trace                  add TRACEON after the log path\n"
            "  --exit-data TEXT         the 32-byte exit data as typed, instead of --log/--trace\n"
            "  --exchange-size N        bytes in the host's exchange buffer (default: 256)\n"
            "The partner:\n"
            "  --partner-password TEXT  its copy of the password (default: the same)\n"
            "  --opening-status N       open with this 1-byte status instead of a challenge\n"
            "  --status N               its verdict on a right response (default: 6, authorised);\n"
            "                           a wrong response always gets 7 (password violation)\n"
            "  --answer right|wrong|short\n"
            "                           its response to the exit's challenge: right, one\n"
            "                           character wrong, or cut to 31 bytes (default: right)\n"
            "  --seed N                 open with the hex text of the MD5 of N's 4 bytes\n"
            "                           (0 to 4294967295), the same on every run; by default\n"
            "                           a fresh random challenge\n"
            "  -h, --help               this text\n"
            "\n"
            "Status codes: 6 authorised, 7 password violation, 8 revoked,\n"
            "9 sender not started, 10 not registered.\n"
            "\n%s",
            default_library_path().c_str(), password_help, exit_codes_help("run").c_str());
        return exit_ok;
    }
    if (!a.positional().empty()) {
        throw usage_error("unexpected argument " + a.positional().front());
    }
    signon_settings settings = channel_and_partner(a, "run");

    const std::optional<std::string> exit_data = a.value("--exit-data");
    const std::optional<std::string> log = a.value("--log");
    if (exit_data && (log || a.flag("--trace"))) {
        throw usage_error("--exit-data cannot be combined with --log or --trace");
    }
    if (exit_data) {
        if (exit_data->size() > exit_data_width) {
            throw usage_error("--exit-data is " + std::to_string(exit_data->size()) +
                              " bytes; the field holds 32");
        }
        settings.channel.exit_data = *exit_data;
        // The exit's first word is its log path.
        const std::size_t start = exit_data->find_first_not_of(' ');
        if (start != std::string::npos) {
            settings.log_path = exit_data->substr(start, exit_data->find(' ', start) - start);
        }
    } else {
        settings.channel.exit_data = exit_data_for(log.value_or(""), a.flag("--trace"));
        settings.log_path = log.value_or("");
    }
    if (const auto v = a.value("--exchange-size")) {
        settings.channel.exchange_size =
            static_cast<std::int32_t>(parse_number("--exchange-size", *v, 0, 1 << 20));
    }
    if (const auto v = a.value("--opening-status")) {
        settings.partner.opening_status =
            static_cast<std::uint8_t>(parse_number("--opening-status", *v, 0, 255));
    }
    if (const auto v = a.value("--status")) {
        settings.partner.status = static_cast<std::uint8_t>(parse_number("--status", *v, 0, 255));
    }
    if (const auto v = a.value("--answer")) {
        static const std::map<std::string, standin::partner_answer> answers = {
            {"right", standin::partner_answer::right},
            {"wrong", standin::partner_answer::wrong},
            {"short", standin::partner_answer::wrong_length}};
        const auto found = answers.find(*v);
        if (found == answers.end()) {
            throw usage_error("--answer must be right, wrong or short, not \"" + *v + "\"");
        }
        settings.partner.answer = found->second;
    }
    if (const auto v = a.value("--seed")) {
        settings.partner.seed =
            static_cast<std::uint32_t>(parse_number("--seed", *v, 0, UINT32_MAX));
    }

    if (!settings.log_path.empty()) {
        check_log_path(settings.log_path);
    }
    tarvelo_entry_fn *entry = load_exit(settings.library, settings.entry);
    output_capture out;
    out.show("tarvelo run: channel " + settings.channel.name + " through " + settings.library +
             ", entry point " + settings.entry + ", exit data \"" + settings.channel.exit_data +
             "\"\n\n");
    out.start_keeping();
    return show_signon(entry, settings, out);
}

} // namespace tarvelo::tool
