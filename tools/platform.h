// platform.h: the little the tool needs from the operating system beyond
// the stand-in host: where the library lies, what the exit writes to
// standard output, temporary files and terminals.
#ifndef TARVELO_TOOLS_PLATFORM_H
#define TARVELO_TOOLS_PLATFORM_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace tarvelo::tool {

// The library the tool loads when none is named: found relative to the
// program's own file, where it is installed (bin/../lib/<multiarch>/tarvelo/)
// and where the build tree mirrors it.
std::string default_library_path();

// Takes over file descriptor 1 while it lives, so that the tool sees the
// lines the exit writes to standard output before they reach the user. The
// exit writes each line with one flushed write, so everything it wrote during
// a call can be taken as soon as the call returns.
class output_capture {
public:
    output_capture() = default;
    ~output_capture();
    output_capture(const output_capture &) = delete;
    output_capture &operator=(const output_capture &) = delete;

    // Each of these throws a failure with exit_system when the pipe cannot
    // be set up.
    // Lines are kept until take() is called: for one channel at a time.
    void start_keeping();
    // Lines are only counted, by a thread of their own: for a busy host,
    // whose calls must never wait for the tool.
    void start_counting();

    // What the exit wrote since the last take(); never waits.
    std::string take();
    // Gives standard output back. What was still in the pipe is then left
    // for take(); the count is final in lines_counted().
    void stop();
    std::uint64_t lines_counted() const { return lines_; }

    // Writes the tool's own text to the real standard output; a failure is
    // kept for output_error().
    void show(std::string_view text) const;
    // Whether the real standard output is a terminal.
    bool on_terminal() const;

private:
    int read_end_ = -1;
    int saved_ = -1;
    bool counting_ = false;
    std::string tail_;
    std::uint64_t lines_ = 0;
    std::thread counter_;
};

// Creates an empty file with a fresh name under the temporary directory
// (TMPDIR, else /tmp) and returns its path, at most `max_length` bytes and
// without a blank, to fit the exit data. A TMPDIR that cannot give such a
// path is a setting error (code 2); a file that cannot be created, a
// failure with exit_system.
std::string make_temporary_log(std::size_t max_length);

// The error number of the first failed write of the program's own output to
// the real standard output through output_capture::show, or 0.
int output_error();

// A log file read back is read only when it is a regular file: a FIFO would
// block the reader or steal the lines of the one that reads it, and a
// device such as /dev/zero never ends.
std::optional<std::uint64_t> regular_file_size(const std::string &path);
// The newlines from byte `offset` to the end of a regular file; 0 for
// anything else.
std::uint64_t count_lines_from(const std::string &path, std::uint64_t offset);
// The last `length` bytes of a regular file, or fewer; empty for anything
// else.
std::string read_tail(const std::string &path, std::uint64_t length);

// Whether the exit will be able to open a file for appending, found without
// creating it and without waiting: a FIFO or a device is checked for
// permission only, never opened, so that no reader of it sees an end.
bool can_append_to(const std::string &path, std::string *why);

// A closed standard output or pipe is then an error of the write, which the
// program reports as exit code 4, not a signal that ends it on the spot
// (and would leave the demo's log file behind).
void ignore_broken_pipe();

// Ctrl-C (SIGINT) is noted instead of ending the program, once: a second
// one ends it as usual. interrupted() tells whether it came.
void catch_interrupt();
bool interrupted();

// The wall-clock time now, as the exit's log writes it: local time, counted
// in seconds from 1970-01-01 00:00:00 of that clock.
std::int64_t local_clock_now();
// A time of that local clock as seconds since the epoch (UTC), by the time
// zone of this machine; nothing when it cannot be converted.
std::optional<std::int64_t> local_clock_to_epoch(std::int64_t local);

} // namespace tarvelo::tool

#endif
