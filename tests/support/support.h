// support.h: what the end-to-end tests share: the built library loaded as a
// host loads it, captured standard streams, scratch directories and files.
#ifndef TARVELO_TESTS_SUPPORT_SUPPORT_H
#define TARVELO_TESTS_SUPPORT_SUPPORT_H

#include "standin/host.h"

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

std::string read_file(const std::string &path);
bool file_exists(const std::string &path);
std::vector<std::string> split_lines(const std::string &text);

// A line as written, without its 24-character timestamp and the blank after
// it; fails the test if the timestamp does not have the ctime layout.
std::string without_timestamp(const std::string &line);
bool looks_like_timestamp(const std::string &text);

// A channel config whose exit data names `log_path` and, when asked, TRACEON.
standin::channel_config channel_with(const std::string &log_path, bool trace);

} // namespace tarvelo::testing

#endif
