// new_password.cpp: "tarvelo password": a strong random password for a channel,
// for operators who set one up.
#include "tools/command_table.h"

#include "auth/password.h"
#include "auth/random.h"
#include "auth/secure.h"

#include <cmath>
#include <cstdio>
#include <string>

namespace tarvelo::tool {
namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr unsigned symbols = sizeof alphabet - 1;

exit_code print_password(const arguments &a, command_table /*commands*/) {
    a.no_positional();
    // Bytes of 248 and above are thrown away: 248 is the largest multiple of
    // 62 that fits a byte, so every character is equally likely.
    constexpr unsigned usable = 256 / symbols * symbols;
    std::string chosen;
    while (chosen.size() < max_password_length) {
        std::uint8_t random[32];
        if (!fill_random(random, sizeof random)) {
            throw failure(exit_code::program_failed, "the system's random source gave no bytes");
        }
        for (const std::uint8_t b : random) {
            if (b < usable && chosen.size() < max_password_length) {
                chosen += alphabet[b % symbols];
            }
        }
        secure_wipe(random, sizeof random);
    }
    std::printf("%s\n", chosen.c_str());
    secure_wipe(chosen.data(), chosen.size());
    return exit_code::ok;
}

constexpr exit_meaning codes[] = {
    {exit_code::ok, "the password was printed"}, {exit_code::usage}, {exit_code::program_failed}};

// The description takes the length from the password field and the
// strength from the alphabet.
std::string described() {
    const std::string characters = std::to_string(max_password_length);
    const std::string letters = std::to_string(symbols);
    const auto bits = static_cast<int>(static_cast<double>(max_password_length) *
                                       std::log2(static_cast<double>(symbols)));
    return "Prints a strong random password for one channel: " + characters +
           " characters, the most\n"
           "the password field holds, each drawn evenly from the " +
           letters +
           " letters and digits\n"
           "A-Z, a-z and 0-9 by the system's random source. That is " +
           characters + " x log2(" + letters + "), about\n" + std::to_string(bits) +
           " bits: far beyond offline guessing from a captured sign-on. No blank (the\n"
           "exit ends the password at the first blank) and nothing that needs quoting.\n"
           "Give each channel and host a password of its own, and store it in the\n"
           "channel definition and at the partner service exactly as printed.\n";
}
const std::string description = described();

} // namespace

const command password_command = {
    "password",
    "",
    "a strong random password for a channel",
    description.c_str(),
    {},
    "Example: tarvelo password\n",
    codes,
    print_password,
};

} // namespace tarvelo::tool
