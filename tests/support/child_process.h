#pragma once
// Starts a program in its own directory and environment, for end-to-end tests of the
// real binary.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace quorvel::testing {

// Descriptors the child gets as its standard input, output and error (-1: the test's own;
// kClosed: none, the child starts with that descriptor closed).
struct ChildStdio {
    static constexpr int kClosed = -2;
    int in = -1;
    int out = -1;
    int err = -1;
};

class ChildProcess {
  public:
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::string& dir, const std::map<std::string, std::string>& env,
                 ChildStdio stdio = {}) {
        std::vector<std::string> env_strings;
        for (char** e = environ; *e; ++e) {
            const std::string entry(*e);
            const std::string key = entry.substr(0, entry.find('='));
            if (!env.count(key)) env_strings.push_back(entry);
        }
        for (const auto& [k, v] : env) env_strings.push_back(k + "=" + v);
        std::vector<char*> envp;
        for (auto& s : env_strings) envp.push_back(s.data());
        envp.push_back(nullptr);
        std::vector<std::string> argv_strings{program};
        argv_strings.insert(argv_strings.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& s : argv_strings) argv.push_back(s.data());
        argv.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
        for (const auto& [from, to] : {std::pair{stdio.in, STDIN_FILENO},
                                       {stdio.out, STDOUT_FILENO},
                                       {stdio.err, STDERR_FILENO}}) {
            if (from >= 0) posix_spawn_file_actions_adddup2(&actions, from, to);
            if (from == ChildStdio::kClosed) posix_spawn_file_actions_addclose(&actions, to);
        }
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~ChildProcess() {
        if (pid_ > 0 && !exit_code_) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    void signal(int sig) const { ::kill(pid_, sig); }

    // The exit code once the program has ended within the limit; -1 for a signal death.
    std::optional<int> wait_exit(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!exit_code_ && std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            const pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        return exit_code_;
    }
    bool running() {
        if (exit_code_) return false;
        int status = 0;
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return !exit_code_;
    }

    // Whether the child has a handler for the signal yet (the kernel's own account), so a
    // test never races the program's start-up with a signal that would simply kill it.
    bool catches(int sig) const {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("SigCgt:", 0) == 0)
                return (std::stoull(line.substr(7), nullptr, 16) >> (sig - 1)) & 1u;
        }
        return false;
    }

  private:
    pid_t pid_ = -1;
    std::optional<int> exit_code_;
};

}  // namespace quorvel::testing
