// demo.cpp: "tarvelo demo": one channel signed on with trace on and a fresh
// log file, every step shown, for an operator who wants to see the exit
// work before installing it.
#include "tools/command_table.h"

#include "tools/channel/channel_options.h"
#include "tools/channel/exit_loader.h"
#include "tools/channel/signon_view.h"
#include "tools/system/output_capture.h"
#include "tools/system/temporary_log.h"

#include "exit/exit_data.h"

#include <cstdio>

namespace tarvelo::tool {
namespace {

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

// The demo's log, with trace on: its own, unless one is named.
constexpr text_option demo_log_option{
    {"--log", "PATH",
     "log file, at most {log-path-bytes} bytes (default: a new one in TMPDIR, else /tmp, removed "
     "when the demo ends)"}};
constexpr flag_option keep_log_option{{"--keep-log", "", "keep that new log file"}};

constexpr const option *options[] = {
    &library_option,  &entry_option,         &channel_option,
    &password_option, &password_file_option, &partner_password_option,
    &demo_log_option, &keep_log_option,
};

exit_code demo(const arguments &a, command_table /*commands*/) {
    a.no_positional();
    signon_settings settings = signon_settings_from(a, "demo");
    const std::optional<std::string> log = a.value(demo_log_option);
    if (log) {
        settings.channel.exit_data = log_checked(exit_data_for(*log, true)).data;
    }
    // Only now, with the arguments and the library known to be good, is
    // anything created.
    tarvelo_entry_fn *entry = load_exit(settings.library, settings.entry);
    temporary_log removed;
    if (log) {
        settings.log_path = *log;
    } else {
        settings.log_path = checked(make_temporary_log(log_path_room_for_trace));
        if (!a.given(keep_log_option)) {
            removed.own(settings.log_path);
            settings.log_is_removed = true;
        }
        settings.channel.exit_data = exit_data_for(settings.log_path, true).data;
    }

    const std::string source = password_source(a);
    const std::string password =
        source.empty() ? "\"" + settings.channel.password + "\""
                       : "from " + source + " (" +
                             std::to_string(settings.channel.password.size()) + " bytes)";
    output_capture out;
    out.show("tarvelo demo: one channel signs on through the exit library, as a host runs it\n"
             "  library    " +
             settings.library + ", entry point " + settings.entry + "\n  channel    " +
             settings.channel.name + ", password " + password +
             (settings.partner.password == settings.channel.password
                  ? " on both sides"
                  : ", the partner holds \"" + settings.partner.password + "\"") +
             "\n  exit data  \"" + settings.channel.exit_data + "\" (log file, trace on)\n\n");
    checked(out.start_keeping());
    return show_signon(entry, settings, out);
}

} // namespace

const command demo_command = {
    "demo",
    "[OPTIONS]",
    "sign one channel on, trace on, and say whether it worked",
    "Signs one channel on through the exit library, as a queue manager and the\n"
    "partner sign-on service would: the partner's challenge, the exit's response,\n"
    "the partner's verdict, the exit's own challenge and the partner's response.\n"
    "Trace is on and the exit writes to a fresh log file. Every call, every\n"
    "security message and every line the exit writes is shown, then the verdict.\n",
    options,
    nullptr,
    signon_codes,
    demo,
};

} // namespace tarvelo::tool
