// command_table.h: the tarvelo program's commands. Each is defined, with its
// options, help and exit codes, in a file of its own under commands/; main
// lists them in the order the general help shows them.
#ifndef TARVELO_TOOLS_COMMAND_TABLE_H
#define TARVELO_TOOLS_COMMAND_TABLE_H

#include "tools/exit_codes.h"
#include "tools/options.h"

#include <span>
#include <string>
#include <string_view>

namespace tarvelo::tool {

struct command;
using command_table = std::span<const command *const>;

// One of the program's commands. In its texts, the marks of help_text.h
// stand for facts said once elsewhere ("{library}": the library the program
// loads when none is named).
struct command {
    const char *name;
    const char *synopsis;    // what follows "tarvelo NAME" on the usage line
    const char *summary;     // its line in the general help
    const char *description; // the paragraphs before the options
    option_list options;
    const char *notes; // after the options, or null
    std::span<const exit_meaning> codes;
    // Runs with the arguments read against `options`; the table is there
    // for the one command that describes the others.
    exit_code (*run)(const arguments &args, command_table commands);
};

extern const command demo_command;
extern const command run_command;
extern const command load_command;
extern const command respond_command;
extern const command challenge_command;
extern const command password_command;
extern const command report_command;
extern const command help_command;
extern const command version_command;

// The command named by the first word, or null.
const command *find_command(command_table commands, std::string_view name);

// "unknown command "X"", with the nearest name when one is close.
std::string unknown_command(command_table commands, std::string_view name);

} // namespace tarvelo::tool

#endif
