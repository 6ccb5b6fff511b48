// challenge.cpp: "tarvelo challenge": a fresh challenge, made as the exit
// makes its own.
#include "tools/command_table.h"

#include "auth/challenge.h"

#include <cstdio>

namespace tarvelo::tool {
namespace {

exit_code challenge(const arguments &a, command_table /*commands*/) {
    a.no_positional();
    std::uint8_t text[security_text_length];
    if (!make_challenge(text)) {
        throw failure(exit_code::program_failed, "the system's random source gave no bytes");
    }
    std::printf("%.32s\n", reinterpret_cast<const char *>(text));
    return exit_code::ok;
}

constexpr exit_meaning codes[] = {
    {exit_code::ok, "the challenge was printed"}, {exit_code::usage}, {exit_code::program_failed}};

} // namespace

const command challenge_command = {
    "challenge",
    "",
    "a fresh challenge, made as the exit makes one",
    "Prints a fresh challenge made as the exit makes its own: {challenge-length} upper-case hex\n"
    "characters carrying 12 bytes from the system's random source and 4 bytes\n"
    "that mark it as an exit's. Nobody can predict the next one. An exit refuses\n"
    "to answer a challenge that carries the mark (TARVELO007E): a challenge an\n"
    "exit sent is answered by its partner, never by another exit. So this one\n"
    "shows what an exit sends; a partner that opens with it is refused. To a\n"
    "partner a challenge is any {challenge-length} hex characters, best 16 random bytes.\n",
    {},
    "Example: tarvelo challenge\n",
    codes,
    challenge,
};

} // namespace tarvelo::tool
