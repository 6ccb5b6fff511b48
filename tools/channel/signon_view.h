// signon_view.h: one channel through the exit library, driven by the
// stand-in host and partner, with every call, every security message and
// every line the exit writes shown in order, and a plain verdict at the end.
// Shared by demo and run.
#ifndef TARVELO_TOOLS_CHANNEL_SIGNON_VIEW_H
#define TARVELO_TOOLS_CHANNEL_SIGNON_VIEW_H

#include "tools/exit_codes.h"
#include "tools/options.h"
#include "tools/system/output_capture.h"

#include "exit/tarvelo.h"
#include "standin/host.h"
#include "standin/partner.h"

#include <string>
#include <string_view>

namespace tarvelo::tool {

struct signon_settings {
    std::string library;
    std::string entry = "TARVELO";
    standin::channel_config channel;
    standin::partner_config partner;
    std::string log_path;        // the log file named in the exit data, if any
    bool log_is_removed = false; // the demo's own log, removed when it ends
};

// What demo and run read alike from their options: the library and its
// entry point, the channel's name and password (a blank in it warned of),
// and the partner's copy of the password, the same unless given.
signon_settings signon_settings_from(const arguments &a, std::string_view command_name);

// The exit codes of a command that shows one channel's sign-on.
inline constexpr exit_meaning signon_codes[] = {
    {exit_code::ok, "the channel signed on"},
    {exit_code::refused},
    {exit_code::usage},
    {exit_code::library_unusable},
    {exit_code::program_failed},
    {exit_code::unfinished},
};

// Runs one channel, shows it through `out` (already keeping the exit's
// lines), then the log file's lines when it is a regular file, and the
// verdict; returns the exit code. The verdict gives the operator's meaning
// of the message the exit closed the channel with, from the catalogue, and
// what crossed where that tells more.
exit_code show_signon(tarvelo_entry_fn *entry, const signon_settings &settings,
                      output_capture &out);

} // namespace tarvelo::tool

#endif
