// options.cpp: see options.h.
#include "tools/options.h"

#include "tools/system/library_path.h"

#include <algorithm>
#include <string>

namespace tarvelo::tool {
namespace {

// What each code means for any command; a command's declaration may say
// what it means for that command.
const char *usual_meaning(exit_code code) {
    switch (code) {
    case exit_code::ok:
        return "success";
    case exit_code::refused:
        return "the exit refused the channel";
    case exit_code::usage:
        return "bad arguments or settings, or a file named in them cannot be used";
    case exit_code::library_unusable:
        return "the exit library cannot be loaded or read, or has no such entry point";
    case exit_code::program_failed:
        return "the program failed: its output could not be written (a full disk, a closed\n"
               "pipe), or it could not set itself up (pipe, thread, random bytes)";
    case exit_code::unfinished:
        return "the exchange ended with the exit neither running nor closing the channel";
    default:
        return "interrupted (Ctrl-C)";
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

// `text` with "{library}" replaced by the library loaded by default.
std::string filled(std::string_view text) {
    std::string out(text);
    constexpr std::string_view mark = "{library}";
    if (const std::size_t at = out.find(mark); at != std::string::npos) {
        out.replace(at, mark.size(), default_library_path());
    }
    return out;
}

// Each line of `text` after `indent` blanks, the first after `first`.
std::string indented(std::string_view text, const std::string &first, std::size_t indent) {
    std::string out = first;
    bool start = true;
    for (const char c : text) {
        if (start && out.size() > first.size()) {
            out += std::string(indent, ' ');
        }
        out += c;
        start = c == '\n';
    }
    return out + "\n";
}

constexpr std::size_t help_column = 28; // where an option's help starts
constexpr std::size_t line_width = 79;

// Each line of `text` filled with words up to the width, keeping its breaks.
std::string wrapped(std::string_view text, std::size_t width) {
    std::string out;
    while (true) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        std::size_t used = 0;
        while (!line.empty()) {
            const std::size_t blank = line.find(' ');
            const std::string_view word = line.substr(0, blank);
            if (used != 0 && used + 1 + word.size() > width) {
                out += '\n';
                used = 0;
            } else if (used != 0) {
                out += ' ';
                ++used;
            }
            out += word;
            used += word.size();
            line = blank == std::string_view::npos ? std::string_view() : line.substr(blank + 1);
        }
        if (end == std::string_view::npos) {
            return out;
        }
        out += '\n';
        text.remove_prefix(end + 1);
    }
}

std::string options_text(std::span<const option> options) {
    // Options in groups carry their own headings.
    std::string out = !options.empty() && options.front().name.empty() ? "" : "Options:\n";
    const auto row = [&out](const std::string &label, std::string_view help) {
        std::string first = "  " + label;
        if (first.size() + 2 > help_column) {
            out += first + "\n";
            first.clear();
        }
        first.resize(help_column, ' ');
        out += indented(wrapped(help, line_width - help_column), first, help_column);
    };
    for (const option &o : options) {
        if (o.name.empty()) {
            out += std::string(o.help) + "\n"; // a heading over the options below it
            continue;
        }
        row(std::string(o.name) + (o.value.empty() ? "" : " " + std::string(o.value)),
            filled(o.help));
    }
    row("-h, --help", "this text");
    return out;
}

std::string codes_text(std::span<const exit_meaning> codes) {
    std::string out = "Exit codes:\n";
    for (const exit_meaning &c : codes) {
        const std::string number = std::to_string(static_cast<int>(c.code));
        out += indented(c.meaning != nullptr ? c.meaning : usual_meaning(c.code),
                        "  " + number + "  ", 4 + number.size());
    }
    return out;
}

} // namespace

arguments::arguments(std::span<const std::string> words, std::span<const option> options) {
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string &word = words[i];
        if (word == "--help" || word == "-h") {
            help_ = true;
            continue;
        }
        if (word == "--") {
            for (++i; i < words.size(); ++i) {
                positional_.push_back(words[i]);
                in_order_.emplace_back(std::string(), words[i]);
            }
            break;
        }
        // A lone "-" and negative numbers are values, not options.
        if (word.size() < 2 || word[0] != '-' || (word[1] >= '0' && word[1] <= '9')) {
            positional_.push_back(word);
            in_order_.emplace_back(std::string(), word);
            continue;
        }
        const std::size_t equals = word.find('=');
        const std::string name = word.substr(0, equals);
        const auto known = std::find_if(options.begin(), options.end(), [&](const option &o) {
            return !o.name.empty() && o.name == name;
        });
        if (known == options.end()) {
            std::vector<std::string_view> names = {"--help"};
            for (const option &o : options) {
                if (!o.name.empty()) {
                    names.push_back(o.name);
                }
            }
            const std::string near = closest_match(name, names);
            throw usage_error("unknown option " + name +
                              (near.empty() ? "" : " (did you mean " + near + "?)"));
        }
        std::optional<std::string> value;
        if (!known->value.empty()) {
            if (equals != std::string::npos) {
                value = word.substr(equals + 1);
            } else if (i + 1 < words.size()) {
                value = words[++i];
            } else {
                throw usage_error("option " + name + " needs a value");
            }
        } else if (equals != std::string::npos) {
            throw usage_error("option " + name + " takes no value");
        }
        given_.emplace_back(name, value);
        in_order_.emplace_back(name, value);
    }
}

bool arguments::flag(std::string_view name) const {
    return std::any_of(given_.begin(), given_.end(),
                       [&](const auto &g) { return g.first == name; });
}

std::optional<std::string> arguments::value(std::string_view name) const {
    for (auto g = given_.rbegin(); g != given_.rend(); ++g) {
        if (g->first == name) {
            return g->second;
        }
    }
    return std::nullopt;
}

std::vector<std::string> arguments::values(std::string_view name) const {
    std::vector<std::string> found;
    for (const auto &[given, value] : given_) {
        if (given == name && value) {
            found.push_back(*value);
        }
    }
    return found;
}

void arguments::no_positional() const {
    if (!positional_.empty()) {
        throw usage_error("unexpected argument " + positional_.front());
    }
}

const command *find_command(command_table commands, std::string_view name) {
    for (const command *c : commands) {
        if (name == c->name) {
            return c;
        }
    }
    return nullptr;
}

std::string unknown_command(command_table commands, std::string_view name) {
    std::vector<std::string_view> names;
    for (const command *c : commands) {
        names.emplace_back(c->name);
    }
    const std::string near = closest_match(name, names);
    return "unknown command \"" + std::string(name) + "\"" +
           (near.empty() ? "" : " (did you mean \"" + near + "\"?)");
}

std::string help_text(const command &c) {
    std::string out = std::string("Usage: tarvelo ") + c.name + (*c.synopsis != '\0' ? " " : "") +
                      c.synopsis + "\n\n" + filled(c.description) + "\n" + options_text(c.options);
    if (c.notes != nullptr) {
        out += "\n" + filled(c.notes);
    }
    return out + "\n" + codes_text(c.codes);
}

std::string general_help(command_table commands) {
    std::string out =
        "Usage: tarvelo COMMAND [OPTIONS]\n"
        "\n"
        "Drives the TARVELO channel security exit library as a queue manager and the\n"
        "partner sign-on service (the KOR service) would, and computes what the\n"
        "sign-on exchanges.\n"
        "\n"
        "Commands:\n";
    for (const command *c : commands) {
        std::string name = c->name;
        name.resize(std::max<std::size_t>(name.size(), 10), ' ');
        out += "  " + name + " " + c->summary + "\n";
    }
    out += "\n"
           "\"tarvelo help COMMAND\" (or \"tarvelo COMMAND --help\") describes each, with the\n"
           "exit codes it can return. Start with \"tarvelo demo\".\n"
           "\n";
    static constexpr exit_meaning every_code[] = {{exit_code::ok},
                                                  {exit_code::refused},
                                                  {exit_code::usage},
                                                  {exit_code::library_unusable},
                                                  {exit_code::program_failed},
                                                  {exit_code::unfinished},
                                                  {exit_code::interrupted}};
    return out + codes_text(every_code);
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

} // namespace tarvelo::tool
