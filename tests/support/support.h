// support.h: what the tests of every folder share: the built library loaded
// as a host loads it, captured standard streams, scratch directories and
// files, and the response a partner computes.
#ifndef TARVELO_TESTS_SUPPORT_SUPPORT_H
#define TARVELO_TESTS_SUPPORT_SUPPORT_H

#include "standin/host.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarvelo::testing {

// The entry point of the built library, loaded once by path and found by
// name. Fails the current test when either step fails.
tarvelo_entry_fn *exit_entry();

// Captures what the process writes to standard output and standard error
// (the file descriptors themselves, so the library's writes are caught)
// from construction until take().
class captured_output {
public:
    captured_output();
    ~captured_output();
    captured_output(const captured_output &) = delete;
    captured_output &operator=(const captured_output &) = delete;

    struct streams {
        std::string out;
        std::string err;
    };
    streams take();

private:
    int saved_out_ = -1;
    int saved_err_ = -1;
    int out_file_ = -1;
    int err_file_ = -1;
    bool taken_ = false;
};

// A scratch directory, removed with everything in it when destroyed.
class scratch_directory {
public:
    scratch_directory();
    ~scratch_directory();
    scratch_directory(const scratch_directory &) = delete;
    scratch_directory &operator=(const scratch_directory &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    std::vector<std::string> entries() const;

private:
    std::string path_;
};

// The working directory of a test is a scratch directory, so that relative
// log paths land there.
class InScratchDirectory : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    scratch_directory dir_;

private:
    std::string previous_;
};

inline bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// A name or argument as the exit writes it into a line: every byte outside
// printable ASCII, and the backslash, as "\xNN".
std::string escaped(const std::string &raw);

// The whole file, as bytes; empty when it cannot be read.
std::string read_file(const std::string &path);
// Makes `text` the whole file; false when it cannot.
bool write_file(const std::string &path, const std::string &text);
bool file_exists(const std::string &path);
// The lines of `text` without their line feeds; a last line without one
// counts too.
std::vector<std::string> split_lines(const std::string &text);

// A line as written, without its 24-character timestamp and the blank after
// it; fails the test if the timestamp does not have the ctime layout.
std::string without_timestamp(const std::string &line);
bool looks_like_timestamp(const std::string &text);
// The lines of `text`, each without its timestamp.
std::vector<std::string> bodies_of(const std::string &text);

// A channel config whose exit data names `log_path` and, when asked, TRACEON.
standin::channel_config channel_with(const std::string &log_path, bool trace);

// Any channel's start turns trace off for every channel: one started and
// ended, quietly.
void turn_trace_off();
// Whether `out` holds the trace line of a security message received.
bool traced(const std::string &out);

// The response to a 32-character `challenge` with `password`, as a partner
// computes it.
std::string response_to(const std::string &password, std::string challenge);

// The lines of the known-answer file tests/vectors/`name` as their
// blank-separated fields, leaving out empty lines and comments ("#"); no
// lines when the file cannot be read.
std::vector<std::vector<std::string>> read_vectors(const std::string &name);

} // namespace tarvelo::testing

#endif
