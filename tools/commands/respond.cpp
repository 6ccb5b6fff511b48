// respond.cpp: "tarvelo respond": the response to a challenge for a
// password, for partner engineers who must match the exit and support staff
// checking a trace. It uses the same code the library is built from, so
// what it prints is what the exit sends and expects.
#include "tools/command_table.h"

#include "tools/channel/channel_options.h"

#include "auth/challenge.h"
#include "auth/password.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace tarvelo::tool {
namespace {

constexpr const option *options[] = {&password_file_option};

exit_code respond(const arguments &a, command_table /*commands*/) {
    const std::optional<std::string> file = a.value(password_file_option);
    const std::size_t expected = file ? 1 : 2;
    if (a.positional().size() != expected) {
        throw usage_error(
            std::string(file ? "needs a CHALLENGE" : "needs a PASSWORD and a CHALLENGE") +
            ", got " + std::to_string(a.positional().size()) +
            (a.positional().size() == 1 ? " argument" : " arguments"));
    }
    const std::string field = file ? read_password_file(*file) : a.positional()[0];
    const std::string &challenge = a.positional().back();
    check_password("the password", field);
    warn_of_blank("respond", "the password", field);
    if (challenge.size() != security_text_length) {
        throw usage_error("a challenge is " + std::to_string(security_text_length) +
                          " characters; \"" + challenge + "\" has " +
                          std::to_string(challenge.size()));
    }
    const bool all_hex = std::all_of(challenge.begin(), challenge.end(), [](unsigned char c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
    });
    if (!all_hex) {
        std::fputs("tarvelo respond: note: the challenge holds characters that are not hex "
                   "digits; they are skipped, as the exit skips them\n",
                   stderr);
    }
    std::uint8_t text[security_text_length];
    std::copy(challenge.begin(), challenge.end(), text);
    // Seen in a trace, such a challenge is an attack: someone wants the
    // response that would prove them to the exit that made it.
    if (is_exit_challenge(text)) {
        std::fputs("tarvelo respond: warning: this challenge carries the mark of one an exit "
                   "made: an exit refuses to answer it (TARVELO007E), and a partner that sends it "
                   "is replaying an exit's own challenge; the arithmetic follows all the same\n",
                   stderr);
    }
    const auto *bytes = reinterpret_cast<const std::uint8_t *>(field.data());
    compute_response(bytes, password_length(bytes, field.size()), text);
    std::printf("%.32s\n", reinterpret_cast<const char *>(text));
    return exit_code::ok;
}

constexpr exit_meaning codes[] = {
    {exit_code::ok, "the response was printed"}, {exit_code::usage}, {exit_code::program_failed}};

} // namespace

const command respond_command = {
    "respond",
    "PASSWORD CHALLENGE\n       tarvelo respond --password-file FILE CHALLENGE",
    "the response to a challenge for a password",
    "Prints the response to a {challenge-length}-character challenge for a password of at most\n"
    "{password-bytes} bytes: the upper-case hex text of\n"
    "    MD5( MD5(PASSWORD) XOR the 16 bytes the challenge's hex text carries )\n"
    "It is what the exit sends back for a partner's challenge, and what the exit\n"
    "expects back for its own. Lower-case hex digits count as upper case; other\n"
    "characters are skipped, as the exit skips them. An empty password is \"\".\n"
    "PASSWORD is the channel's password field: the exit reads it only up to its\n"
    "first blank, and so does this command, with a warning. A challenge that an\n"
    "exit made is answered too, with a warning: an exit refuses to answer one.\n",
    options,
    "Example: tarvelo respond SECRET 8C618DE00E7D61ECE2F42369AC5D7FE0\n",
    codes,
    respond,
};

} // namespace tarvelo::tool
