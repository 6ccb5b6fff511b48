// cli.cpp: see cli.h.
#include "tools/cli.h"

#include "auth/challenge.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tarvelo::tool {

namespace {

// What each code means for any command; a command's own table entry says
// what 0 and 1 mean for it.
const char *usual_meaning(int code) {
    switch (code) {
    case exit_ok:
        return "success";
    case exit_refused:
        return "the exit refused the channel";
    case exit_usage:
        return "bad arguments, or a file named in them cannot be used";
    case exit_library:
        return "the exit library cannot be loaded or read, or has no such entry point";
    case exit_system:
        return "the program failed: its output could not be written, or it could not\n"
               "     set itself up (temporary file, pipe, thread, random bytes)";
    default:
        return "the exchange ended with the exit neither running nor closing the channel";
    }
}

// Edits (insert, delete, change, swap two neighbours) from one word to the
// other, ignoring case.
std::size_t edit_distance(std::string_view a, std::string_view b) {
    const auto lower = [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    };
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) {
        d[i][0] = i;
    }
    for (std::size_t j = 0; j <= b.size(); ++j) {
        d[0][j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t change = lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + change});
            if (i > 1 && j > 1 && lower(a[i - 1]) == lower(b[j - 2]) &&
                lower(a[i - 2]) == lower(b[j - 1])) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

} // namespace

const command *find_command(std::string_view name) {
    for (const command &c : all_commands()) {
        if (name == c.name) {
            return &c;
        }
    }
    return nullptr;
}

std::string exit_codes_help(std::string_view command_name) {
    const command *c = find_command(command_name);
    std::string text = "Exit codes:\n";
    for (int code = exit_ok; code <= exit_unfinished; ++code) {
        const char *meaning = usual_meaning(code);
        if (c != nullptr) {
            if ((c->codes & (1u << static_cast<unsigned>(code))) == 0) {
                continue;
            }
            if (code == exit_ok && c->success != nullptr) {
                meaning = c->success;
            } else if (code == exit_refused && c->refusal != nullptr) {
                meaning = c->refusal;
            }
        }
        text += "  " + std::to_string(code) + "  " + meaning + "\n";
    }
    return text;
}

std::string closest_match(std::string_view word, const std::vector<std::string_view> &candidates) {
    // A word that begins only one candidate is taken for it ("resp"); else
    // the nearest within one edit for short words, two for longer ones
    // ("deom", "--pasword").
    std::string_view prefixed;
    std::size_t prefixes = 0;
    std::string_view nearest;
    std::size_t best = word.size() <= 3 ? 1 : 2;
    for (const std::string_view candidate : candidates) {
        if (word.size() >= 2 && candidate.substr(0, word.size()) == word) {
            prefixed = candidate;
            ++prefixes;
        }
        const std::size_t distance = edit_distance(word, candidate);
        if (distance <= best && (nearest.empty() || distance < best)) {
            nearest = candidate;
            best = distance;
        }
    }
    if (prefixes == 1) {
        return std::string(prefixed);
    }
    return std::string(nearest);
}

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
            std::vector<std::string_view> names = {"--help"};
            for (const option_spec &o : options) {
                names.push_back(o.name);
            }
            const std::string near = closest_match(name, names);
            throw usage_error("unknown option " + name +
                              (near.empty() ? "" : " (did you mean " + near + "?)"));
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

std::string read_password_file(const std::string &path) {
    const bool from_stdin = path == "-";
    std::FILE *file = from_stdin ? stdin : std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        throw usage_error("cannot read the password file " + path + ": " + std::strerror(errno));
    }
    // Only the first line matters: a password is at most 12 bytes, so a
    // longer first line is reported as too long without reading it all.
    std::string line;
    bool ended = false;
    for (int c; line.size() <= 4 * max_password_length && (c = std::fgetc(file)) != EOF;) {
        if (c == '\n') {
            ended = true;
            break;
        }
        line += static_cast<char>(c);
    }
    const bool failed = std::ferror(file) != 0;
    const int error = errno;
    if (!from_stdin) {
        std::fclose(file);
    }
    const std::string name = from_stdin ? "standard input" : "the password file " + path;
    if (failed) {
        throw usage_error("cannot read " + name + ": " + std::strerror(error));
    }
    if (line.empty() && !ended) {
        throw usage_error(name + " is empty: its first line is the password");
    }
    // A file saved with CR LF line ends must give the same password.
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

std::string password_option(const arguments &a, const std::string &fallback) {
    const std::optional<std::string> text = a.value("--password");
    const std::optional<std::string> file = a.value("--password-file");
    if (text && file) {
        throw usage_error("--password and --password-file cannot be combined");
    }
    std::string password = file ? read_password_file(*file) : text.value_or(fallback);
    check_password(file
                       ? "the password in " + (*file == "-" ? std::string("standard input") : *file)
                       : std::string("--password"),
                   password);
    return password;
}

void warn_of_blank(std::string_view command_name, std::string_view option,
                   const std::string &password) {
    const std::size_t blank = password.find(' ');
    if (blank == std::string::npos) {
        return;
    }
    const std::string warning =
        "tarvelo " + std::string(command_name) + ": warning: " + std::string(option) +
        " holds a blank; the exit reads the password field only up to its first blank, so it "
        "uses the first " +
        std::to_string(blank) + " of its " + std::to_string(password.size()) + " bytes\n";
    std::fputs(warning.c_str(), stderr);
}

} // namespace tarvelo::tool
