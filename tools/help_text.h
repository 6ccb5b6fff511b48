// help_text.h: the program's help texts, made from the declarations of its
// commands and their options, so that the two cannot drift apart. A text may
// hold marks that stand for facts said once elsewhere:
//   {library}             the library the program loads when none is named
//   {version}             the program's version, from the build
//   {channel-name-bytes}  the channel name field (tarvelo.h)
//   {password-bytes}      the password field (tarvelo.h)
//   {exit-data-bytes}     the exit data field (tarvelo.h)
//   {challenge-length}    a challenge's or a response's characters (tarvelo.h)
//   {trace-word}          the word after the log path that turns trace on
//   {log-path-bytes}      the longest log path that leaves room for it
#ifndef TARVELO_TOOLS_HELP_TEXT_H
#define TARVELO_TOOLS_HELP_TEXT_H

#include "tools/command_table.h"

#include <string>
#include <string_view>

namespace tarvelo::tool {

// `text` with each mark replaced by what it stands for.
std::string filled(std::string_view text);

// The whole --help text of a command, from its declaration.
std::string help_text(const command &c);

// The program's own help: the commands and every exit code.
std::string general_help(command_table commands);

} // namespace tarvelo::tool

#endif
