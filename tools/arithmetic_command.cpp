// arithmetic_command.cpp: "tarvelo respond" and "tarvelo challenge": the
// exit's two computations, for partner engineers who must match them and for
// support staff checking a trace. They use the same code the library is built
// from, so what they print is what the exit sends and expects. And "tarvelo
// password", for operators who set a channel up.
#include "tools/cli.h"
#include "tools/commands.h"

#include "auth/challenge.h"
#include "auth/random.h"

#include <algorithm>
#include <cstdio>
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
    const arguments a(args, {});
    if (a.help()) {
        std::printf("Usage: tarvelo challenge\n"
                    "\n"
                    "Prints a fresh challenge made as the exit makes its own: 32 upper-case hex\n"
                    "characters carrying 12 bytes from the system's random source and 4 bytes\n"
                    "that mark it as an exit's. Nobody can predict the next one. An exit refuses\n"
                    "to answer a challenge that carries the mark (TARVELO007E): a challenge an\n"
                    "exit sent is answered by its partner, never by another exit. So this one\n"
                    "shows what an exit sends; a partner that opens with it is refused. To a\n"
                    "partner a challenge is any 32 hex characters, best 16 random bytes.\n"
                    "\n"
                    "Example: tarvelo challenge\n"
                    "\n%s",
                    exit_codes_help("challenge").c_str());
        return exit_ok;
    }
    if (!a.positional().empty()) {
        throw usage_error("unexpected argument " + a.positional().front());
    }
    std::uint8_t text[security_text_length];
    if (!make_challenge(text)) {
        throw failure(exit_system, "the system's random source gave no bytes");
    }
    std::printf("%.32s\n", reinterpret_cast<const char *>(text));
    return exit_ok;
}

int password_command(const std::vector<std::string> &args) {
    const arguments a(args, {});
    if (a.help()) {
        std::printf("Usage: tarvelo password\n"
                    "\n"
                    "Prints a strong random password for one channel: 12 characters, the most\n"
                    "the password field holds, each drawn evenly from the 62 letters and digits\n"
                    "A-Z, a-z and 0-9 by the system's random source. That is 12 x log2(62), about\n"
                    "71 bits: far beyond offline guessing from a captured sign-on. No blank (the\n"
                    "exit ends the password at the first blank) and nothing that needs quoting.\n"
                    "Give each channel and host a password of its own, and store it in the\n"
                    "channel definition and at the partner service exactly as printed.\n"
                    "\n"
                    "Example: tarvelo password\n"
                    "\n%s",
                    exit_codes_help("password").c_str());
        return exit_ok;
    }
    if (!a.positional().empty()) {
        throw usage_error("unexpected argument " + a.positional().front());
    }
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    constexpr unsigned symbols = sizeof alphabet - 1;
    // Bytes of 248 and above are thrown away: 248 is the largest multiple of
    // 62 that fits a byte, so every character is equally likely.
    constexpr unsigned usable = 256 / symbols * symbols;
    std::string password;
    while (password.size() < max_password_length) {
        std::uint8_t random[32];
        if (!fill_random(random, sizeof random)) {
            throw failure(exit_system, "the system's random source gave no bytes");
        }
        for (std::uint8_t b : random) {
            if (b < usable && password.size() < max_password_length) {
                password += alphabet[b % symbols];
            }
        }
        secure_wipe(random, sizeof random);
    }
    std::printf("%s\n", password.c_str());
    secure_wipe(password.data(), password.size());
    return exit_ok;
}

} // namespace tarvelo::tool
