// temporary_log.h: the demo's own log file, made fresh where temporary
// files go.
#ifndef TARVELO_TOOLS_SYSTEM_TEMPORARY_LOG_H
#define TARVELO_TOOLS_SYSTEM_TEMPORARY_LOG_H

#include <cstddef>
#include <string>

namespace tarvelo::tool {

// Creates an empty file with a fresh name under the temporary directory
// (TMPDIR, else /tmp) and returns its path, at most `max_length` bytes and
// without a blank, to fit the exit data. A TMPDIR that cannot give such a
// path is a setting error (code 2); a file that cannot be created, a
// failure with exit_system.
std::string make_temporary_log(std::size_t max_length);

} // namespace tarvelo::tool

#endif
