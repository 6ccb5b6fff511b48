// exit_codes.h: how the program ends when something goes wrong: its exit
// codes, and the failure that carries one to main with its message. The
// commands and the system pieces beneath them throw it; the report's
// library, which knows nothing of the command line, does not.
#ifndef TARVELO_TOOLS_EXIT_CODES_H
#define TARVELO_TOOLS_EXIT_CODES_H

#include <stdexcept>
#include <string>

namespace tarvelo::tool {

// The program's exit codes. Scripts and monitoring test them, so each keeps
// its number for good.
enum exit_code : int {
    exit_ok = 0,            // signed on, or the computation printed
    exit_refused = 1,       // the exit closed the channel (load: an outcome not as planned)
    exit_usage = 2,         // bad arguments or settings, or a file named in them cannot be used
    exit_library = 3,       // the library cannot be loaded or lacks the entry point
    exit_system = 4,        // the program failed: its output, or setting itself up
    exit_unfinished = 5,    // the exchange ended with the exit neither running nor closing
    exit_interrupted = 130, // stopped by Ctrl-C (SIGINT), as shells report it
};

// Ends the command with `code` after its message on standard error. Only a
// mistake in the arguments themselves points to --help; a file or setting
// that cannot be used, or a failure while running, does not.
class failure : public std::runtime_error {
public:
    failure(int code, const std::string &message, bool about_arguments = false)
        : std::runtime_error(message), code_(code), about_arguments_(about_arguments) {}
    int code() const { return code_; }
    bool about_arguments() const { return about_arguments_; }

private:
    int code_;
    bool about_arguments_;
};

// The arguments themselves are wrong: code 2, and a pointer to --help.
inline failure usage_error(const std::string &message) { return {exit_usage, message, true}; }
// A file or setting the arguments lead to cannot be used: code 2.
inline failure setting_error(const std::string &message) { return {exit_usage, message, false}; }

} // namespace tarvelo::tool

#endif
