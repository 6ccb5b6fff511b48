// tool_runner.h: the tarvelo program run as a user runs it: a separate
// process with its own arguments, its two output streams and its exit code.
#ifndef TARVELO_TESTS_TOOL_TOOL_RUNNER_H
#define TARVELO_TESTS_TOOL_TOOL_RUNNER_H

#include "tests/support/support.h"

#include <string>
#include <vector>

namespace tarvelo::testing {

struct tool_result {
    int exit_code = -1; // -1 when the program did not end by itself
    std::string out;
    std::string err;
};

// What a run may meet besides its arguments.
struct tool_run {
    std::string input = "/dev/null"; // standard input
    // Standard output: a file to open, closed_pipe for a pipe whose reader
    // has gone, or empty to capture it.
    std::string output;
    int interrupt_after_ms = -1; // SIGINT then, as Ctrl-C sends it
    int timeout_seconds = 60;    // then killed: a program that hangs fails
    std::string directory;       // where it runs; empty: here
    int open_files_most = 0;     // its limit of open descriptors (ulimit -n); 0: ours
};
inline const std::string closed_pipe = "<closed pipe>";

// Runs the built tarvelo program with `args` and waits for it. Standard
// input comes from `input`; standard output goes to `output` when one is
// named (result.out is then empty), else it is captured.
tool_result run_tool(const std::vector<std::string> &args, const std::string &input = "/dev/null",
                     const std::string &output = "");
tool_result run_tool(const std::vector<std::string> &args, const tool_run &how);

// The last line of `text`, without its line feed; empty for no lines.
std::string last_line(const std::string &text);

} // namespace tarvelo::testing

#endif
