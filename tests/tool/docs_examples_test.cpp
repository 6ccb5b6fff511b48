// The worked examples of the partner protocol guide, read from the document
// itself and checked against the exit's arithmetic and against the tarvelo
// program's respond and challenge commands. Partner engineers build their
// side from these numbers: a wrong one costs them days.
#include "tool_runner.h"

#include "auth/challenge.h"
#include "auth/md5.h"
#include "tests/support/hex_text.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace tarvelo::testing {
namespace {

using example = std::map<std::string, std::string>;

// Every fenced block of the guide read as "key   value" lines: the key ends
// at the first run of two or more blanks.
std::vector<example> fenced_blocks(const std::string &text) {
    std::vector<example> blocks;
    bool inside = false;
    for (const std::string &line : split_lines(text)) {
        if (line.rfind("```", 0) == 0) {
            inside = !inside;
            if (inside) {
                blocks.emplace_back();
            }
            continue;
        }
        const std::size_t gap = line.find("  ");
        if (!inside || gap == std::string::npos || gap == 0) {
            continue;
        }
        const std::size_t value = line.find_first_not_of(' ', gap);
        if (value != std::string::npos) {
            blocks.back()[line.substr(0, gap)] = line.substr(value);
        }
    }
    return blocks;
}

// A password is shown in quotes so that an empty one can be shown.
std::string unquoted(const std::string &text) {
    EXPECT_TRUE(text.size() >= 2 && text.front() == '"' && text.back() == '"') << text;
    return text.size() >= 2 ? text.substr(1, text.size() - 2) : text;
}

std::vector<example> guide_blocks() {
    const std::string guide = read_file(std::string(TARVELO_DOCS_DIR) + "/partner-protocol.md");
    EXPECT_FALSE(guide.empty()) << "the partner protocol guide cannot be read";
    return fenced_blocks(guide);
}

TEST(ProtocolGuide, ResponseExamplesMatchTheExitAndTheTool) {
    int checked = 0;
    for (const example &e : guide_blocks()) {
        if (e.count("response") == 0) {
            continue;
        }
        SCOPED_TRACE(e.at("password") + " " + e.at("challenge"));
        for (const char *key : {"password", "challenge", "MD5(password)", "decoded", "XOR"}) {
            ASSERT_EQ(e.count(key), 1u) << "the example lacks its " << key << " line";
        }
        const std::string password = unquoted(e.at("password"));
        const std::string &challenge = e.at("challenge");
        const std::string &response = e.at("response");
        ASSERT_EQ(challenge.size(), security_text_length);

        // Each step as the guide shows it.
        std::uint8_t digest[md5_digest_length];
        md5_digest(reinterpret_cast<const std::uint8_t *>(password.data()), password.size(),
                   digest);
        EXPECT_EQ(from_hex(e.at("MD5(password)")), std::vector<std::uint8_t>(digest, digest + 16));
        const std::vector<std::uint8_t> decoded = from_hex(e.at("decoded"));
        const std::vector<std::uint8_t> mixed = from_hex(e.at("XOR"));
        ASSERT_EQ(decoded.size(), 16u);
        ASSERT_EQ(mixed.size(), 16u);
        for (std::size_t i = 0; i < 16; ++i) {
            EXPECT_EQ(mixed[i], digest[i] ^ decoded[i]) << "byte " << i;
        }
        std::uint8_t final_digest[md5_digest_length];
        md5_digest(mixed.data(), 16, final_digest);
        EXPECT_EQ(to_hex(final_digest, 16, true), response);

        // The exit's own computation, and the tool's.
        EXPECT_EQ(response_to(password, challenge), response);
        const tool_result r = run_tool({"respond", password, challenge});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.out, response + "\n");
        ++checked;
    }
    EXPECT_GE(checked, 5) << "the guide's response examples were not found";
}

} // namespace
} // namespace tarvelo::testing
