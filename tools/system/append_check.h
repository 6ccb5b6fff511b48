// append_check.h: whether the exit will be able to append to a log file,
// found before anything runs.
#ifndef TARVELO_TOOLS_SYSTEM_APPEND_CHECK_H
#define TARVELO_TOOLS_SYSTEM_APPEND_CHECK_H

#include "tools/system/result.h"

#include <string>

namespace tarvelo::tool {

// Whether the exit will be able to open a file for appending, found without
// creating it and without waiting: a FIFO or a device is checked for
// permission only, never opened, so that no reader of it sees an end. A
// file it cannot append to is unusable, and the trouble says why.
result<void> can_append_to(const std::string &path);

} // namespace tarvelo::tool

#endif
