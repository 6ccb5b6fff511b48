// file_reading.h: a log file read back after a run, only when it is a
// regular file.
#ifndef TARVELO_TOOLS_SYSTEM_FILE_READING_H
#define TARVELO_TOOLS_SYSTEM_FILE_READING_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tarvelo::tool {

// A log file read back is read only when it is a regular file: a FIFO would
// block the reader or steal the lines of the one that reads it, and a
// device such as /dev/zero never ends.
std::optional<std::uint64_t> regular_file_size(const std::string &path);

// A regular file as it stands: which file it is, how long, and when it was
// last written (seconds since the epoch).
struct regular_file_state {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t modified = 0;
};
std::optional<regular_file_state> regular_file_state_of(const std::string &path);
// The newlines from byte `offset` to the end of a regular file; 0 for
// anything else.
std::uint64_t count_lines_from(const std::string &path, std::uint64_t offset);
// The last `length` bytes of a regular file, or fewer; empty for anything
// else.
std::string read_tail(const std::string &path, std::uint64_t length);
// The first `length` bytes of a regular file, or fewer; empty for anything
// else.
std::string read_head(const std::string &path, std::size_t length);

} // namespace tarvelo::tool

#endif
