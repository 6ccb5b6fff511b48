// The message reference, the manual page and mtail's program held to the
// catalogue: operators write monitoring rules from the texts they show and
// alert on what the program counts, so a text or an identifier that differs
// from the line the exit writes is a fault in them.
#include "log/catalogue.h"
#include "tests/support/support.h"
#include "tools/docgen/docgen.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#if defined(TARVELO_MTAIL_PROGRAM)
#include "log/trace_switch.h"
#include "log/writer.h"

#include <cstdio>
#include <cstring>
#include <tuple>
#endif

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

#if defined(TARVELO_MTAIL_PROGRAM)
// The series of mtail's text output ("name{label="value",...} number"), by
// name and labels (the log's and the program's left out), with their values;
// label values unescaped as the format escapes them.
std::map<std::string, double> series_in(const std::string &text) {
    std::map<std::string, double> series;
    for (const std::string &line : split_lines(text)) {
        const std::size_t brace = line.find('{');
        if (line.empty() || line[0] == '#' || brace == std::string::npos) {
            continue;
        }
        std::string key = line.substr(0, brace);
        std::size_t at = brace + 1;
        while (at < line.size() && line[at] != '}') {
            const std::size_t equals = line.find("=\"", at);
            const std::string label = line.substr(at, equals - at);
            std::string value;
            for (at = equals + 2; at < line.size() && line[at] != '"'; ++at) {
                if (line[at] == '\\' && at + 1 < line.size()) {
                    ++at;
                    value += line[at] == 'n' ? '\n' : line[at];
                } else {
                    value += line[at];
                }
            }
            at += line.compare(at, 2, "\",") == 0 ? 2 : 1;
            if (label != "log" && label != "prog") {
                key += " " + label + "=" + value;
            }
        }
        series[key] = std::stod(line.substr(line.rfind(' ') + 1));
    }
    return series;
}

// Runs mtail once over `log` with the program the build made, as
// "mtail --one_shot" does: the series of its text output, or a failure.
std::map<std::string, double> mtail_series(const std::string &log, const std::string &errors) {
    std::string programs = TARVELO_MTAIL_PROGRAM;
    programs.erase(programs.rfind('/'));
    const std::string command = std::string("'") + TARVELO_MTAIL + "' --progs '" + programs +
                                "' --logs '" + log +
                                "' --one_shot --one_shot_format prometheus --address 127.0.0.1 "
                                "--port 0 --logtostderr 2>'" +
                                errors + "'";
    std::FILE *pipe = popen(command.c_str(), "r");
    std::string out;
    if (pipe != nullptr) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
            out.append(buffer, n);
        }
    }
    const int status = pipe != nullptr ? pclose(pipe) : -1;
    EXPECT_EQ(status, 0) << command << "\n" << read_file(errors);
    return series_in(out);
}

// Every line the exit can write, as it writes it, through mtail's program:
// each counted once under its own message, each refusal under its channel as
// the exit shows it (escapes kept, padding dropped, a name that holds the
// text after it whole, one cut short by a zero byte), TARVELO002E under the
// channel that started just before it or none, trace lines and a line of
// another program apart. A message the catalogue gains and the program
// misses fails here.
TEST(MtailProgram, CountsEveryLineTheExitWritesUnderItsMessageAndChannel) {
    if (std::string(TARVELO_MTAIL).empty() ||
        std::string(TARVELO_MTAIL).find("NOTFOUND") != std::string::npos) {
        GTEST_SKIP() << "mtail is not installed (Debian's package mtail): its program is not tried";
    }
    scratch_directory dir;
    log_destination log{};
    const std::string log_path = dir.file("m.log");
    std::snprintf(log.path, sizeof log.path, "%s", log_path.c_str());
    // The channel name field as the host gives it, and the channel as the
    // program must label it.
    const std::vector<std::tuple<std::string, std::string>> names = {
        {"TO.PARTNER          ", "TO.PARTNER"},
        {"A B                 ", "A B"},
        {"CHANNEL.TWENTY.BYTES", "CHANNEL.TWENTY.BYTES"},
        {"X\nY\\Z\x1b              ", "X\\x0aY\\x5cZ\\x1b"},
        {"Q - ZT Code => 12345", "Q - ZT Code => 12345"},
        {"SHORT", "SHORT"},
        {"", "(no channel)"},
    };
    std::map<std::string, double> expected;
    set_trace_on(true);
    captured_output quiet;
    for (const auto &[field, label] : names) {
        for (int index = 0; index < static_cast<int>(messages.size()); ++index) {
            const message &m = messages[static_cast<std::size_t>(index)];
            const char *argument = m.format.find("Code =>") != std::string_view::npos
                                       ? "12"
                                       : "0123456789ABCDEF0123456789ABCDEF ";
            write_message(log, index, field.c_str(), argument);
            const std::string key = m.kind == message_kind::trace ? "trace" : std::string(m.key);
            expected["tarvelo_lines_total message=" + key] += 1;
            // TARVELO002E comes right after the start of this channel.
            if (m.kind == message_kind::refusal) {
                expected["tarvelo_channel_refusals_total channel=" + label + " message=" + key] +=
                    1;
            }
        }
        // TARVELO002E after another line than a start names no channel.
        write_message(log, msg_channel_closed, field.c_str(), nullptr);
        write_message(log, msg_allocation_failure, nullptr, nullptr);
        const std::string close = std::string(messages[msg_channel_closed].key);
        const std::string allocation = std::string(messages[msg_allocation_failure].key);
        expected["tarvelo_lines_total message=" + close] += 1;
        expected["tarvelo_lines_total message=" + allocation] += 1;
        expected["tarvelo_channel_refusals_total channel=(no channel) message=" + allocation] += 1;
    }
    quiet.take();
    set_trace_on(false);
    // A line of another program, and one cut short.
    ASSERT_TRUE(write_file(log_path, read_file(log_path) + "something else\nTue Dec  8 18:4\n"));
    expected["tarvelo_lines_total message=unparsed"] += 2;

    std::map<std::string, double> counted = mtail_series(log_path, dir.file("mtail.err"));
    const auto last_line = counted.find("tarvelo_log_last_line_timestamp_seconds");
    ASSERT_NE(last_line, counted.end()) << "no time of the log's last line";
    EXPECT_GT(last_line->second, 1.7e9);
    counted.erase(last_line);
    for (const auto &[series, value] : expected) {
        EXPECT_EQ(counted[series], value) << series;
    }
    for (const auto &[series, value] : counted) {
        EXPECT_TRUE(expected.contains(series))
            << "counted, never written: " << series << " " << value;
    }
}
#endif

} // namespace
} // namespace tarvelo::testing
