// The line formatter copies whole runs of text and whole arguments at once.
// Every cut it can make is checked against the plain reading of its
// contract: fill each "%s" in order, then keep the first capacity - 1 bytes.
#include "log/catalogue.h"
#include "log/line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarvelo {
namespace {

std::string expected_expansion(const std::string &format, const std::vector<const char *> &args,
                               std::size_t capacity) {
    std::string whole;
    std::size_t next = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == 's') {
            const char *arg = next < args.size() ? args[next] : nullptr;
            ++next;
            whole += arg != nullptr ? arg : "";
            ++i;
        } else {
            whole += format[i];
        }
    }
    return whole.substr(0, capacity - 1);
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
    const std::vector<const char *> args = {"Tue Dec  8 18:37:01 2026", "TO.PARTNER          ",
                                            "0123456789ABCDEF0123456789ABCDEF "};
    for (const std::string_view entry : catalogue) {
        const std::string format(entry);
        const std::size_t whole = expected_expansion(format, args, 4096).size();
        for (std::size_t capacity = 1; capacity <= whole + 2; ++capacity) {
            check(format, args, capacity);
        }
    }
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
