// tool_runner.cpp: see tool_runner.h.
#include "tool_runner.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace tarvelo::testing {

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

tool_result run_tool(const std::vector<std::string> &args, const std::string &input,
                     const std::string &output) {
    // The streams go to files rather than pipes: nothing can block however
    // much the program writes.
    char out_path[] = "/tmp/tarvelo-tool-out-XXXXXX";
    char err_path[] = "/tmp/tarvelo-tool-err-XXXXXX";
    const int out_fd = mkstemp(out_path);
    const int err_fd = mkstemp(err_path);
    tool_result result;
    if (out_fd < 0 || err_fd < 0) {
        ADD_FAILURE() << "cannot create files for the program's output";
        return result;
    }
    std::vector<std::string> argv_text = {TARVELO_TOOL_PATH};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : argv_text) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
    if (output.empty()) {
        posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY, 0);
    }
    posix_spawn_file_actions_adddup2(&actions, err_fd, 2);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out_fd);
    close(err_fd);
    if (spawned == 0) {
        int status = 0;
        waitpid(pid, &status, 0);
        result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    } else {
        ADD_FAILURE() << "cannot start " << argv[0];
    }
    result.out = slurp(out_path);
    result.err = slurp(err_path);
    unlink(out_path);
    unlink(err_path);
    return result;
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string last_line(const std::string &text) {
    const std::vector<std::string> lines = lines_of(text);
    return lines.empty() ? std::string() : lines.back();
}

} // namespace tarvelo::testing
