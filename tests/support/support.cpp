// support.cpp: see support.h.
#include "tests/support/support.h"
#include "auth/challenge.h"
#include "tests/support/posix.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

namespace tarvelo::testing {
namespace {

std::string drain(int fd) {
    std::string text;
    lseek(fd, 0, SEEK_SET);
    char chunk[4096];
    for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;) {
        text.append(chunk, static_cast<std::size_t>(n));
    }
    close(fd);
    return text;
}

int scratch_file() {
    char name[] = "/tmp/tarvelo-capture-XXXXXX";
#if defined(_WIN32)
    // Windows keeps an open file's name: the C runtime removes it at close.
    if (_mktemp_s(name, sizeof name) != 0) {
        return -1;
    }
    return _open(name, _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY | _O_TEMPORARY,
                 _S_IREAD | _S_IWRITE);
#else
    int fd = mkstemp(name);
    unlink(name);
    return fd;
#endif
}

// The names in directory `path`, without "." and "..".
std::vector<std::string> names_in(const std::string &path) {
    std::vector<std::string> names;
    if (DIR *dir = opendir(path.c_str())) {
        while (dirent *entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        closedir(dir);
    }
    return names;
}

void remove_tree(const std::string &path) {
    for (const std::string &name : names_in(path)) {
        const std::string child = path + "/" + name;
        struct stat st {};
        if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            remove_tree(child);
        } else {
            unlink(child.c_str());
        }
    }
    rmdir(path.c_str());
}

} // namespace

tarvelo_entry_fn *exit_entry() {
    static standin::loaded_library library;
    static std::string error;
    static const bool loaded = library.load(TARVELO_LIBRARY_PATH, "TARVELO", &error);
    EXPECT_TRUE(loaded) << error;
    return library.entry();
}

captured_output::captured_output() {
    std::fflush(stdout);
    std::fflush(stderr);
    out_file_ = scratch_file();
    err_file_ = scratch_file();
    saved_out_ = dup(1);
    saved_err_ = dup(2);
    dup2(out_file_, 1);
    dup2(err_file_, 2);
}

captured_output::streams captured_output::take() {
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(saved_out_, 1);
    dup2(saved_err_, 2);
    close(saved_out_);
    close(saved_err_);
    taken_ = true;
    return {drain(out_file_), drain(err_file_)};
}

captured_output::~captured_output() {
    if (!taken_) {
        take();
    }
}

scratch_directory::scratch_directory() {
    // Short, so that a log path inside it fits the 32-byte exit data.
    char name[] = "/tmp/tv-XXXXXX";
    const char *made = mkdtemp(name);
    path_ = made != nullptr ? made : "";
    EXPECT_FALSE(path_.empty());
}

scratch_directory::~scratch_directory() {
    if (!path_.empty()) {
        remove_tree(path_);
    }
}

std::vector<std::string> scratch_directory::entries() const { return names_in(path_); }

void InScratchDirectory::SetUp() {
    char here[4096];
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    previous_ = here;
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
}

void InScratchDirectory::TearDown() { EXPECT_EQ(chdir(previous_.c_str()), 0); }

std::string escaped(const std::string &raw) {
    std::string text;
    for (const char c : raw) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7e || c == '\\') {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", byte);
            text += hex;
        } else {
            text += c;
        }
    }
    return text;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool write_file(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary);
    return static_cast<bool>(out << text);
}

bool file_exists(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool looks_like_timestamp(const std::string &text) {
    static const std::regex layout(
        "(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
        "[ 123][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}");
    return text.size() == 24 && std::regex_match(text, layout);
}

std::string without_timestamp(const std::string &line) {
    EXPECT_GE(line.size(), 25u) << line;
    if (line.size() < 25) {
        return line;
    }
    EXPECT_TRUE(looks_like_timestamp(line.substr(0, 24))) << line;
    EXPECT_EQ(line[24], ' ') << line;
    return line.substr(25);
}

std::vector<std::string> bodies_of(const std::string &text) {
    std::vector<std::string> bodies;
    for (const std::string &line : split_lines(text)) {
        bodies.push_back(without_timestamp(line));
    }
    return bodies;
}

standin::channel_config channel_with(const std::string &log_path, bool trace) {
    standin::channel_config config;
    config.exit_data = log_path + (trace ? " TRACEON" : "");
    return config;
}

void turn_trace_off() {
    standin::channel ch(exit_entry(), standin::channel_config{});
    captured_output quiet;
    ch.initialise();
    ch.terminate();
}

std::string response_to(const std::string &password, std::string challenge) {
    compute_response(reinterpret_cast<const std::uint8_t *>(password.data()), password.size(),
                     reinterpret_cast<std::uint8_t *>(challenge.data()));
    return challenge;
}

std::vector<std::vector<std::string>> read_vectors(const std::string &name) {
    std::ifstream file(std::string(TARVELO_VECTORS_DIR) + "/" + name);
    std::vector<std::vector<std::string>> lines;
    for (std::string line; std::getline(file, line);) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream in(line);
        std::vector<std::string> fields;
        for (std::string field; in >> field;) {
            fields.push_back(field);
        }
        lines.push_back(fields);
    }
    return lines;
}

} // namespace tarvelo::testing
