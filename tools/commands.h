// commands.h: the tarvelo program's subcommands. Each takes the arguments
// after its own name and returns the program's exit code; bad arguments and
// set-up failures are thrown as tool::failure.
#ifndef TARVELO_TOOLS_COMMANDS_H
#define TARVELO_TOOLS_COMMANDS_H

#include "exit/tarvelo.h"

#include <string>
#include <vector>

namespace tarvelo::tool {

int demo_command(const std::vector<std::string> &args);
int run_command(const std::vector<std::string> &args);
int load_command(const std::vector<std::string> &args);
int respond_command(const std::vector<std::string> &args);
int challenge_command(const std::vector<std::string> &args);
int password_command(const std::vector<std::string> &args);
int report_command(const std::vector<std::string> &args);
int version_command(const std::vector<std::string> &args);

// Loads the library by path and finds the entry point by name, as a host
// does; throws a failure with exit_library when either step fails. The
// library stays loaded for the rest of the program.
tarvelo_entry_fn *load_exit(const std::string &path, const std::string &entry_name);

} // namespace tarvelo::tool

#endif
