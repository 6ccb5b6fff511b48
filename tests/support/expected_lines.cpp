// expected_lines.cpp: see expected_lines.h.
#include "tests/support/expected_lines.h"
#include "tests/support/support.h"

#include <gtest/gtest.h>

#include <string_view>

namespace tarvelo::testing {
namespace {

// The format of entry `index` after the timestamp's placeholder and its
// blank (every format begins with them), up to the line end, cut at its
// placeholders: one more piece of text than there are placeholders.
std::vector<std::string_view> texts_of(std::size_t index) {
    std::string_view body = messages[index].format.substr(3);
    body = body.substr(0, body.find('\n'));
    std::vector<std::string_view> texts;
    for (std::size_t at; (at = body.find("%s")) != std::string_view::npos;) {
        texts.push_back(body.substr(0, at));
        body.remove_prefix(at + 2);
    }
    texts.push_back(body);
    return texts;
}

std::string regex_escaped(std::string_view text) {
    static const std::regex special(R"([\\^$.|?*+()[\]{}])");
    return std::regex_replace(std::string(text), special, R"(\$&)");
}

// Entry `index` with `fills` in place of its placeholders, in order, each
// text between them passed through `text`.
template <typename Text>
std::string filled(std::size_t index, const std::vector<std::string> &fills, Text text) {
    const std::vector<std::string_view> texts = texts_of(index);
    std::string line = text(texts[0]);
    for (std::size_t i = 1; i < texts.size(); ++i) {
        line += fills.at(i - 1) + text(texts[i]);
    }
    return line;
}

} // namespace

std::string identifier_of(message_index index) {
    const std::string_view identifier = messages[static_cast<std::size_t>(index)].identifier;
    EXPECT_FALSE(identifier.empty()) << "entry " << index << " is not a numbered message";
    return std::string(identifier);
}

std::vector<std::string> identifiers_of(std::initializer_list<message_index> indices) {
    std::vector<std::string> identifiers;
    for (const message_index index : indices) {
        identifiers.push_back(identifier_of(index));
    }
    return identifiers;
}

std::vector<std::string> identifiers_in(const std::string &text) {
    std::vector<std::string> identifiers;
    for (const std::string &line : split_lines(text)) {
        for (const message &m : messages) {
            // Right after the timestamp, or after the blank that begins the
            // line after one that ends with it.
            const std::size_t at = line.find(" " + std::string(m.identifier) + " ");
            if (!m.identifier.empty() && (at == timestamp_length || at == timestamp_length + 1)) {
                identifiers.emplace_back(m.identifier);
                break;
            }
        }
    }
    return identifiers;
}

std::string line_of(message_index index, const std::string &name, const std::string &argument) {
    return filled(static_cast<std::size_t>(index), {name, argument},
                  [](std::string_view text) { return std::string(text); });
}

std::string opening_of(message_index index) {
    return std::string(texts_of(static_cast<std::size_t>(index))[0]);
}

line_classifier::line_classifier(const std::string &name,
                                 const std::function<std::string(message_index)> &argument) {
    for (std::size_t i = 0; i < messages.size(); ++i) {
        const auto index = static_cast<message_index>(i);
        entries_.push_back(
            {opening_of(index), std::regex(filled(i, {name, argument(index)}, regex_escaped))});
    }
}

int line_classifier::entry_of(const std::string &body) const {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        const entry &e = entries_[i];
        if (body.compare(0, e.opening.size(), e.opening) == 0 &&
            std::regex_match(body, e.pattern)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

} // namespace tarvelo::testing
