// main.cpp: the tarvelo program: the exit library seen from outside, for
// operators who want to watch it sign a channel on before they install it,
// and for partner engineers who must compute exactly what it expects.
#include "tools/cli.h"
#include "tools/commands.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using command_fn = int (*)(const std::vector<std::string> &);

struct command {
    const char *name;
    command_fn run;
    const char *summary;
};

constexpr command commands[] = {
    {"demo", tarvelo::tool::demo_command,
     "sign one channel on, trace on, and say whether it worked"},
    {"run", tarvelo::tool::run_command, "one channel with every host and partner setting in reach"},
    {"load", tarvelo::tool::load_command, "many channels from several threads, as a busy host"},
    {"respond", tarvelo::tool::respond_command, "the response to a challenge for a password"},
    {"challenge", tarvelo::tool::challenge_command,
     "a fresh challenge, made as the exit makes one"},
    {"password", tarvelo::tool::password_command, "a strong random password for a channel"},
    {"report", tarvelo::tool::report_command,
     "the exit's log files summarised per channel, refusals and attacks flagged"},
};

void print_help() {
    std::printf("Usage: tarvelo COMMAND [OPTIONS]\n"
                "\n"
                "Drives the TARVELO channel security exit library as a queue manager and the\n"
                "partner sign-on service would, and computes what the sign-on exchanges.\n"
                "\n"
                "Commands:\n");
    for (const command &c : commands) {
        std::printf("  %-10s %s\n", c.name, c.summary);
    }
    std::printf("\n"
                "\"tarvelo COMMAND --help\" describes each. Start with \"tarvelo demo\".\n"
                "\n%s",
                tarvelo::tool::exit_codes_help);
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        print_help();
        return tarvelo::tool::exit_usage;
    }
    const std::string name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") {
        print_help();
        return tarvelo::tool::exit_ok;
    }
    const std::vector<std::string> args(argv + 2, argv + argc);
    for (const command &c : commands) {
        if (name != c.name) {
            continue;
        }
        try {
            return c.run(args);
        } catch (const tarvelo::tool::failure &f) {
            std::fflush(stdout);
            std::fprintf(stderr, "tarvelo %s: %s\n", c.name, f.what());
            if (f.code() == tarvelo::tool::exit_usage) {
                std::fprintf(stderr, "See \"tarvelo %s --help\".\n", c.name);
            }
            return f.code();
        }
    }
    std::fprintf(stderr, "tarvelo: unknown command \"%s\"\nSee \"tarvelo --help\".\n",
                 name.c_str());
    return tarvelo::tool::exit_usage;
}
