// GoogleTest fixture for tests that run against the network lab (lab.sh):
// real access concentrators, a foreign station, an unpluggable cable and our
// PADO responder on one bridged segment.
//
//   class MyLabTest : public LabTest {};
//   TEST_F(MyLabTest, SeesBothConcentrators) {
//     NetworkNamespaceScope in_monitor(MonitorNamespace());   // this thread only
//     ... open a capture on MonitorInterface() ...
//     ASSERT_EQ(Lab({"ac-stop", "2"}), 0);
//   }
//
// The lab is built once per test program (SetUpTestSuite) and removed after
// it. Without root, or without ip / pppoe-server / tshark, every test skips
// and says why. A lock file keeps two lab users on one machine apart.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "lab/tools/pppoe_frame.h"

namespace lwlab {

// The lab's fixed names; lab.sh holds the same ones.
inline constexpr std::string_view kMonitorNamespace = "lwmon";
inline constexpr std::string_view kMonitorInterface = "lwmon0";
inline constexpr MacAddress kMonitorMac = {0x02, 0x4c, 0x57, 0x00, 0x01, 0x01};
inline constexpr MacAddress kAc1Mac = {0x02, 0x4c, 0x57, 0x00, 0x0a, 0x01};
inline constexpr MacAddress kAc2Mac = {0x02, 0x4c, 0x57, 0x00, 0x0a, 0x02};
inline constexpr MacAddress kStationMac = {0x02, 0x4c, 0x57, 0x00, 0x05, 0x01};
inline constexpr std::string_view kAc1Name = "LabAC-One";
inline constexpr std::string_view kAc2Name = "LabAC-Two";
inline constexpr const char* kLockFile = "/run/lwlab.lock";

// Runs a program (no shell) and returns its exit status, or -1 when it could
// not be started or did not exit normally. Standard output and error are
// collected into `output` when given, else discarded.
inline int RunProgram(const std::vector<std::string>& argv, std::string* output = nullptr) {
    if (argv.empty()) {
        return -1;
    }
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
        return -1;
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        return -1;
    }
    if (pid == 0) {
        dup2(pipe_fds[1], STDOUT_FILENO);
        dup2(pipe_fds[1], STDERR_FILENO);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(pipe_fds[1]);
    std::string collected;
    char chunk[4096];
    for (;;) {
        const ssize_t n = read(pipe_fds[0], chunk, sizeof chunk);
        if (n > 0) {
            collected.append(chunk, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    close(pipe_fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    if (output != nullptr) {
        *output = std::move(collected);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Whether a program is on PATH or in the system folders root's PATH holds.
inline bool ProgramExists(std::string_view name) {
    std::string search = "/usr/sbin:/sbin:/usr/bin:/bin";
    if (const char* path = std::getenv("PATH")) {
        search = std::string(path) + ":" + search;
    }
    std::size_t start = 0;
    while (start <= search.size()) {
        const std::size_t end = std::min(search.find(':', start), search.size());
        const std::filesystem::path candidate =
            std::filesystem::path(search.substr(start, end - start)) / name;
        if (access(candidate.c_str(), X_OK) == 0) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

// Moves the calling thread into a named network namespace (from `ip netns`)
// and back when it ends. Sockets and captures opened inside stay in that
// namespace; threads started inside inherit it. /sys/class/net still shows
// the namespace /sys was mounted in, so read link state through sockets,
// netlink or `ip -n`.
class NetworkNamespaceScope {
  public:
    explicit NetworkNamespaceScope(std::string_view name) {
        original_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        const std::string path = "/run/netns/" + std::string(name);
        const int target = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (original_ >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0) {
            entered_ = true;
        } else {
            error_ = path + ": " + std::strerror(errno);
        }
        if (target >= 0) {
            close(target);
        }
    }
    ~NetworkNamespaceScope() {
        if (entered_) {
            setns(original_, CLONE_NEWNET);
        }
        if (original_ >= 0) {
            close(original_);
        }
    }
    NetworkNamespaceScope(const NetworkNamespaceScope&) = delete;
    NetworkNamespaceScope& operator=(const NetworkNamespaceScope&) = delete;

    bool entered() const { return entered_; }
    const std::string& error() const { return error_; }

  private:
    int original_ = -1;
    bool entered_ = false;
    std::string error_;
};

class LabTest : public ::testing::Test {
  public:
    static void SetUpTestSuite() {
        State& state = GetState();
        state = State{};
        if (geteuid() != 0) {
            state.skip_reason = "the network lab needs root (network namespaces); run as root";
            return;
        }
        for (const char* tool : {"ip", "pppoe-server", "pppoe-discovery", "tshark"}) {
            if (!ProgramExists(tool)) {
                state.skip_reason =
                    std::string("the network lab needs '") + tool +
                    "' (Debian packages iproute2, pppoe, ppp, tshark); run scripts/setup";
                return;
            }
        }
#ifdef LW_PADO_RESPONDER
        // Tests find the responder built next to them unless told otherwise.
        setenv("LW_PADO_RESPONDER", LW_PADO_RESPONDER, 0);
#endif
        // Only one lab can exist at a time; wait for another user to finish,
        // unless this program runs under `lab.sh run`, which holds the lock.
        if (std::getenv("LW_LAB_LOCK_HELD") == nullptr) {
            state.lock_fd = open(kLockFile, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
            if (state.lock_fd < 0 || flock(state.lock_fd, LOCK_EX) != 0) {
                state.failure =
                    std::string("cannot lock ") + kLockFile + ": " + std::strerror(errno);
                return;
            }
            setenv("LW_LAB_LOCK_HELD", "1", 1);
        }
        std::string output;
        if (RunProgram({LabScript(), "up"}, &output) != 0) {
            state.failure = "lab.sh up failed:\n" + output;
            RunProgram({LabScript(), "down"});
            return;
        }
        state.up = true;
    }

    static void TearDownTestSuite() {
        State& state = GetState();
        if (state.up) {
            RunProgram({LabScript(), "down"});
            state.up = false;
        }
        if (state.lock_fd >= 0) {
            close(state.lock_fd);
            state.lock_fd = -1;
            unsetenv("LW_LAB_LOCK_HELD");
        }
    }

    static std::string LabScript() {
#ifdef LW_LAB_SCRIPT
        return LW_LAB_SCRIPT;
#else
        return (std::filesystem::path(__FILE__).parent_path() / "lab.sh").string();
#endif
    }
    static std::string MonitorNamespace() {
        return std::string(kMonitorNamespace);
    }
    static std::string MonitorInterface() {
        return std::string(kMonitorInterface);
    }

    // Runs a lab.sh subcommand, e.g. Lab({"ac-stop", "1"}); returns its status.
    static int Lab(std::initializer_list<std::string> args, std::string* output = nullptr) {
        std::vector<std::string> argv{LabScript()};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProgram(argv, output);
    }

  protected:
    void SetUp() override {
        const State& state = GetState();
        if (!state.skip_reason.empty()) {
            GTEST_SKIP() << state.skip_reason;
        }
        if (!state.up) {
            FAIL() << state.failure;
        }
    }

  private:
    struct State {
        std::string skip_reason;
        std::string failure;
        bool up = false;
        int lock_fd = -1;
    };
    static State& GetState() {
        static State state;
        return state;
    }
};

}  // namespace lwlab
