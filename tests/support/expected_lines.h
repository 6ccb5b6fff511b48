// expected_lines.h: the lines the exit writes, as the tests expect them,
// built from the message catalogue: a test names a message by its index and
// never restates its identifier or its text.
#ifndef TARVELO_TESTS_SUPPORT_EXPECTED_LINES_H
#define TARVELO_TESTS_SUPPORT_EXPECTED_LINES_H

#include "log/catalogue.h"

#include <functional>
#include <initializer_list>
#include <regex>
#include <string>
#include <vector>

namespace tarvelo::testing {

// "TARVELO003W": the identifier of numbered message `index`.
std::string identifier_of(message_index index);

// The identifiers of numbered messages `indices`, in their order.
std::vector<std::string> identifiers_of(std::initializer_list<message_index> indices);

// The identifiers of the numbered lines in `text`, in the order written;
// trace lines and anything else are left out.
std::vector<std::string> identifiers_in(const std::string &text);

// A line of entry `index` after its timestamp and blank, without its line
// end: the format with `name` and `argument` in place of its placeholders.
std::string line_of(message_index index, const std::string &name, const std::string &argument = "");

// What every line of entry `index` begins with after its timestamp: the
// format's text up to its first placeholder.
std::string opening_of(message_index index);

// Tells which catalogue entry a line was written from, by each entry's
// format as a regular expression: its text exactly, the fills as patterns.
class line_classifier {
public:
    // `name` is the pattern of the channel names; `argument(index)` that of
    // entry `index`'s argument, left unused where the entry has none.
    line_classifier(const std::string &name,
                    const std::function<std::string(message_index)> &argument);

    // The index of the entry `body` (a line after its timestamp and blank)
    // was written from, or -1 for a torn, mixed or unknown line.
    int entry_of(const std::string &body) const;

private:
    struct entry {
        std::string opening; // tried first: std::regex is slow, and this runs under valgrind
        std::regex pattern;
    };
    std::vector<entry> entries_;
};

} // namespace tarvelo::testing

#endif
