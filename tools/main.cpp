// main.cpp: the tarvelo program: the exit library seen from outside, for
// operators who want to watch it sign a channel on before they install it,
// and for partner engineers who must compute exactly what it expects.
#include "tools/cli.h"
#include "tools/commands.h"
#include "tools/platform.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

namespace tarvelo::tool {
namespace {

int help_command(const std::vector<std::string> &args);

constexpr unsigned signon_codes =
    codes({exit_ok, exit_refused, exit_usage, exit_library, exit_system, exit_unfinished});
constexpr unsigned printing_codes = codes({exit_ok, exit_usage, exit_system});

// Every command, with the exit codes it can return and what 0 and 1 mean for
// it: its --help lists these, and a new command is added here alone.
constexpr command commands[] = {
    {"demo", demo_command, "sign one channel on, trace on, and say whether it worked", signon_codes,
     "the channel signed on", "the exit refused the channel"},
    {"run", run_command, "one channel with every host and partner setting in reach", signon_codes,
     "the channel signed on", "the exit refused the channel"},
    {"load", load_command, "many channels from several threads, as a busy host",
     codes({exit_ok, exit_refused, exit_usage, exit_library, exit_system}),
     "every channel went as planned",
     "some channel did not go as planned: one that should have signed on was\n"
     "     refused, or one that should have been refused signed on"},
    {"respond", respond_command, "the response to a challenge for a password", printing_codes,
     "the response was printed", nullptr},
    {"challenge", challenge_command, "a fresh challenge, made as the exit makes one",
     printing_codes, "the challenge was printed", nullptr},
    {"password", password_command, "a strong random password for a channel", printing_codes,
     "the password was printed", nullptr},
    {"report", report_command,
     "the exit's log files summarised per channel, refusals and attacks flagged", printing_codes,
     "the report was printed", nullptr},
    {"help", help_command, "this text; \"tarvelo help COMMAND\" describes a command",
     printing_codes, "the help was printed", nullptr},
    {"--version", version_command, "the program's version and that of the exit it would load",
     codes({exit_ok, exit_usage, exit_library, exit_system}), "both versions were shown", nullptr},
};

void print_general_help() {
    std::printf("Usage: tarvelo COMMAND [OPTIONS]\n"
                "\n"
                "Drives the TARVELO channel security exit library as a queue manager and the\n"
                "partner sign-on service (the KOR service) would, and computes what the sign-on\n"
                "exchanges.\n"
                "\n"
                "Commands:\n");
    for (const command &c : commands) {
        std::printf("  %-10s %s\n", c.name, c.summary);
    }
    std::printf(
        "\n"
        "\"tarvelo help COMMAND\" (or \"tarvelo COMMAND --help\") describes each, with the\n"
        "exit codes it can return. Start with \"tarvelo demo\".\n"
        "\n%s",
        exit_codes_help("").c_str());
}

std::string unknown_command(const std::string &name) {
    std::vector<std::string_view> names;
    for (const command &c : commands) {
        names.emplace_back(c.name);
    }
    const std::string near = closest_match(name, names);
    return "unknown command \"" + name + "\"" +
           (near.empty() ? "" : " (did you mean \"" + near + "\"?)");
}

int help_command(const std::vector<std::string> &args) {
    // The word after "help" is a command's name, "--version" included.
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::printf("Usage: tarvelo help [COMMAND]\n"
                    "\n"
                    "Describes the program and its commands; with COMMAND, that command, as\n"
                    "\"tarvelo COMMAND --help\" does.\n"
                    "\n%s",
                    exit_codes_help("help").c_str());
        return exit_ok;
    }
    if (args.empty()) {
        print_general_help();
        return exit_ok;
    }
    if (args.size() > 1) {
        throw usage_error("unexpected argument " + args[1]);
    }
    const command *c = find_command(args[0]);
    if (c == nullptr) {
        throw usage_error(unknown_command(args[0]));
    }
    return c->run({"--help"});
}

// Every run ends here: a failed write of the program's own output (a full
// disk, a closed pipe) turns any result into exit code 4, since whoever
// reads the output did not get it.
int finish_output(const std::string &who, int code) {
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
    return exit_system;
}

// Runs one command; whatever goes wrong ends as an exit code and a message,
// never as an abort.
int run(const command &c, const std::vector<std::string> &args) {
    const std::string who = std::string("tarvelo ") + c.name;
    int code = exit_system;
    try {
        code = c.run(args);
    } catch (const failure &f) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s: %s\n", who.c_str(), f.what());
        if (f.code() == exit_usage) {
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

int run_program(const std::vector<std::string> &words) {
    if (words.empty()) {
        print_general_help();
        return finish_output("tarvelo", exit_usage);
    }
    const std::string &name = words.front();
    const command *c = find_command(name == "--help" || name == "-h" ? "help" : name);
    if (c == nullptr) {
        std::fprintf(stderr, "tarvelo: %s\nSee \"tarvelo --help\".\n",
                     unknown_command(name).c_str());
        return exit_usage;
    }
    return run(*c, std::vector<std::string>(words.begin() + 1, words.end()));
}

} // namespace

std::span<const command> all_commands() { return commands; }

} // namespace tarvelo::tool

int main(int argc, char **argv) {
    try {
        return tarvelo::tool::run_program(std::vector<std::string>(argv + 1, argv + argc));
    } catch (...) {
        std::fprintf(stderr, "tarvelo: unexpected failure\n");
        return tarvelo::tool::exit_system;
    }
}
