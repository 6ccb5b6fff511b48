// help.cpp: "tarvelo help [COMMAND]": the program's help, or a command's,
// made from the table of commands it is given.
#include "tools/command_table.h"
#include "tools/help_text.h"

#include <cstdio>

namespace tarvelo::tool {
namespace {

exit_code help(const arguments &a, command_table commands) {
    // The word after "help" is a command's name, "--version" included; the
    // parser has taken it as an option, so it is looked for among both.
    const std::vector<std::string> &words = a.positional();
    if (words.size() > 1) {
        throw usage_error("unexpected argument " + words[1]);
    }
    if (words.empty()) {
        std::fputs(general_help(commands).c_str(), stdout);
        return exit_code::ok;
    }
    const command *c = find_command(commands, words[0]);
    if (c == nullptr) {
        throw usage_error(unknown_command(commands, words[0]));
    }
    std::fputs(help_text(*c).c_str(), stdout);
    return exit_code::ok;
}

constexpr exit_meaning codes[] = {
    {exit_code::ok, "the help was printed"}, {exit_code::usage}, {exit_code::program_failed}};

} // namespace

const command help_command = {
    "help",
    "[COMMAND]",
    "this text; \"tarvelo help COMMAND\" describes a command",
    "Describes the program and its commands; with COMMAND, that command, as\n"
    "\"tarvelo COMMAND --help\" does.\n",
    {},
    nullptr,
    codes,
    help,
};

} // namespace tarvelo::tool
