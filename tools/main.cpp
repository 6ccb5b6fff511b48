// main.cpp: the tarvelo program: the exit library seen from outside, for
// operators who want to watch it sign a channel on before they install it,
// and for partner engineers who must compute exactly what it expects. This
// file holds the table of commands and runs the one named.
#include "tools/command_table.h"
#include "tools/exit_codes.h"
#include "tools/help_text.h"
#include "tools/options.h"
#include "tools/system/output_capture.h"
#include "tools/system/signals.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

namespace tarvelo::tool {
namespace {

// Every command, in the order the general help lists them: a new command is
// a file under commands/ and a line here.
constexpr const command *commands[] = {
    &demo_command,     &run_command,    &load_command, &respond_command, &challenge_command,
    &password_command, &report_command, &help_command, &version_command,
};

// Every run ends here: a failed write of the program's own output (a full
// disk, a closed pipe) turns any result into exit code 4, since whoever
// reads the output did not get it.
exit_code finish_output(const std::string &who, exit_code code) {
    int error = output_error();
    if (std::fflush(stdout) != 0 && error == 0) {
        error = errno;
    }
    if (std::ferror(stdout) != 0 && error == 0) {
        error = EIO;
    }
    if (error == 0) {
        return code;
    }
    std::fprintf(stderr, "%s: cannot write to standard output: %s\n", who.c_str(),
                 std::strerror(error));
    return exit_code::program_failed;
}

// Runs one command; whatever goes wrong ends as an exit code and a message,
// never as an abort.
exit_code run(const command &c, std::vector<std::string> words) {
    const std::string who = std::string("tarvelo ") + c.name;
    // After "help" comes a command's name, "--version" too, not an option.
    if (&c == &help_command && !words.empty() && words[0] != "--help" && words[0] != "-h") {
        words.insert(words.begin(), "--");
    }
    exit_code code = exit_code::program_failed;
    try {
        const arguments args(words, c.options);
        if (args.help()) {
            std::fputs(help_text(c).c_str(), stdout);
            code = exit_code::ok;
        } else {
            code = c.run(args, command_table(commands));
        }
    } catch (const failure &f) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s: %s\n", who.c_str(), f.what());
        if (f.about_arguments()) {
            std::fprintf(stderr, "See \"tarvelo %s --help\".\n", c.name);
        }
        code = f.code();
    } catch (const std::exception &e) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s: unexpected failure: %s\n", who.c_str(), e.what());
    } catch (...) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s: unexpected failure\n", who.c_str());
    }
    return finish_output(who, code);
}

exit_code run_program(const std::vector<std::string> &words) {
    ignore_broken_pipe();
    if (words.empty()) {
        // No command at all is a usage error: the usage goes where errors go.
        std::fputs(general_help(commands).c_str(), stderr);
        return exit_code::usage;
    }
    const std::string &name = words.front();
    const command *c = find_command(commands, name == "--help" || name == "-h" ? "help" : name);
    if (c == nullptr) {
        std::fprintf(stderr, "tarvelo: %s\nSee \"tarvelo --help\".\n",
                     unknown_command(commands, name).c_str());
        return exit_code::usage;
    }
    return run(*c, std::vector<std::string>(words.begin() + 1, words.end()));
}

} // namespace
} // namespace tarvelo::tool

int main(int argc, char **argv) {
    try {
        return static_cast<int>(
            tarvelo::tool::run_program(std::vector<std::string>(argv + 1, argv + argc)));
    } catch (...) {
        std::fprintf(stderr, "tarvelo: unexpected failure\n");
        return static_cast<int>(tarvelo::tool::exit_code::program_failed);
    }
}
