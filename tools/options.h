// options.h: how every command of the tarvelo program is declared, read
// from the command line and described. A command declares its options once,
// with their help, and both the parsing and the --help text come from that
// declaration, so they cannot drift apart.
#ifndef TARVELO_TOOLS_OPTIONS_H
#define TARVELO_TOOLS_OPTIONS_H

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarvelo::tool {

// The program's exit codes. Scripts and monitoring test them, so each keeps
// its number for good.
enum exit_code : int {
    exit_ok = 0,            // signed on, or the computation printed
    exit_refused = 1,       // the exit closed the channel (load: an outcome not as planned)
    exit_usage = 2,         // bad arguments or settings, or a file named in them cannot be used
    exit_library = 3,       // the library cannot be loaded or lacks the entry point
    exit_system = 4,        // the program failed: its output, or setting itself up
    exit_unfinished = 5,    // the exchange ended with the exit neither running nor closing
    exit_interrupted = 130, // stopped by Ctrl-C (SIGINT), as shells report it
};

// Ends the command with `code` after its message on standard error. Only a
// mistake in the arguments themselves points to --help; a file or setting
// that cannot be used, or a failure while running, does not.
class failure : public std::runtime_error {
public:
    failure(int code, const std::string &message, bool about_arguments = false)
        : std::runtime_error(message), code_(code), about_arguments_(about_arguments) {}
    int code() const { return code_; }
    bool about_arguments() const { return about_arguments_; }

private:
    int code_;
    bool about_arguments_;
};

// The arguments themselves are wrong: code 2, and a pointer to --help.
inline failure usage_error(const std::string &message) { return {exit_usage, message, true}; }
// A file or setting the arguments lead to cannot be used: code 2.
inline failure setting_error(const std::string &message) { return {exit_usage, message, false}; }

// One option: "--name VALUE" (or "--name=VALUE") when `value` names its
// value, "--name" alone when it is empty. `help` may run over several lines;
// each is indented under the first.
struct option {
    std::string_view name;
    std::string_view value;
    std::string_view help;
};

// What an exit code means for one command; null: the program's usual meaning.
struct exit_meaning {
    int code;
    const char *meaning = nullptr;
};

class arguments;
struct command;
using command_table = std::span<const command *const>;

// One of the program's commands. main.cpp lists them; each is defined in a
// file of its own under commands/. In the help texts "{library}" stands for
// the library the program loads when none is named.
struct command {
    const char *name;
    const char *synopsis;    // what follows "tarvelo NAME" on the usage line
    const char *summary;     // its line in the general help
    const char *description; // the paragraphs before the options
    std::span<const option> options;
    const char *notes; // after the options, or null
    std::span<const exit_meaning> codes;
    // Runs with the arguments read against `options`; the table is there
    // for the one command that describes the others.
    int (*run)(const arguments &args, command_table commands);
};

// The arguments after the command's name, checked against its options.
// "--help" and "-h" are always accepted.
class arguments {
public:
    arguments(std::span<const std::string> words, std::span<const option> options);

    bool help() const { return help_; }
    bool flag(std::string_view name) const;
    // The last value given for the option, as most programs take it.
    std::optional<std::string> value(std::string_view name) const;
    // Every value given for an option that may be repeated, in order.
    std::vector<std::string> values(std::string_view name) const;
    const std::vector<std::string> &positional() const { return positional_; }
    // A usage error unless there are none.
    void no_positional() const;

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> given_;
    std::vector<std::string> positional_;
    bool help_ = false;
};

// The command named by the first word, or null.
const command *find_command(command_table commands, std::string_view name);

// "unknown command "X"", with the nearest name when one is close.
std::string unknown_command(command_table commands, std::string_view name);

// The whole --help text of a command, from its declaration.
std::string help_text(const command &c);

// The program's own help: the commands and every exit code.
std::string general_help(command_table commands);

// The candidate closest to a mistyped word, or empty when none is close.
std::string closest_match(std::string_view word, const std::vector<std::string_view> &candidates);

// A whole decimal number from `minimum` to `maximum`, or a usage error that
// names the option.
std::uint64_t parse_number(std::string_view option, const std::string &text, std::uint64_t minimum,
                           std::uint64_t maximum);

} // namespace tarvelo::tool

#endif
