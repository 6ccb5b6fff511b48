// channel_options.cpp: see channel_options.h.
#include "tools/channel/channel_options.h"

#include "tools/system/append_check.h"
#include "tools/system/library_path.h"
#include "tools/system/shown_text.h"

#include "auth/password.h"
#include "exit/exit_data.h"
#include "exit/tarvelo.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tarvelo::tool {
namespace {

constexpr std::size_t exit_data_width = TARVELO_EXIT_DATA_LENGTH;
constexpr std::size_t channel_name_width = TARVELO_CHANNEL_NAME_LENGTH;
constexpr std::string_view trace_word = trace_keyword;

// How long a log path leaves room for the trace word after it.
std::string room_for_trace() {
    return "a log path of at most " + std::to_string(log_path_room_for_trace) +
           " bytes leaves room for \" " + std::string(trace_word) + "\"";
}

// The blank-separated words of `data`, as the exit splits it: up to its
// first zero byte.
std::vector<std::string_view> words_of(std::string_view data) {
    std::vector<std::string_view> words;
    const char *end = exit_data_end(data.data(), data.size());
    for (const char *cursor = data.data();;) {
        const exit_data_word word = next_exit_data_word(&cursor, end);
        if (word.length == 0) {
            return words;
        }
        words.emplace_back(word.start, word.length);
    }
}

bool begins_with_trace(std::string_view word) { return turns_trace_on({word.data(), word.size()}); }

std::string upper(std::string_view word) {
    std::string text(word);
    for (char &c : text) {
        c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    }
    return text;
}

} // namespace

std::string library_path(const arguments &a) {
    return a.value(library_option).value_or(default_library_path());
}

std::string entry_name(const arguments &a) { return a.value(entry_option).value_or("TARVELO"); }

std::string channel_name(const arguments &a) {
    std::string name = a.value(channel_option).value_or("TO.PARTNER");
    if (name.empty() || name.size() > channel_name_width) {
        throw usage_error("--channel must be 1 to " + std::to_string(channel_name_width) +
                          " bytes, not " + std::to_string(name.size()));
    }
    return name;
}

void check_password(std::string_view what, const std::string &password) {
    if (password.size() > max_password_length) {
        throw usage_error(std::string(what) + " is " + std::to_string(password.size()) +
                          " bytes; a channel password holds at most " +
                          std::to_string(max_password_length));
    }
}

std::string read_password_file(const std::string &path) {
    const bool from_stdin = path == "-";
    std::FILE *file = from_stdin ? stdin : std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        throw setting_error("cannot read the password file " + path + ": " + std::strerror(errno));
    }
    // Only the first line matters: a password fills at most its field, so
    // a longer first line is reported as too long without reading it all.
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
        throw setting_error("cannot read " + name + ": " + std::strerror(error));
    }
    if (line.empty() && !ended) {
        throw setting_error(name + " is empty: its first line is the password");
    }
    // A file saved with CR LF line ends must give the same password.
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

std::string channel_password(const arguments &a, const std::string &fallback) {
    const std::optional<std::string> text = a.value(password_option);
    const std::optional<std::string> file = a.value(password_file_option);
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

std::string password_source(const arguments &a) {
    const std::optional<std::string> file = a.value(password_file_option);
    if (!file) {
        return {};
    }
    return *file == "-" ? "standard input" : *file;
}

void warn_of_blank(std::string_view command_name, std::string_view what,
                   const std::string &password) {
    const std::size_t used =
        password_length(reinterpret_cast<const std::uint8_t *>(password.data()), password.size());
    if (used == password.size()) {
        return;
    }
    const std::string warning =
        "tarvelo " + std::string(command_name) + ": warning: " + std::string(what) +
        " holds a blank; the exit reads the password field only up to its first blank, so it "
        "uses the first " +
        std::to_string(used) + " of its " + std::to_string(password.size()) + " bytes\n";
    std::fputs(warning.c_str(), stderr);
}

exit_data_setting exit_data_setting_of(std::string_view data) {
    exit_data_setting setting;
    setting.data = std::string(data.substr(0, exit_data_width));
    const std::vector<std::string_view> words = words_of(setting.data);
    if (!words.empty()) {
        setting.log_path = std::string(words[0]);
    }
    setting.trace = words.size() >= 2 && begins_with_trace(words[1]);
    return setting;
}

std::vector<std::string> exit_data_surprises(std::string_view data) {
    std::vector<std::string> surprises;
    const exit_data_setting setting = exit_data_setting_of(data);
    const std::vector<std::string_view> words = words_of(setting.data);
    if (words.empty()) {
        return surprises;
    }
    for (const std::string_view word : words) {
        if (std::any_of(word.begin(), word.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; })) {
            surprises.push_back("the word \"" + shown_text(word) +
                                "\" holds a control byte (a tab?): the exit splits the exit data "
                                "on blanks only, so it is one word");
        }
    }
    if (begins_with_trace(upper(words[0]))) {
        surprises.push_back("the exit reads the first word, " + std::string(words[0]) +
                            ", as the log path: it will append to a file of that name in the "
                            "host's working directory, with trace off; write the log path first, "
                            "then " +
                            std::string(trace_word));
    }
    if (words.size() >= 2 && !setting.trace) {
        const std::string second(words[1]);
        const bool cut = setting.data.size() == exit_data_width && words.size() == 2 &&
                         trace_word.substr(0, second.size()) == second;
        if (cut) {
            surprises.push_back("the exit data ends at " + std::to_string(exit_data_width) +
                                " bytes, so the second word is \"" + second + "\", not " +
                                std::string(trace_word) + ": trace stays off; " + room_for_trace());
        } else if (begins_with_trace(upper(second))) {
            surprises.push_back("the second word \"" + second + "\" does not begin with " +
                                std::string(trace_word) + " in capitals: trace stays off");
        } else {
            surprises.push_back("the second word \"" + second + "\" is not " +
                                std::string(trace_word) +
                                ": the exit ignores it, and trace stays off");
        }
    }
    if (words.size() > 2) {
        surprises.push_back("the exit ignores everything after the second word (\"" +
                            std::string(words[2]) + "\" and on)");
    }
    return surprises;
}

exit_data_setting exit_data_for(const std::string &log_path, bool trace) {
    if (log_path.find(' ') != std::string::npos) {
        throw usage_error("--log cannot contain a blank: the exit data is split on blanks");
    }
    if (trace && log_path.empty()) {
        throw usage_error("--trace needs --log: the exit reads " + std::string(trace_word) +
                          " only as the second word of the exit data, after the log path");
    }
    std::string data = log_path;
    if (trace) {
        data += ' ';
        data += trace_word;
    }
    if (data.size() > exit_data_width) {
        throw usage_error("the exit data \"" + data + "\" is " + std::to_string(data.size()) +
                          " bytes; the field holds " + std::to_string(exit_data_width) +
                          (trace ? " (" + room_for_trace() + ")" : std::string()));
    }
    return exit_data_setting_of(data);
}

exit_data_setting exit_data_from(const arguments &a, std::string_view command_name) {
    const std::optional<std::string> typed = a.value(exit_data_option);
    const std::optional<std::string> log = a.value(log_option);
    const bool trace = a.given(trace_option);
    exit_data_setting setting;
    if (typed) {
        if (log || trace) {
            throw usage_error("--exit-data cannot be combined with --log or --trace");
        }
        if (typed->size() > exit_data_width) {
            throw usage_error("--exit-data is " + std::to_string(typed->size()) +
                              " bytes; the field holds " + std::to_string(exit_data_width));
        }
        for (const std::string &surprise : exit_data_surprises(*typed)) {
            std::fprintf(stderr, "tarvelo %s: warning: --exit-data: %s\n",
                         std::string(command_name).c_str(), surprise.c_str());
        }
        setting = exit_data_setting_of(*typed);
    } else {
        setting = exit_data_for(log.value_or(""), trace);
    }
    return log_checked(std::move(setting));
}

exit_data_setting log_checked(exit_data_setting setting) {
    if (!setting.log_path.empty()) {
        checked(can_append_to(setting.log_path));
    }
    return setting;
}

} // namespace tarvelo::tool
