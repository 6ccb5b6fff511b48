// tool_runner.cpp: see tool_runner.h.
#include "tool_runner.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace tarvelo::testing {

tool_result run_tool(const std::vector<std::string> &args, const std::string &input,
                     const std::string &output) {
    tool_run how;
    how.input = input;
    how.output = output;
    return run_tool(args, how);
}

tool_result run_tool(const std::vector<std::string> &args, const tool_run &how) {
    const std::string &input = how.input;
    const std::string &output = how.output;
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
    int pipe_ends[2] = {-1, -1};
    if (output == closed_pipe) {
        if (pipe(pipe_ends) != 0) {
            ADD_FAILURE() << "cannot make a pipe";
            return result;
        }
        close(pipe_ends[0]);
        posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 1);
    } else if (output.empty()) {
        posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY, 0);
    }
    posix_spawn_file_actions_adddup2(&actions, err_fd, 2);
    if (!how.directory.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, how.directory.c_str());
    }
    // The limit is inherited: ours is lowered for the moment of the spawn.
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (how.open_files_most > 0) {
        rlimit lower = limit;
        lower.rlim_cur = static_cast<rlim_t>(how.open_files_most);
        setrlimit(RLIMIT_NOFILE, &lower);
    }
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    setrlimit(RLIMIT_NOFILE, &limit);
    posix_spawn_file_actions_destroy(&actions);
    close(out_fd);
    close(err_fd);
    if (pipe_ends[1] >= 0) {
        close(pipe_ends[1]);
    }
    if (spawned == 0) {
        // Polled, so that a program that hangs is killed and fails the test
        // instead of holding the suite.
        int status = 0;
        const auto start = std::chrono::steady_clock::now();
        bool interrupted = false;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            const auto waited = std::chrono::steady_clock::now() - start;
            if (!interrupted && how.interrupt_after_ms >= 0 &&
                waited >= std::chrono::milliseconds(how.interrupt_after_ms)) {
                kill(pid, SIGINT);
                interrupted = true;
            }
            if (waited >= std::chrono::seconds(how.timeout_seconds)) {
                ADD_FAILURE() << "the program did not end within " << how.timeout_seconds << " s";
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    } else {
        ADD_FAILURE() << "cannot start " << argv[0];
    }
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    unlink(out_path);
    unlink(err_path);
    return result;
}

std::string last_line(const std::string &text) {
    const std::vector<std::string> lines = split_lines(text);
    return lines.empty() ? std::string() : lines.back();
}

} // namespace tarvelo::testing
