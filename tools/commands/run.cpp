// run.cpp: "tarvelo run": one channel with every setting of the host and the
// partner in reach, to reproduce what a host saw.
#include "tools/command_table.h"

#include "tools/channel/channel_options.h"
#include "tools/channel/exit_loader.h"
#include "tools/channel/signon_view.h"
#include "tools/system/output_capture.h"
#include "tools/system/shown_text.h"

#include <cstdint>

namespace tarvelo::tool {
namespace {

constexpr number_option exchange_size_option{
    {"--exchange-size", "N", "bytes in the host's exchange buffer (default: 256)"}, 0, 1 << 20};
constexpr number_option opening_status_option{
    {"--opening-status", "N", "open with this 1-byte status instead of a challenge"}, 0, 255};
constexpr number_option status_option{
    {"--status", "N",
     "its verdict on a right response (default: 6, authorised); a wrong response always gets 7 "
     "(password violation)"},
    0,
    255};
constexpr choice<standin::partner_answer> answers[] = {
    {"right", standin::partner_answer::right},
    {"wrong", standin::partner_answer::wrong},
    {"short", standin::partner_answer::wrong_length}};
constexpr choice_option<standin::partner_answer> answer_option{
    {"--answer", "right|wrong|short",
     "its response to the exit's challenge: right, one character wrong, or cut to 31 bytes "
     "(default: right)"},
    answers};
constexpr number_option seed_option{
    {"--seed", "N",
     "open with the hex text of the MD5 of N's 4 bytes (0 to 4294967295), the same on every run; "
     "by default a fresh random challenge"},
    0,
    UINT32_MAX};

constexpr option host_heading{"", "", "The host:"};
constexpr option partner_heading{"", "", "The partner:"};

constexpr const option *options[] = {
    &host_heading,          &library_option,       &entry_option,    &channel_option,
    &password_option,       &password_file_option, &log_option,      &trace_option,
    &exit_data_option,      &exchange_size_option, &partner_heading, &partner_password_option,
    &opening_status_option, &status_option,        &answer_option,   &seed_option,
};

exit_code run(const arguments &a, command_table /*commands*/) {
    a.no_positional();
    signon_settings settings = signon_settings_from(a, "run");
    if (const auto n = a.value(exchange_size_option)) {
        settings.channel.exchange_size = static_cast<std::int32_t>(*n);
    }
    if (const auto n = a.value(opening_status_option)) {
        settings.partner.opening_status = static_cast<std::uint8_t>(*n);
    }
    if (const auto n = a.value(status_option)) {
        settings.partner.status = static_cast<std::uint8_t>(*n);
    }
    settings.partner.answer = a.value(answer_option).value_or(settings.partner.answer);
    if (const auto n = a.value(seed_option)) {
        settings.partner.seed = static_cast<std::uint32_t>(*n);
    }
    const exit_data_setting exit_data = exit_data_from(a, "run");
    settings.channel.exit_data = exit_data.data;
    settings.log_path = exit_data.log_path;

    tarvelo_entry_fn *entry = load_exit(settings.library, settings.entry);
    output_capture out;
    // The name as the exit's own lines show it below.
    out.show("tarvelo run: channel " + shown_text(settings.channel.name) + " through " +
             settings.library + ", entry point " + settings.entry + ", exit data \"" +
             settings.channel.exit_data + "\"\n\n");
    checked(out.start_keeping());
    return show_signon(entry, settings, out);
}

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
