#pragma once

// Shared pieces of the setupaid tests: a system root in a temporary folder,
// a private system bus with stand-in services, a recording command runner,
// shell commands, and a way to run a call as an ordinary user.

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "setupaid/command_runner.h"
#include "test_support.h"

extern char** environ;

namespace setupaid_test {

// The uid and gid of "nobody", the ordinary user of the tests.
inline constexpr uid_t kNobody = 65534;

// A system root for one test: LW_SETUPAID_ROOT points at a fresh folder, and
// the system bus at a socket nobody listens on, so that no test reaches the
// machine's own files or services by accident.
class TestRoot {
  public:
    TestRoot() { chmod(root_.Path().c_str(), 0755); }

    const std::string& Path() const { return root_.Path(); }
    std::string operator/(const std::string& path) const { return root_.Path() + path; }

    // Writes a file below the root, making its folders.
    void Write(const std::string& path, const std::string& content) const {
        const std::filesystem::path full = root_.Path() + path;
        std::filesystem::create_directories(full.parent_path());
        std::ofstream(full, std::ios::binary) << content;
    }
    std::string Read(const std::string& path) const { return ReadFile(root_.Path() + path); }
    bool Exists(const std::string& path) const {
        return std::filesystem::exists(root_.Path() + path);
    }

  private:
    TempFolder root_{"setupaid"};
    ScopedEnv rootVariable_{"LW_SETUPAID_ROOT", root_.Path().c_str()};
    ScopedEnv busVariable_{"DBUS_SYSTEM_BUS_ADDRESS",
                           ("unix:path=" + root_.Path() + "/no-bus-here").c_str()};
};

// What a shell command printed on standard output, and its exit status.
struct ShellResult {
    std::string output;
    int exitStatus = -1;
};
inline ShellResult Shell(const std::string& command) {
    ShellResult result;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return result;
    char buffer[4096];
    for (size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        result.output.append(buffer, got);
    }
    const int status = pclose(pipe);
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// A process started from an argument list; ended and reaped at the end.
class ChildProcess {
  public:
    explicit ChildProcess(std::vector<std::string> argv) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        std::vector<char*> pointers = setupaid::ArgumentPointers(argv);
        if (posix_spawnp(&pid_, argv[0].c_str(), &actions, nullptr, pointers.data(), environ) !=
            0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        output_ = fds[0];
    }
    ~ChildProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (output_ >= 0) close(output_);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The first line the process prints; empty when it ends without one.
    std::string FirstLine() {
        std::string line;
        char c = 0;
        while (read(output_, &c, 1) == 1 && c != '\n') line += c;
        return line;
    }

  private:
    pid_t pid_ = -1;
    int output_ = -1;
};

// A private bus standing in for the system bus (DBUS_SYSTEM_BUS_ADDRESS points
// at it for the bus's life), with the stand-in services started on demand.
class PrivateSystemBus {
  public:
    explicit PrivateSystemBus(const std::string& folder) : folder_(folder) {
        std::ofstream(folder + "/bus.conf")
            << "<busconfig><type>custom</type><listen>unix:path=" << folder
            << "/system_bus_socket</listen><auth>EXTERNAL</auth><policy context=\"default\">"
               "<allow user=\"*\"/><allow own=\"*\"/><allow send_destination=\"*\"/>"
               "<allow receive_sender=\"*\"/>"
               "</policy></busconfig>\n";
        daemon_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"dbus-daemon", "--config-file=" + folder + "/bus.conf",
                                     "--nofork", "--print-address=1"});
        address_ = daemon_->FirstLine();
        variable_ = std::make_unique<ScopedEnv>("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str());
    }

    bool Running() const { return !address_.empty(); }
    std::string Log() const { return ReadFile(folder_ + "/services.log"); }

    // Starts the stand-in services with these options; true once they run.
    bool StartServices(const std::vector<std::string>& options) {
        std::vector<std::string> argv = {"/usr/bin/python3", LW_SETUPAID_FAKE_SERVICES, "--log",
                                         folder_ + "/services.log"};
        argv.insert(argv.end(), options.begin(), options.end());
        services_ = std::make_unique<ChildProcess>(argv);
        return services_->FirstLine() == "ready";
    }

  private:
    std::string folder_;
    std::string address_;
    std::unique_ptr<ChildProcess> daemon_;
    std::unique_ptr<ScopedEnv> variable_;
    std::unique_ptr<ChildProcess> services_;
};

// A network namespace of these tests' own (named lwsa23-PID-N, apart from the
// network lab's), where nft works on a ruleset of its own. Needs root.
class FirewallNamespace {
  public:
    FirewallNamespace() {
        static int counter = 0;
        name_ = "lwsa23-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
        ok_ = Shell("ip netns add " + name_ + " 2>&1").exitStatus == 0;
    }
    ~FirewallNamespace() {
        if (ok_) Shell("ip netns del " + name_);
    }
    FirewallNamespace(const FirewallNamespace&) = delete;
    FirewallNamespace& operator=(const FirewallNamespace&) = delete;

    bool ok() const { return ok_; }

    // nft with these arguments inside, its output and error output together.
    ShellResult Nft(const std::string& arguments) const {
        return Shell("ip netns exec " + name_ + " nft " + arguments + " 2>&1");
    }
    // Runs body on a thread that has entered the namespace, so that the
    // commands it starts work there; false when the thread could not enter.
    bool RunInside(const std::function<void()>& body) const {
        bool entered = false;
        std::thread worker([&] {
            const int fd = open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) return;
            entered = setns(fd, CLONE_NEWNET) == 0;
            close(fd);
            if (entered) body();
        });
        worker.join();
        return entered;
    }

  private:
    std::string name_;
    bool ok_ = false;
};

// Records the commands the library runs, as lines. Programs in real run for
// real; others answer from answers (exit 0 and no output when not listed).
class RecordingRunner : public setupaid::CommandRunner {
  public:
    RecordingRunner() { setupaid::SetCommandRunner(this); }
    ~RecordingRunner() override { setupaid::SetCommandRunner(nullptr); }
    RecordingRunner(const RecordingRunner&) = delete;
    RecordingRunner& operator=(const RecordingRunner&) = delete;

    bool Has(const std::string& program) override {
        return missing.count(program) == 0 && (real.count(program) == 0 || real_.Has(program));
    }
    setupaid::CommandResult Run(const std::vector<std::string>& argv) override {
        std::string line;
        for (const std::string& word : argv) line += (line.empty() ? "" : " ") + word;
        commands.push_back(line);
        argvs.push_back(argv);
        if (real.count(argv[0]) != 0) return real_.Run(argv);
        const auto answer = answers.find(line);
        return answer != answers.end() ? answer->second : setupaid::CommandResult{true, 0, ""};
    }

    std::set<std::string> real;
    std::set<std::string> missing;
    std::map<std::string, setupaid::CommandResult> answers;
    std::vector<std::string> commands;
    std::vector<std::vector<std::string>> argvs;

  private:
    setupaid::SystemCommandRunner real_;
};

// A real account with a home of its own, for one test: made with useradd,
// removed with its home at the end. Names carry the issue of the test so that
// tests running side by side never share one.
class TestAccount {
  public:
    explicit TestAccount(std::string name) : name_(std::move(name)) {
        Remove();
        if (Shell("useradd -m -s /bin/sh " + name_ + " 2>&1").exitStatus != 0) return;
        const ShellResult uid = Shell("id -u " + name_);
        const ShellResult home = Shell("getent passwd " + name_ + " | cut -d: -f6");
        if (uid.exitStatus != 0 || home.output.empty()) return;
        uid_ = static_cast<uid_t>(std::stoul(uid.output));
        home_ = home.output.substr(0, home.output.find('\n'));
        ok_ = true;
    }
    ~TestAccount() { Remove(); }
    TestAccount(const TestAccount&) = delete;
    TestAccount& operator=(const TestAccount&) = delete;

    bool ok() const { return ok_; }
    uid_t uid() const { return uid_; }
    const std::string& home() const { return home_; }

  private:
    // Forced: a program the test started as the user may not have ended yet.
    void Remove() const { Shell("userdel -f -r " + name_ + " >/dev/null 2>&1"); }

    std::string name_;
    uid_t uid_ = 0;
    std::string home_;
    bool ok_ = false;
};

// Runs call in a child process as "nobody" and answers what it returned
// (-1 when the child could not take on that user).
inline int RunAsNobody(const std::function<int()>& call) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(255);
        _exit(call());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) != 255 ? WEXITSTATUS(status) : -1;
}

// Waits until check() holds or a generous bound passes; the answer of check().
inline bool WaitFor(const std::function<bool()>& check) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!check()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace setupaid_test
