// help_text.cpp: see help_text.h.
#include "tools/help_text.h"

#include "tools/system/library_path.h"

#include "exit/exit_data.h"
#include "exit/tarvelo.h"

#include <algorithm>
#include <optional>
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

// What a mark stands for; none for a text in braces that is no mark.
std::optional<std::string> mark_value(std::string_view mark) {
    if (mark == "{library}") {
        return default_library_path();
    }
    if (mark == "{version}") {
        return TARVELO_VERSION_STRING;
    }
    if (mark == "{trace-word}") {
        return std::string(trace_keyword);
    }
    const std::pair<std::string_view, std::size_t> sizes[] = {
        {"{channel-name-bytes}", TARVELO_CHANNEL_NAME_LENGTH},
        {"{password-bytes}", TARVELO_PASSWORD_LENGTH},
        {"{exit-data-bytes}", TARVELO_EXIT_DATA_LENGTH},
        {"{challenge-length}", TARVELO_SECURITY_TEXT_LENGTH},
        {"{log-path-bytes}", log_path_room_for_trace},
    };
    for (const auto &[name, size] : sizes) {
        if (mark == name) {
            return std::to_string(size);
        }
    }
    return std::nullopt;
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

std::string options_text(option_list options) {
    // Options in groups carry their own headings.
    std::string out = !options.empty() && options.front()->name.empty() ? "" : "Options:\n";
    const auto row = [&out](const std::string &label, std::string_view help) {
        std::string first = "  " + label;
        if (first.size() + 2 > help_column) {
            out += first + "\n";
            first.clear();
        }
        first.resize(help_column, ' ');
        out += indented(wrapped(help, line_width - help_column), first, help_column);
    };
    for (const option *o : options) {
        if (o->name.empty()) {
            out += std::string(o->help) + "\n"; // a heading over the options below it
            continue;
        }
        row(std::string(o->name) + (o->value.empty() ? "" : " " + std::string(o->value)),
            filled(o->help));
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

std::string filled(std::string_view text) {
    std::string out;
    for (;;) {
        const std::size_t open = text.find('{');
        const std::size_t close = text.find('}', open);
        const std::optional<std::string> value =
            close == std::string_view::npos ? std::nullopt
                                            : mark_value(text.substr(open, close + 1 - open));
        if (!value) {
            // No mark: the text up to the next brace, or to its end, as it is.
            const std::size_t to = open == std::string_view::npos ? text.size() : open + 1;
            out.append(text.substr(0, to));
            text.remove_prefix(to);
            if (text.empty()) {
                return out;
            }
            continue;
        }
        out.append(text.substr(0, open)).append(*value);
        text.remove_prefix(close + 1);
    }
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

} // namespace tarvelo::tool
