// run.cpp: "tarvelo run": one channel with every setting of the host and the
// partner in reach, to reproduce what a host saw.
#include "tools/commands.h"

#include "tools/channel/channel_options.h"
#include "tools/channel/exit_loader.h"
#include "tools/channel/signon_view.h"
#include "tools/system/output_capture.h"

#include <map>

namespace tarvelo::tool {
namespace {

exit_code run(const arguments &a, command_table /*commands*/) {
    a.no_positional();
    signon_settings settings = signon_settings_from(a, "run");
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
    const exit_data_setting exit_data = exit_data_from(a, "run");
    settings.channel.exit_data = exit_data.data;
    settings.log_path = exit_data.log_path;

    tarvelo_entry_fn *entry = load_exit(settings.library, settings.entry);
    output_capture out;
    // The name as the exit's own lines show it below.
    out.show("tarvelo run: channel " + shown_word(settings.channel.name) + " through " +
             settings.library + ", entry point " + settings.entry + ", exit data \"" +
             settings.channel.exit_data + "\"\n\n");
    checked(out.start_keeping());
    return show_signon(entry, settings, out);
}

constexpr option options[] = {
    {"", "", "The host:"},
    library_option,
    entry_option,
    channel_option,
    password_option,
    password_file_option,
    log_option,
    trace_option,
    exit_data_option,
    {"--exchange-size", "N", "bytes in the host's exchange buffer (default: 256)"},
    {"", "", "The partner:"},
    partner_password_option,
    {"--opening-status", "N", "open with this 1-byte status instead of a challenge"},
    {"--status", "N",
     "its verdict on a right response (default: 6, authorised); a wrong response always gets 7 "
     "(password violation)"},
    {"--answer", "right|wrong|short",
     "its response to the exit's challenge: right, one character wrong, or cut to 31 bytes "
     "(default: right)"},
    {"--seed", "N",
     "open with the hex text of the MD5 of N's 4 bytes (0 to 4294967295), the same on every run; "
     "by default a fresh random challenge"},
};

} // namespace

const command run_command = {
    "run",
    "[OPTIONS]",
    "one channel with every host and partner setting in reach",
    "Runs one channel through the exit library with every setting of the host\n"
    "and the partner in reach, and shows each call, each security message that\n"
    "crosses (direction and length), each line the exit writes and each of its\n"
    "answers, then the verdict.\n",
    options,
    "Status codes: 6 authorised, 7 password violation, 8 revoked,\n"
    "9 sender not started, 10 not registered.\n",
    signon_codes,
    run,
};

} // namespace tarvelo::tool
