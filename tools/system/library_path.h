// library_path.h: where the program finds the exit library when none is
// named.
#ifndef TARVELO_TOOLS_SYSTEM_LIBRARY_PATH_H
#define TARVELO_TOOLS_SYSTEM_LIBRARY_PATH_H

#include <string>

namespace tarvelo::tool {

// The library the tool loads when none is named: found relative to the
// program's own file, where it is installed (bin/../lib/<multiarch>/tarvelo/)
// and where the build tree mirrors it.
std::string default_library_path();

} // namespace tarvelo::tool

#endif
