// cli.h: what every subcommand of the tarvelo program shares: its exit
// codes, the failures that end it, and the reading of its arguments.
#ifndef TARVELO_TOOLS_CLI_H
#define TARVELO_TOOLS_CLI_H

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tarvelo::tool {

// The program's exit codes. Scripts and monitoring test them, so each keeps
// its number for good.
enum exit_code : int {
    exit_ok = 0,         // signed on, or the computation printed
    exit_refused = 1,    // the exit closed the channel (load: an outcome not as planned)
    exit_usage = 2,      // bad arguments, or a file named in them cannot be used
    exit_library = 3,    // the library cannot be loaded or lacks the entry point
    exit_system = 4,     // the program failed: its output, or setting itself up (temporary
                         // file, pipe, thread, random bytes)
    exit_unfinished = 5, // the exchange ended with the exit neither running nor closing
};

// The set of exit codes a command can return, for the command table.
constexpr unsigned codes(std::initializer_list<exit_code> list) {
    unsigned set = 0;
    for (const exit_code code : list) {
        set |= 1u << static_cast<unsigned>(code);
    }
    return set;
}

// One of the program's commands, as main's table lists it: a new command
// declares there, and only there, which exit codes it can return and what 0
// and 1 mean for it. Its --help lists those codes and no others.
struct command {
    const char *name;
    int (*run)(const std::vector<std::string> &args);
    const char *summary;
    unsigned codes;      // codes({...})
    const char *success; // what exit code 0 means
    const char *refusal; // what exit code 1 means, when it is among the codes
};

// Every command, in the order the general help lists them (main.cpp).
std::span<const command> all_commands();
const command *find_command(std::string_view name);

// "Exit codes:" and the codes the named command can return, as its --help
// ends; every code when the name is not a command's.
std::string exit_codes_help(std::string_view command_name);

// The candidate closest to a mistyped word, or empty when none is close.
std::string closest_match(std::string_view word, const std::vector<std::string_view> &candidates);

// Ends the subcommand with `code` after printing the message on standard
// error. Bad arguments also point to --help.
class failure : public std::runtime_error {
public:
    failure(int code, const std::string &message) : std::runtime_error(message), code_(code) {}
    int code() const { return code_; }

private:
    int code_;
};

inline failure usage_error(const std::string &message) { return failure(exit_usage, message); }

// One option a subcommand accepts: "--name VALUE" (or "--name=VALUE") when
// it takes a value, "--name" alone when it does not.
struct option_spec {
    std::string_view name;
    bool takes_value;
};

// The arguments after the subcommand's name, checked against its options.
// "--help" and "-h" are always accepted.
class arguments {
public:
    arguments(const std::vector<std::string> &args, const std::vector<option_spec> &options);

    bool help() const { return help_; }
    bool flag(std::string_view name) const;
    std::optional<std::string> value(std::string_view name) const;
    const std::vector<std::string> &positional() const { return positional_; }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> given_;
    std::vector<std::string> positional_;
    bool help_ = false;
};

// A whole decimal number from `minimum` to `maximum`, or a usage error that
// names the option.
std::uint64_t parse_number(std::string_view option, const std::string &text, std::uint64_t minimum,
                           std::uint64_t maximum);

// A password as the exit reads it: at most 12 bytes.
void check_password(std::string_view option, const std::string &password);

// The first line of a password file ("-": standard input), without its line
// feed or a carriage return before it. A file that cannot be read, or holds
// nothing at all, is a usage error.
std::string read_password_file(const std::string &path);

// The channel's password from --password TEXT or --password-file FILE, or
// `fallback` when neither is given.
std::string password_option(const arguments &a, const std::string &fallback);

// The exit reads the password field only up to its first blank: says so on
// standard error when `password` holds one, without showing the password.
void warn_of_blank(std::string_view command_name, std::string_view option,
                   const std::string &password);

} // namespace tarvelo::tool

#endif
