// exit_codes.h: the program's exit codes, and how a failure reaches one.
//
// How the program's layers report failure, said here once:
//   - system/ and the report library return what a step gives or the
//     trouble that stopped it (system/result.h), and never throw: their
//     callers must decide case by case (a file of a rotated set that its
//     directory's rules refuse is a warning and the rest is read; a copy
//     renamed away by a rotation is read from its twin), so a failure
//     there is a value that cannot be dropped unread. An answer that may
//     be "none" without anything failing (a text that is no time, a path
//     that is no regular file) is an optional, not a failure.
//   - main, the options, channel/ and commands/ throw `failure`: a command
//     stops at its first failure with a message and an exit code, so each
//     reads top-down, step after step, and main turns the failure into the
//     message on standard error and the code. A trouble from below becomes
//     a failure through checked().
// Two more ways, each for one reason: a failed write of the program's own
// output does not stop a run, so that a channel still ends as a host ends
// it (output_capture keeps the first error, and main ends with code 4); and
// memory running out is the language's own std::bad_alloc everywhere, on
// which main ends the run with code 4, as on any failure it did not expect.
#ifndef TARVELO_TOOLS_EXIT_CODES_H
#define TARVELO_TOOLS_EXIT_CODES_H

#include "tools/system/result.h"

#include <stdexcept>
#include <string>
#include <utility>

namespace tarvelo::tool {

// The program's exit codes. Scripts and monitoring test them, so each keeps
// its number for good.
enum class exit_code : int {
    ok = 0,               // signed on, or the computation printed
    refused = 1,          // the exit closed the channel (load: an outcome not as planned)
    usage = 2,            // bad arguments or settings, or a file named in them cannot be used
    library_unusable = 3, // the library cannot be loaded or lacks the entry point
    program_failed = 4,   // the program failed: its output, or setting itself up
    unfinished = 5,       // the exchange ended with the exit neither running nor closing
    interrupted = 130,    // stopped by Ctrl-C (SIGINT), as shells report it
};

// What an exit code means for one command, in its help; null: the
// program's usual meaning.
struct exit_meaning {
    exit_code code;
    const char *meaning = nullptr;
};

// Ends the command with `code` after its message on standard error. Only a
// mistake in the arguments themselves points to --help; a file or setting
// that cannot be used, or a failure while running, does not.
class failure : public std::runtime_error {
public:
    failure(exit_code code, const std::string &message, bool about_arguments = false)
        : std::runtime_error(message), code_(code), about_arguments_(about_arguments) {}
    exit_code code() const { return code_; }
    bool about_arguments() const { return about_arguments_; }

private:
    exit_code code_;
    bool about_arguments_;
};

// The arguments themselves are wrong: code 2, and a pointer to --help.
inline failure usage_error(const std::string &message) { return {exit_code::usage, message, true}; }
// A file or setting the arguments lead to cannot be used: code 2.
inline failure setting_error(const std::string &message) {
    return {exit_code::usage, message, false};
}

// The failure for a trouble from below: a file or setting that cannot be
// used, or that the rules refuse, is code 2; the system failing, code 4.
inline failure failure_of(const trouble &t) {
    return {t.why == cause::system ? exit_code::program_failed : exit_code::usage, t.message};
}

// The value of a step, or its trouble thrown as the failure that ends the
// command.
template <typename T> T checked(result<T> r) {
    if (!r) {
        throw failure_of(r.error());
    }
    return std::move(*r);
}
inline void checked(const result<void> &r) {
    if (!r) {
        throw failure_of(r.error());
    }
}

} // namespace tarvelo::tool

#endif
