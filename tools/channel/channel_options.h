// channel_options.h: the options through which demo, run and load define a
// channel as an operator would in the channel definition: the library and
// its entry point, the name, the password, the exit data. They are declared
// and checked here once, and read the way the exit itself reads them.
#ifndef TARVELO_TOOLS_CHANNEL_CHANNEL_OPTIONS_H
#define TARVELO_TOOLS_CHANNEL_CHANNEL_OPTIONS_H

#include "tools/options.h"

#include <string>
#include <string_view>
#include <vector>

namespace tarvelo::tool {

inline constexpr text_option library_option{
    {"--library", "PATH", "the exit library (default: {library})"}};
inline constexpr text_option entry_option{
    {"--entry", "NAME", "its entry point, a name the library itself defines (default: TARVELO)"}};
inline constexpr text_option channel_option{
    {"--channel", "NAME", "channel name, 1 to {channel-name-bytes} bytes (default: TO.PARTNER)"}};
inline constexpr text_option password_option{
    {"--password", "TEXT",
     "the channel's password field, at most {password-bytes} bytes; the exit reads it up to its "
     "first blank (default: SECRET)"}};
inline constexpr text_option password_file_option{
    {"--password-file", "FILE",
     "the password from the first line of FILE (\"-\": standard input) instead, kept out of "
     "the process list and the shell's history; the line feed ends it, and a carriage return "
     "just before it is dropped too"}};
inline constexpr text_option partner_password_option{
    {"--partner-password", "TEXT",
     "the partner's copy of the password (default: the same); a different one shows a refused "
     "channel"}};
inline constexpr text_option log_option{{"--log", "PATH", "log file named in the exit data"}};
inline constexpr flag_option trace_option{{"--trace", "", "add {trace-word} after the log path"}};
inline constexpr text_option exit_data_option{
    {"--exit-data", "TEXT",
     "the {exit-data-bytes}-byte exit data as typed, instead of --log and --trace; what the "
     "exit will make of it is said on standard error when it is not what it seems"}};

std::string library_path(const arguments &a);
std::string entry_name(const arguments &a);
// --channel, checked: 1 byte to the channel name field's size.
std::string channel_name(const arguments &a);

// A password as the exit reads it: at most the password field's size.
void check_password(std::string_view what, const std::string &password);

// The first line of a password file ("-": standard input), without its line
// feed or a carriage return before it. A file that cannot be read, or holds
// nothing at all, is a setting error.
std::string read_password_file(const std::string &path);

// The channel's password from --password TEXT or --password-file FILE, or
// `fallback` when neither is given.
std::string channel_password(const arguments &a, const std::string &fallback);

// Where the password came from, for the demo's heading: empty when it was
// given on the command line.
std::string password_source(const arguments &a);

// The exit reads the password field only up to its first blank: says so on
// standard error when `password` holds one, without showing the password.
void warn_of_blank(std::string_view command_name, std::string_view what,
                   const std::string &password);

// The exit data of a channel, and what the exit makes of it.
struct exit_data_setting {
    std::string data;     // the field as the host holds it, at most its size
    std::string log_path; // its first word: the log file, or empty
    bool trace = false;   // a second word that begins with the trace word
};

// What the exit makes of the exit data: the first blank-separated word is
// the log path, a second word beginning with the trace word turns trace on,
// and the field ends at its size.
exit_data_setting exit_data_setting_of(std::string_view data);

// Where what the exit makes of the data is not what it seems (the trace
// word read as the log path, "traceon" that is not it, the trace word cut
// at the field's end, words the exit ignores), the warnings an operator
// needs, in order.
std::vector<std::string> exit_data_surprises(std::string_view data);

// The exit data from --exit-data, or --log and --trace, of a command that
// declares all three, checked as the exit will read it: warnings on
// standard error for --exit-data, usage errors for what cannot be, and a
// log file the exit could not append to refused before anything runs.
exit_data_setting exit_data_from(const arguments &a, std::string_view command_name);

// The exit data that names `log_path`, with the trace word after it when
// `trace`: usage errors for what cannot be.
exit_data_setting exit_data_for(const std::string &log_path, bool trace);

// `setting`, once the exit can append to the log file it names, if any:
// checked before anything runs, without waiting on a FIFO; a setting error
// that gives the reason when it cannot.
exit_data_setting log_checked(exit_data_setting setting);

} // namespace tarvelo::tool

#endif
