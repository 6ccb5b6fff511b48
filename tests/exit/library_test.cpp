// The library as a host's loader sees it: one exported name, and nothing
// needed at run time but the C library.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <regex>
#include <set>
#include <sstream>
#include <string>

// A sanitized build links the sanitizers' runtimes into the library as well.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TARVELO_TESTS_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TARVELO_TESTS_SANITIZED 1
#endif
#endif

namespace {

std::string run(const std::string &command) {
    std::string output;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return output;
    }
    std::array<char, 4096> chunk{};
    while (std::fgets(chunk.data(), static_cast<int>(chunk.size()), pipe) != nullptr) {
        output += chunk.data();
    }
    pclose(pipe);
    return output;
}

std::set<std::string> matches(const std::string &text, const std::regex &pattern,
                              std::size_t group) {
    std::set<std::string> found;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_search(line, m, pattern)) {
            found.insert(m[group]);
        }
    }
    return found;
}

TEST(Library, ExportsOnlyTheEntryPoint) {
    const std::string table = run("readelf --dyn-syms -W '" TARVELO_LIBRARY_PATH "'");
    ASSERT_NE(table.find("Symbol table"), std::string::npos) << table;
    // Defined symbols have a section index; undefined ones say UND. On
    // ppc64le a function's local entry point comes between visibility and
    // index ("DEFAULT [<localentry>: 8] 10 TARVELO").
    const std::regex defined(R"(\s(GLOBAL|WEAK)\s+\S+(\s+\[[^\]]*\])?\s+(\d+)\s+(\S+)\s*$)");
    std::set<std::string> names;
    std::istringstream lines(table);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_search(line, m, defined)) {
            names.insert(m[4]);
        }
    }
    EXPECT_EQ(names, std::set<std::string>{"TARVELO"}) << table;
}

TEST(Library, NeedsOnlyTheCLibrary) {
#ifdef TARVELO_TESTS_SANITIZED
    GTEST_SKIP() << "a sanitized library needs the sanitizers' runtimes";
#endif
    const std::string dynamic = run("readelf -d -W '" TARVELO_LIBRARY_PATH "'");
    const auto needed = matches(dynamic, std::regex(R"(\(NEEDED\).*\[(.*)\])"), 1);
    ASSERT_FALSE(needed.empty()) << dynamic;
    // The dynamic loader is glibc's too: on aarch64 the stack protector's
    // guard (__stack_chk_guard) is one of its symbols.
    for (const std::string &library : needed) {
        const bool c_library = library.rfind("libc.so", 0) == 0 ||
                               library.rfind("ld-linux", 0) == 0 ||
                               library.rfind("ld64.so", 0) == 0;
        EXPECT_TRUE(c_library) << "needs " << library;
    }
    // Hosts run on long-lived systems: nothing of the C library newer than
    // glibc 2.17 (2012) may be asked for, or such a host cannot load the
    // exit at all. A new symbol version creeps in with a call as plain as
    // fstat or getrandom.
    const std::string versions = run("objdump -T '" TARVELO_LIBRARY_PATH "'");
    for (const std::string &v : matches(versions, std::regex(R"(GLIBC_2\.(\d+))"), 1)) {
        EXPECT_LE(std::stoi(v), 17) << "needs GLIBC_2." << v << "\n" << versions;
    }
}

} // namespace
