// commands.h: the tarvelo program's commands, one file each in this
// directory. Each declares its options, help and exit codes with its code;
// main.cpp lists them in the order the general help shows them.
#ifndef TARVELO_TOOLS_COMMANDS_H
#define TARVELO_TOOLS_COMMANDS_H

#include "tools/options.h"

namespace tarvelo::tool {

extern const command demo_command;
extern const command run_command;
extern const command load_command;
extern const command respond_command;
extern const command challenge_command;
extern const command password_command;
extern const command report_command;
extern const command help_command;
extern const command version_command;

} // namespace tarvelo::tool

#endif
