// settings.h: the two process-wide settings that steer the writer.
//
// One value of each serves every channel that the host runs through the
// library in one process. Every exit call assigns `log_path` from its own
// exit data; "TRACEON" from any channel turns `trace_on` on for all until
// some channel is initialised. Hosts call exits from several threads at
// once, so both are guarded: a reader never sees a half-written path. The
// guard covers only the copy of the path, never the file I/O.
#ifndef TARVELO_LOG_SETTINGS_H
#define TARVELO_LOG_SETTINGS_H

#include <cstddef>

namespace tarvelo {

inline constexpr std::size_t log_path_max = 32;

// A copy of `log_path`, terminated; empty when no log file is written.
struct log_path_copy {
    char text[log_path_max + 1];
};

// Replaces `log_path` with `length` bytes of `path` (at most log_path_max are
// kept). A length of zero empties it; `path` may then be null.
void assign_log_path(const char *path, std::size_t length);

// Copies `log_path` as it stands at this moment.
void read_log_path(log_path_copy *out);

void set_trace_on(bool on);
bool trace_on();

} // namespace tarvelo

#endif
