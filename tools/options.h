// options.h: how every command of the tarvelo program is declared, read
// from the command line and described. A command declares its options once,
// with their help, and both the parsing and the --help text come from that
// declaration, so they cannot drift apart.
#ifndef TARVELO_TOOLS_OPTIONS_H
#define TARVELO_TOOLS_OPTIONS_H

#include "tools/exit_codes.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarvelo::tool {

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
    exit_code code;
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
    exit_code (*run)(const arguments &args, command_table commands);
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
    // Every option and operand in the order given: an operand as an empty
    // name and its word, for options that apply to the operands after them.
    const std::vector<std::pair<std::string, std::optional<std::string>>> &in_order() const {
        return in_order_;
    }
    // A usage error unless there are none.
    void no_positional() const;

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> given_;
    std::vector<std::string> positional_;
    std::vector<std::pair<std::string, std::optional<std::string>>> in_order_;
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
