// options.cpp: see options.h.
#include "tools/options.h"

#include "tools/closest_match.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace tarvelo::tool {
namespace {

// A whole decimal number from `o.minimum` to `o.maximum`, or a usage error
// that names the option.
std::uint64_t number_in_range(const number_option &o, const std::string &text) {
    const std::string range =
        " (" + std::to_string(o.minimum) + " to " + std::to_string(o.maximum) + ")";
    if (text.empty() || text.size() > 20 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        throw usage_error(std::string(o.name) + " must be a whole number" + range + ", not \"" +
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
    if (value < o.minimum || value > o.maximum) {
        throw usage_error(std::string(o.name) + " is out of range" + range + ": " + text);
    }
    return value;
}

} // namespace

arguments::arguments(std::span<const std::string> words, option_list options) : options_(options) {
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string &word = words[i];
        if (word == "--help" || word == "-h") {
            help_ = true;
            continue;
        }
        if (word == "--") {
            for (++i; i < words.size(); ++i) {
                positional_.push_back(words[i]);
                in_order_.push_back({nullptr, words[i]});
            }
            break;
        }
        // A lone "-" and negative numbers are values, not options.
        if (word.size() < 2 || word[0] != '-' || (word[1] >= '0' && word[1] <= '9')) {
            positional_.push_back(word);
            in_order_.push_back({nullptr, word});
            continue;
        }
        const std::size_t equals = word.find('=');
        const std::string name = word.substr(0, equals);
        const auto known = std::find_if(options.begin(), options.end(), [&](const option *o) {
            return !o->name.empty() && o->name == name;
        });
        if (known == options.end()) {
            std::vector<std::string_view> names = {"--help"};
            for (const option *o : options) {
                if (!o->name.empty()) {
                    names.push_back(o->name);
                }
            }
            const std::string near = closest_match(name, names);
            throw usage_error("unknown option " + name +
                              (near.empty() ? "" : " (did you mean " + near + "?)"));
        }
        std::optional<std::string> value;
        if (!(*known)->value.empty()) {
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
        in_order_.push_back({*known, std::move(value)});
    }
}

void arguments::require_declared(const option &o) const {
    if (std::find(options_.begin(), options_.end(), &o) == options_.end()) {
        throw std::logic_error("the option " + std::string(o.name) +
                               " is read by a command that does not declare it");
    }
}

std::optional<std::string> arguments::last(const option &o) const {
    require_declared(o);
    for (auto g = in_order_.rbegin(); g != in_order_.rend(); ++g) {
        if (g->declared == &o) {
            return g->value.value_or(std::string());
        }
    }
    return std::nullopt;
}

bool arguments::given(const flag_option &o) const { return last(o).has_value(); }

std::optional<std::string> arguments::value(const text_option &o) const { return last(o); }

std::vector<std::string> arguments::values(const list_option &o) const {
    require_declared(o);
    std::vector<std::string> found;
    for (const given_word &g : in_order_) {
        if (g.declared == &o && g.value) {
            found.push_back(*g.value);
        }
    }
    return found;
}

std::optional<std::uint64_t> arguments::value(const number_option &o) const {
    const std::optional<std::string> text = last(o);
    if (!text) {
        return std::nullopt;
    }
    return number_in_range(o, *text);
}

failure arguments::not_a_choice(const option &o, const std::vector<std::string_view> &words,
                                const std::string &word) {
    if (words.size() == 1) {
        return usage_error(std::string(o.name) + " takes \"" + std::string(words[0]) +
                           "\", not \"" + word + "\"");
    }
    std::string listed;
    for (std::size_t i = 0; i < words.size(); ++i) {
        listed += (i == 0 ? "" : i + 1 == words.size() ? " or " : ", ") + std::string(words[i]);
    }
    return usage_error(std::string(o.name) + " must be " + listed + ", not \"" + word + "\"");
}

void arguments::no_positional() const {
    if (!positional_.empty()) {
        throw usage_error("unexpected argument " + positional_.front());
    }
}

} // namespace tarvelo::tool
