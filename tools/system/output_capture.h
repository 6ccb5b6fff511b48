// output_capture.h: what the exit writes to standard output, taken by the
// program before it reaches the user, and the program's own text written
// past it.
#ifndef TARVELO_TOOLS_SYSTEM_OUTPUT_CAPTURE_H
#define TARVELO_TOOLS_SYSTEM_OUTPUT_CAPTURE_H

#include "tools/system/result.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <thread>

namespace tarvelo::tool {

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

    // Each of these is the system's trouble when the pipe, or the thread,
    // cannot be set up.
    // Lines are kept until take() is called: for one channel at a time.
    result<void> start_keeping();
    // Lines are only counted, by a thread of their own: for a busy host,
    // whose calls must never wait for the tool.
    result<void> start_counting();

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

// The error number of the first failed write of the program's own output to
// the real standard output through output_capture::show, or 0.
int output_error();

} // namespace tarvelo::tool

#endif
