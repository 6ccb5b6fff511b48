// The message reference and the manual page held to the catalogue: operators
// write monitoring rules from the texts they show, so a text or an identifier
// that differs from the line the exit writes is a fault in the documents.
#include "log/catalogue.h"
#include "tests/support/support.h"
#include "tools/docgen/docgen.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarvelo::testing {
namespace {

std::string trimmed_end(std::string text) {
    text.erase(text.find_last_not_of(" \n") + 1);
    return text;
}

// Whether `shown`, a line as a document shows it, is `format` (after its
// timestamp placeholder) with each further "%s" shown as a placeholder of the
// form "<what>": "<channel>" first, any name after. Blanks at the end count
// for neither.
bool shows_format(const std::string &shown, std::string_view format) {
    std::string rest = trimmed_end(std::string(format.substr(format.find("%s") + 3)));
    std::string line = trimmed_end(shown);
    bool first = true;
    for (std::size_t at; (at = rest.find("%s")) != std::string::npos; first = false) {
        const std::size_t close = line.find('>', at);
        if (line.compare(0, at, rest, 0, at) != 0 || close == std::string::npos ||
            line[at] != '<' || (first && line.compare(at, close + 1 - at, "<channel>") != 0)) {
            return false;
        }
        rest.erase(0, at + 2);
        line.erase(0, close + 1);
    }
    return line == rest;
}

// Whether `shown`, a whole example line after its timestamp, is `format`
// (after its timestamp placeholder) with any text in place of each further
// "%s". Blanks at the end count for neither.
bool fills_format(const std::string &shown, std::string_view format) {
    const std::string rest = trimmed_end(std::string(format.substr(format.find("%s") + 3)));
    const std::string line = trimmed_end(shown);
    std::size_t from = 0;
    std::size_t at = 0;
    for (std::size_t hole; (hole = rest.find("%s", from)) != std::string::npos; from = hole + 2) {
        const std::string piece = rest.substr(from, hole - from);
        const std::size_t found =
            from == 0 ? (line.rfind(piece, 0) == 0 ? 0 : std::string::npos) : line.find(piece, at);
        if (found == std::string::npos) {
            return false;
        }
        at = found + piece.size();
    }
    const std::string last = rest.substr(from);
    return from == 0 ? line == last
                     : line.size() >= at + last.size() &&
                           line.compare(line.size() - last.size(), last.size(), last) == 0;
}

std::vector<std::string> lines_of_file(const std::string &path) {
    const std::vector<std::string> lines = split_lines(read_file(path));
    EXPECT_FALSE(lines.empty()) << path << " cannot be read";
    return lines;
}

TEST(MessageReference, ShowsEachNumberedMessageOnceExactlyAsTheExitWritesIt) {
    // Each "### TARVELOnnnX" section shows its line indented, after the time.
    struct section {
        std::string identifier;
        std::string line;
    };
    std::vector<section> sections;
    // And every example of a whole line, after its timestamp.
    std::vector<std::string> examples;
    for (const std::string &line : lines_of_file(TARVELO_DOCS_DIR "/messages.md")) {
        if (line.size() > 4 + timestamp_length + 8 && line.rfind("    ", 0) == 0 &&
            line.compare(4 + timestamp_length, 8, " TARVELO") == 0) {
            examples.push_back(line.substr(4 + timestamp_length + 1));
        }
        if (line.rfind("### TARVELO", 0) == 0) {
            sections.push_back({line.substr(4, 11), ""});
        } else if (!sections.empty() && sections.back().line.empty() &&
                   line.rfind("    ", 0) == 0) {
            sections.back().line = line.substr(4);
        }
    }
    std::vector<int> shown_by(sections.size(), -1);
    for (int index = 0; index <= last_numbered_message; ++index) {
        const message &m = messages[static_cast<std::size_t>(index)];
        int showing = 0;
        for (std::size_t s = 0; s < sections.size(); ++s) {
            if (sections[s].identifier == m.identifier &&
                sections[s].line.rfind("<time> ", 0) == 0 &&
                shows_format(sections[s].line.substr(7), m.format)) {
                ++showing;
                shown_by[s] = index;
            }
        }
        EXPECT_EQ(showing, 1) << m.key << ": " << m.format;
        // The severity is the identifier's last letter.
        EXPECT_EQ(static_cast<char>(m.level), m.identifier.back()) << m.key;
    }
    for (std::size_t s = 0; s < sections.size(); ++s) {
        EXPECT_NE(shown_by[s], -1) << "no such line: " << sections[s].line;
    }
    EXPECT_FALSE(examples.empty());
    for (const std::string &example : examples) {
        bool written = false;
        for (int index = 0; index <= last_numbered_message; ++index) {
            const message &m = messages[static_cast<std::size_t>(index)];
            written =
                written || (example.rfind(m.identifier, 0) == 0 && fills_format(example, m.format));
        }
        EXPECT_TRUE(written) << "no line of the exit: " << example;
    }
}

TEST(MessageReference, ShowsTheTraceLinesInTheOrderOfTheCatalogue) {
    std::vector<std::string> rows;
    for (const std::string &line : lines_of_file(TARVELO_DOCS_DIR "/messages.md")) {
        if (line.rfind("| `Trace ", 0) == 0) {
            rows.push_back(line.substr(3, line.find('`', 3) - 3));
        }
    }
    const std::size_t first_trace = static_cast<std::size_t>(last_numbered_message) + 1;
    ASSERT_EQ(rows.size(), messages.size() - first_trace);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_TRUE(shows_format(rows[i], messages[first_trace + i].format))
            << rows[i] << "\n  is not " << messages[first_trace + i].format;
    }
}

// The MESSAGES section: ".TP", ".B" and the identifier, then its meaning; an
// identifier that several entries share has their meanings joined by "; or ".
TEST(ManualPage, ListsEveryIdentifierWithTheCataloguesMeaning) {
    std::vector<std::pair<std::string, std::string>> listed;
    bool inside = false;
    for (const std::string &line : lines_of_file(TARVELO_MAN_DIR "/tarvelo-exit.7")) {
        if (line.rfind(".SH", 0) == 0) {
            inside = line == ".SH MESSAGES";
        } else if (inside && line.rfind(".B ", 0) == 0) {
            listed.emplace_back(line.substr(3), "");
        } else if (inside && line.rfind(".PP", 0) == 0) {
            inside = false;
        } else if (inside && !listed.empty() && line.rfind(".", 0) != 0) {
            std::string &meaning = listed.back().second;
            meaning += (meaning.empty() ? "" : " ") + line;
        }
    }
    std::vector<std::pair<std::string, std::string>> expected;
    for (int index = 0; index <= last_numbered_message; ++index) {
        const message &m = messages[static_cast<std::size_t>(index)];
        if (!expected.empty() && expected.back().first == m.identifier) {
            expected.back().second += "; or " + std::string(m.meaning);
        } else {
            expected.emplace_back(m.identifier, m.meaning);
        }
    }
    EXPECT_EQ(listed, expected);
}

// Each document's parts drawn from the catalogue and the handshake table
// are what the tables give now: a message, a cause, an action, a severity or
// a rule changed without making the documents again fails here.
TEST(GeneratedDocuments, AreWhatTheCatalogueAndTheHandshakeTableGive) {
    for (auto *d = docgen::documents_begin(); d != docgen::documents_end(); ++d) {
        SCOPED_TRACE(d->path);
        const std::string text = read_file(std::string(TARVELO_SOURCE_DIR) + "/" + d->path);
        const std::optional<std::string> made = d->generate(text);
        ASSERT_TRUE(made.has_value()) << "a marker of a generated part is missing";
        if (*made == text) {
            continue;
        }
        const std::vector<std::string> have = split_lines(text);
        const std::vector<std::string> want = split_lines(*made);
        std::size_t line = 0;
        while (line < have.size() && line < want.size() && have[line] == want[line]) {
            ++line;
        }
        ADD_FAILURE() << d->path << " differs from what the tables give, from line " << line + 1
                      << ":\n  is:        " << (line < have.size() ? have[line] : "(end)")
                      << "\n  should be: " << (line < want.size() ? want[line] : "(end)")
                      << "\nMake it again with: " << docgen::regenerate_command;
    }
}

} // namespace
} // namespace tarvelo::testing
