// cli.cpp: see cli.h.
#include "tools/cli.h"

#include "auth/challenge.h"

#include <algorithm>

namespace tarvelo::tool {

const char exit_codes_help[] =
    "Exit codes:\n"
    "  0  the channel signed on (demo, run), every channel went as planned\n"
    "     (load), or the value was printed (respond, challenge, password)\n"
    "  1  the exit refused the channel (load: some channel did not go as planned)\n"
    "  2  bad arguments\n"
    "  3  the library cannot be loaded or has no such entry point\n"
    "  4  the tool could not set itself up (temporary file, pipe, thread, random\n"
    "     bytes)\n"
    "  5  the exchange ended with the exit neither running nor closing the channel\n";

arguments::arguments(const std::vector<std::string> &args,
                     const std::vector<option_spec> &options) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (arg == "--help" || arg == "-h") {
            help_ = true;
            continue;
        }
        if (arg == "--") {
            positional_.insert(positional_.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                               args.end());
            break;
        }
        // A lone "-" and negative numbers are values, not options.
        if (arg.size() < 2 || arg[0] != '-' || (arg[1] >= '0' && arg[1] <= '9')) {
            positional_.push_back(arg);
            continue;
        }
        const std::size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        const auto known = std::find_if(options.begin(), options.end(),
                                        [&](const option_spec &o) { return o.name == name; });
        if (known == options.end()) {
            throw usage_error("unknown option " + name);
        }
        std::optional<std::string> value;
        if (known->takes_value) {
            if (equals != std::string::npos) {
                value = arg.substr(equals + 1);
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                throw usage_error("option " + name + " needs a value");
            }
        } else if (equals != std::string::npos) {
            throw usage_error("option " + name + " takes no value");
        }
        given_.emplace_back(name, value);
    }
}

bool arguments::flag(std::string_view name) const {
    return std::any_of(given_.begin(), given_.end(),
                       [&](const auto &g) { return g.first == name; });
}

std::optional<std::string> arguments::value(std::string_view name) const {
    // The last one given counts, as with most command-line programs.
    for (auto g = given_.rbegin(); g != given_.rend(); ++g) {
        if (g->first == name) {
            return g->second;
        }
    }
    return std::nullopt;
}

std::uint64_t parse_number(std::string_view option, const std::string &text, std::uint64_t minimum,
                           std::uint64_t maximum) {
    const std::string range =
        " (" + std::to_string(minimum) + " to " + std::to_string(maximum) + ")";
    if (text.empty() || text.size() > 20 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        throw usage_error(std::string(option) + " must be a whole number" + range + ", not \"" +
                          text + "\"");
    }
    std::uint64_t value = 0;
    for (char c : text) {
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            value = UINT64_MAX;
            break;
        }
        value = value * 10 + digit;
    }
    if (value < minimum || value > maximum) {
        throw usage_error(std::string(option) + " is out of range" + range + ": " + text);
    }
    return value;
}

void check_password(std::string_view option, const std::string &password) {
    if (password.size() > max_password_length) {
        throw usage_error(std::string(option) + " is " + std::to_string(password.size()) +
                          " bytes; a channel password holds at most " +
                          std::to_string(max_password_length));
    }
}

} // namespace tarvelo::tool
