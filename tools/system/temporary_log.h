// temporary_log.h: the demo's own log file, made fresh where temporary
// files go.
#ifndef TARVELO_TOOLS_SYSTEM_TEMPORARY_LOG_H
#define TARVELO_TOOLS_SYSTEM_TEMPORARY_LOG_H

#include "tools/system/result.h"

#include "tools/system/result.h"

#include <cstddef>
#include <string>

namespace tarvelo::tool {

// Creates an empty file with a fresh name under the temporary directory
// (TMPDIR, else /tmp) and returns its path, at most `max_length` bytes and
// without a blank, to fit the exit data beside the trace word. A TMPDIR that
// cannot give such a path, or is missing or not writable, is unusable; a
// file that cannot be created there for another reason is the system's
// trouble.
result<std::string> make_temporary_log(std::size_t max_length);

} // namespace tarvelo::tool

#endif
