// version.cpp: "tarvelo --version": the program's version, and the
// version of the exit library it would load, read from the library's file
// without loading it, as strings(1) would find it. An operator can so tell
// which build a host has loaded, even for a library this machine cannot load.
#include "tools/command_table.h"

#include "tools/channel/channel_options.h"

#include "exit/tarvelo.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace tarvelo::tool {
namespace {

// What comes before the version in the ident string that the build writes
// into the library (exit/ident.cpp): "@(#)TARVELO 1.2.3 channel security exit"
// for version 1.2.3.
constexpr std::string_view ident_mark = "@(#)TARVELO ";

bool version_character(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' ||
           c == '-' || c == '+' || c == '~';
}

// The version the file carries after the mark, or "" when it carries none;
// throws a failure with code 3 when the file cannot be read.
std::string version_in(const std::string &path) {
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        throw failure(exit_code::library_unusable,
                      "cannot read " + path + ": " + std::strerror(errno));
    }
    constexpr std::size_t longest = 32; // a version's text, at most
    char buffer[1 << 16];
    std::string carry; // the end of the last chunk, in case the mark spans two
    std::string version;
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
        std::string text = carry + std::string(buffer, got);
        const std::size_t at = text.find(ident_mark);
        if (at != std::string::npos) {
            std::string rest = text.substr(at + ident_mark.size());
            while (rest.size() < longest && (got = std::fread(buffer, 1, longest, file)) > 0) {
                rest.append(buffer, got);
            }
            version =
                rest.substr(0, static_cast<std::size_t>(
                                   std::find_if_not(rest.begin(), rest.end(), version_character) -
                                   rest.begin()));
            break;
        }
        carry = text.substr(text.size() - std::min(text.size(), ident_mark.size() - 1));
    }
    const bool failed = version.empty() && std::ferror(file) != 0;
    const int error = errno;
    std::fclose(file);
    if (failed) {
        throw failure(exit_code::library_unusable,
                      "cannot read " + path + ": " + std::strerror(error));
    }
    return version;
}

exit_code show_versions(const arguments &a, command_table /*commands*/) {
    a.no_positional();
    const std::string library = library_path(a);
    std::printf("tarvelo %s\n", TARVELO_VERSION_STRING);
    const std::string version = version_in(library);
    if (version.empty()) {
        throw failure(exit_code::library_unusable,
                      library + " carries no TARVELO version: an exit built before " +
                          TARVELO_FIRST_IDENT_VERSION + ", or not the TARVELO exit");
    }
    std::printf("exit library %s: %s%s\n", library.c_str(), version.c_str(),
                version == TARVELO_VERSION_STRING ? "" : " (not the program's version)");
    return exit_code::ok;
}

constexpr const option *options[] = {&library_option};

constexpr exit_meaning codes[] = {{exit_code::ok, "both versions were shown"},
                                  {exit_code::usage},
                                  {exit_code::library_unusable},
                                  {exit_code::program_failed}};

} // namespace

const command version_command = {
    "--version",
    "[--library PATH]",
    "the program's version and that of the exit it would load",
    "Shows the program's version, and the version of the exit library it would\n"
    "load: PATH, or by default {library}.\n"
    "The library's version is read from its file, where strings(1) finds it too\n"
    "(\"@(#)TARVELO {version} channel security exit\"); the library is not loaded.\n",
    options,
    nullptr,
    codes,
    show_versions,
};

} // namespace tarvelo::tool
