// The terminal program; a program started in the lab's monitor namespace
// for the length of a test, its output in a file, ended with SIGTERM by the
// pid the test holds; and a wait for a condition with a deadline.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "lab/lab_fixture.h"
#include "test_support.h"

namespace lwlab {

// The built linewatch-cli, or the one on PATH.
inline std::string CliPath() {
#ifdef LW_CLI
    return LW_CLI;
#else
    return "linewatch-cli";
#endif
}

class Child {
  public:
    // `ip netns exec` runs the program in place, so Pid() is the program's.
    Child(std::vector<std::string> argv, std::string outputFile) : output_(std::move(outputFile)) {
        argv.insert(argv.begin(), {"ip", "netns", "exec", std::string(kMonitorNamespace)});
        std::vector<char*> args;
        for (std::string& arg : argv) args.push_back(arg.data());
        args.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            const int fd = open(output_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            dup2(fd, STDOUT_FILENO);
            dup2(fd, STDERR_FILENO);
            execvp(args[0], args.data());
            _exit(127);
        }
    }
    ~Child() { Stop(); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    int Stop() {
        if (pid_ <= 0) return -1;
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    pid_t Pid() const { return pid_; }
    std::string Output() const { return ReadFile(output_); }

  private:
    pid_t pid_ = -1;
    std::string output_;
};

inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return done();
}

}  // namespace lwlab
