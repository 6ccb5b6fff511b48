// exit_loader.h: the exit library loaded as a host loads it: by path, the
// entry point found by name.
#ifndef TARVELO_TOOLS_CHANNEL_EXIT_LOADER_H
#define TARVELO_TOOLS_CHANNEL_EXIT_LOADER_H

#include "exit/tarvelo.h"

#include <string>

namespace tarvelo::tool {

// Loads the library at `path` and finds `entry_name` among the symbols it
// defines itself. The library stays loaded for the rest of the program, as a
// host keeps an exit for as long as it runs channels. Throws a failure:
// code 3 when the file cannot be loaded or has no such name, a setting
// error (code 2) when the name belongs only to a library it uses.
tarvelo_entry_fn *load_exit(const std::string &path, const std::string &entry_name);

} // namespace tarvelo::tool

#endif
