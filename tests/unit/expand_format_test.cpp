// The line formatter copies whole runs of text and whole arguments at once.
// Every cut it can make is checked against the plain reading of its
// contract: fill each "%s" in order, each argument byte outside printable
// ASCII or a backslash as "\xNN", then keep as many whole pieces (a byte of
// text, or an escape) as fit in capacity - 1 bytes.
#include "log/catalogue.h"
#include "log/line.h"
#include "tests/support/support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace tarvelo {
namespace {

// The line as pieces that are kept or cut whole.
std::vector<std::string> pieces(const std::string &format, const std::vector<const char *> &args) {
    std::vector<std::string> whole;
    std::size_t next = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == 's') {
            const char *arg = next < args.size() ? args[next] : nullptr;
            ++next;
            for (const char *p = arg; p != nullptr && *p != '\0'; ++p) {
                whole.push_back(testing::escaped(std::string(1, *p)));
            }
            ++i;
        } else {
            whole.emplace_back(1, format[i]);
        }
    }
    return whole;
}

std::string expected_expansion(const std::string &format, const std::vector<const char *> &args,
                               std::size_t capacity) {
    std::string kept;
    for (const std::string &piece : pieces(format, args)) {
        if (kept.size() + piece.size() > capacity - 1) {
            break;
        }
        kept += piece;
    }
    return kept;
}

// Expands into a buffer with guard bytes on both sides and checks the text,
// the returned length, the terminator and that nothing past it was touched.
void check(const std::string &format, const std::vector<const char *> &args, std::size_t capacity) {
    SCOPED_TRACE("format \"" + format + "\", capacity " + std::to_string(capacity));
    constexpr char guard = '#';
    std::vector<char> area(capacity + 16, guard);
    char *out = area.data() + 8;
    const std::size_t length =
        expand_format(format.data(), format.size(), args.data(), args.size(), out, capacity);
    const std::string want = expected_expansion(format, args, capacity);
    ASSERT_EQ(length, want.size());
    EXPECT_EQ(std::string(out, length), want);
    EXPECT_EQ(out[length], '\0');
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(area[i], guard) << "byte before the line written";
    }
    for (std::size_t i = length + 1; i < capacity + 8; ++i) {
        EXPECT_EQ(out[i], guard) << "byte " << i << " past the terminator written";
    }
}

TEST(ExpandFormat, EveryCutOfEveryCatalogueLineKeepsItsPrefix) {
    const std::vector<const char *> plain = {"Tue Dec  8 18:37:01 2026", "TO.PARTNER          ",
                                             "0123456789ABCDEF0123456789ABCDEF "};
    const std::vector<const char *> escaped = {"Tue Dec  8 18:37:01 2026", "TO\tPARTNER\\\x1b[2K",
                                               "\r\nTue Dec  8 18:37:01 2026 TARVELO\x7f\xff "};
    for (const auto &args : {plain, escaped}) {
        for (const std::string_view entry : catalogue) {
            const std::string format(entry);
            const std::size_t whole = expected_expansion(format, args, 4096).size();
            for (std::size_t capacity = 1; capacity <= whole + 2; ++capacity) {
                check(format, args, capacity);
            }
        }
    }
}

// Bytes of an argument that could end the line, start a forged one, move an
// operator's terminal or pass for an escape are shown as "\xNN"; printable
// ASCII stands as it is, and so a well-formed challenge shows unchanged.
TEST(ExpandFormat, ArgumentBytesOutsidePrintableAsciiAndTheBackslashAreEscaped) {
    const std::pair<const char *, const char *> rows[] = {
        {"0123456789ABCDEF0123456789ABCDEF ", "0123456789ABCDEF0123456789ABCDEF "},
        {" ~%s%d", " ~%s%d"},
        {"\n\r\t\x01\x1f", "\\x0a\\x0d\\x09\\x01\\x1f"},
        {"\x1b]0;owned\x07\x1b[2K\x1b[1A", "\\x1b]0;owned\\x07\\x1b[2K\\x1b[1A"},
        {"\\x0a\\", "\\x5cx0a\\x5c"},
        {"\x7f\x80\xc3\xa9\xff", "\\x7f\\x80\\xc3\\xa9\\xff"},
    };
    for (const auto &[argument, shown] : rows) {
        const char *args[] = {argument};
        char out[256];
        const std::size_t length = expand_format("<%s>", 4, args, 1, out, sizeof out);
        EXPECT_EQ(std::string(out, length), std::string("<") + shown + ">");
    }
    // The exit's own text: exactly its length, as it stands, cut only by
    // the line's end.
    static const char verbatim[] = "0123456789ABCDEF \0after the zero";
    const char *own[] = {"a\x01", verbatim};
    char out[64];
    EXPECT_EQ(std::string(out, expand_format("<%s|%s>", 7, own, 2, out, sizeof out, 30)),
              "<a\\x01|" + std::string(verbatim, 30) + ">");
    EXPECT_EQ(std::string(out, expand_format("<%s|%s>", 7, own, 2, out, 12, 30)), "<a\\x01|0123");
}

TEST(ExpandFormat, PercentSignsArgumentsAndTheirAbsence) {
    const std::vector<const char *> three = {"a", "", "ccc"};
    const std::vector<const char *> with_null = {"a", nullptr, "ccc"};
    const std::vector<const char *> none;
    for (const std::string format : {"", "%", "%%", "%s", "%s%s%s%s", "x%", "%d %s", "100% sure %s",
                                     "%%s", "%s%", "a%sb%sc%sd"}) {
        for (std::size_t capacity = 1; capacity <= 16; ++capacity) {
            check(format, three, capacity);
            check(format, with_null, capacity);
            check(format, none, capacity);
        }
    }
}

TEST(ExpandFormat, NoCapacityWritesNothing) {
    char out = '#';
    const char *args[] = {"abc"};
    EXPECT_EQ(expand_format("%s", 2, args, 1, &out, 0), 0u);
    EXPECT_EQ(out, '#');
}

// The format's length bounds it, not a terminator: a "%" as its last byte is
// text even when an "s" follows in memory.
TEST(ExpandFormat, FormatLengthIsTheBound) {
    const char format[] = "ab%s";
    const char *args[] = {"XYZ"};
    char out[16];
    EXPECT_EQ(expand_format(format, 3, args, 1, out, sizeof out), 3u);
    EXPECT_STREQ(out, "ab%");
}

} // namespace
} // namespace tarvelo
