// options.h: how a command declares its options and reads them from the
// command line. An option is declared once, as a constant of its kind; the
// declaration is the handle through which the command reads the option,
// typed by what it holds (given or not, a text, a number within a range,
// one of a few words, a text given again and again), and the --help text is
// made from the same declarations (help_text.h). No option is looked up by
// its name: a command reads only the options it declared.
#ifndef TARVELO_TOOLS_OPTIONS_H
#define TARVELO_TOOLS_OPTIONS_H

#include "tools/exit_codes.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarvelo::tool {

// What every option declares: "--name VALUE" (or "--name=VALUE") when
// `value` names its value, "--name" alone when it is empty. `help` may run
// over several lines, and hold the marks of help_text.h. With no name, the
// declaration is a heading over the options below it in the help.
struct option {
    std::string_view name;
    std::string_view value;
    std::string_view help;
};

// "--trace": given or not.
struct flag_option : option {};
// "--log PATH": the last value given, as most programs take it.
struct text_option : option {};
// "--channel NAME": every value given, in order.
struct list_option : option {};
// "--threads N": a whole number from `minimum` to `maximum`.
struct number_option : option {
    std::uint64_t minimum;
    std::uint64_t maximum;
};
// "--format FORMAT": one of `words`, each standing for a value.
template <typename T> struct choice {
    std::string_view word;
    T value;
};
template <typename T> struct choice_option : option { std::span<const choice<T>> words; };

// A command's options, in the order its help lists them.
using option_list = std::span<const option *const>;

// The arguments after the command's name, checked against its options.
// "--help" and "-h" are always accepted. Reading an option the command did
// not declare is a fault of the program: std::logic_error.
class arguments {
public:
    arguments(std::span<const std::string> words, option_list options);

    bool help() const { return help_; }
    bool given(const flag_option &o) const;
    std::optional<std::string> value(const text_option &o) const;
    std::vector<std::string> values(const list_option &o) const;
    // A usage error that names the option when it is no whole number in
    // its range.
    std::optional<std::uint64_t> value(const number_option &o) const;
    // A usage error that names the option and its words when it is none
    // of them.
    template <typename T> std::optional<T> value(const choice_option<T> &o) const {
        const std::optional<std::string> word = last(o);
        if (!word) {
            return std::nullopt;
        }
        for (const choice<T> &c : o.words) {
            if (c.word == *word) {
                return c.value;
            }
        }
        std::vector<std::string_view> words;
        for (const choice<T> &c : o.words) {
            words.push_back(c.word);
        }
        throw not_a_choice(o, words, *word);
    }

    const std::vector<std::string> &positional() const { return positional_; }
    // Every option and operand in the order given, for options that apply
    // to the operands after them: an operand has no option.
    struct given_word {
        const option *declared; // null for an operand
        std::optional<std::string> value;
    };
    const std::vector<given_word> &in_order() const { return in_order_; }
    // A usage error unless there are none.
    void no_positional() const;

private:
    // A logic_error unless `o` is one of the command's options.
    void require_declared(const option &o) const;
    // The last value given for `o`: empty for a flag.
    std::optional<std::string> last(const option &o) const;
    static failure not_a_choice(const option &o, const std::vector<std::string_view> &words,
                                const std::string &word);

    option_list options_;
    std::vector<std::string> positional_;
    std::vector<given_word> in_order_;
    bool help_ = false;
};

} // namespace tarvelo::tool

#endif
