// cli.h: what every subcommand of the tarvelo program shares: its exit
// codes, the failures that end it, and the reading of its arguments.
#ifndef TARVELO_TOOLS_CLI_H
#define TARVELO_TOOLS_CLI_H

#include <cstdint>
#include <optional>
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
    exit_usage = 2,      // bad arguments
    exit_library = 3,    // the library cannot be loaded or lacks the entry point
    exit_system = 4,     // the tool could not set itself up (temporary file, pipe, thread,
                         // random bytes)
    exit_unfinished = 5, // the exchange ended with the exit neither running nor closing
};

// The exit codes as --help lists them.
extern const char exit_codes_help[];

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

} // namespace tarvelo::tool

#endif
