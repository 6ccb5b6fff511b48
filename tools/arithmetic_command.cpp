// arithmetic_command.cpp: "tarvelo respond" and "tarvelo challenge": the
// exit's two computations, for partner engineers who must match them and for
// support staff checking a trace. They use the same code the library is built
// from, so what they print is what the exit sends and expects.
#include "tools/cli.h"
#include "tools/commands.h"

#include "auth/challenge.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>

namespace tarvelo::tool {

int respond_command(const std::vector<std::string> &args) {
    const arguments a(args, {{"--password-file", true}});
    if (a.help()) {
        std::printf(
            "Usage: tarvelo respond PASSWORD CHALLENGE\n"
            "       tarvelo respond --password-file FILE CHALLENGE\n"
            "\n"
            "Prints the response to a 32-character challenge for a password of at most\n"
            "12 bytes: the upper-case hex text of\n"
            "    MD5( MD5(PASSWORD) XOR the 16 bytes the challenge's hex text carries )\n"
            "It is what the exit sends back for a partner's challenge, and what the exit\n"
            "expects back for its own. Lower-case hex digits count as upper case; other\n"
            "characters are skipped, as the exit skips them. An empty password is \"\".\n"
            "PASSWORD is the channel's password field: the exit reads it only up to its\n"
            "first blank, and so does this command, with a warning.\n"
            "\n"
            "Options:\n"
            "  --password-file FILE  the password from the first line of FILE (\"-\":\n"
            "                        standard input), kept out of the process list and the\n"
            "                        shell's history; the line feed ends it, and a carriage\n"
            "                        return just before it is dropped too\n"
            "  -h, --help            this text\n"
            "\n"
            "Example: tarvelo respond SECRET 8C618DE00E7D61ECE2F42369AC5D7FE0\n"
            "\n%s",
            exit_codes_help("respond").c_str());
        return exit_ok;
    }
    const std::optional<std::string> file = a.value("--password-file");
    const std::size_t expected = file ? 1 : 2;
    if (a.positional().size() != expected) {
        throw usage_error(
            std::string(file ? "needs a CHALLENGE" : "needs a PASSWORD and a CHALLENGE") +
            ", got " + std::to_string(a.positional().size()) +
            (a.positional().size() == 1 ? " argument" : " arguments"));
    }
    std::string password = file ? read_password_file(*file) : a.positional()[0];
    const std::string &challenge = a.positional().back();
    check_password("the password", password);
    warn_of_blank("respond", "the password", password);
    password = password.substr(0, password.find(' '));
    if (challenge.size() != security_text_length) {
        throw usage_error("a challenge is 32 characters; \"" + challenge + "\" has " +
                          std::to_string(challenge.size()));
    }
    const bool all_hex = std::all_of(challenge.begin(), challenge.end(), [](unsigned char c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
    });
    if (!all_hex) {
        std::fprintf(stderr,
                     "tarvelo respond: note: the challenge holds characters that are not hex "
                     "digits; they are skipped, as the exit skips them\n");
    }
    std::uint8_t text[security_text_length];
    std::copy(challenge.begin(), challenge.end(), text);
    compute_response(reinterpret_cast<const std::uint8_t *>(password.data()), password.size(),
                     text);
    std::printf("%.32s\n", reinterpret_cast<const char *>(text));
    return exit_ok;
}

int challenge_command(const std::vector<std::string> &args) {
    const arguments a(args, {{"--seed", true}});
    if (a.help()) {
        std::printf(
            "Usage: tarvelo challenge [--seed SECONDS]\n"
            "\n"
            "Prints the challenge the exit sends in a given clock second: the upper-case\n"
            "hex text of the MD5 of the second's 4 bytes, least significant first.\n"
            "SECONDS counts from 1970-01-01 00:00:00 UTC, 0 to 4294967295 (default: now).\n"
            "Every channel that sends its challenge within the same second sends this one.\n"
            "\n"
            "Example: tarvelo challenge --seed 1700000000\n"
            "\n%s",
            exit_codes_help("challenge").c_str());
        return exit_ok;
    }
    if (!a.positional().empty()) {
        throw usage_error("unexpected argument " + a.positional().front());
    }
    const std::optional<std::string> seed_text = a.value("--seed");
    const std::uint32_t seed =
        seed_text ? static_cast<std::uint32_t>(parse_number("--seed", *seed_text, 0, UINT32_MAX))
                  : static_cast<std::uint32_t>(std::time(nullptr));
    std::uint8_t text[security_text_length];
    make_challenge_from_seed(seed, text);
    std::printf("%.32s\n", reinterpret_cast<const char *>(text));
    return exit_ok;
}

} // namespace tarvelo::tool
