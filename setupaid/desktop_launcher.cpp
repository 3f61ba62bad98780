#include "setupaid/desktop_launcher.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "setupaid/command_runner.h"
#include "setupaid/debug_output.h"
#include "setupaid/setupaid.h"
#include "setupaid/text_file.h"

extern char** environ;

namespace setupaid {
namespace {

// Session variables a desktop program needs that the user's own session set
// and sudo or pkexec may have passed on.
constexpr const char* kSessionVariables[] = {"DISPLAY",
                                             "WAYLAND_DISPLAY",
                                             "XAUTHORITY",
                                             "XDG_CURRENT_DESKTOP",
                                             "XDG_SESSION_TYPE",
                                             "XDG_SESSION_DESKTOP",
                                             "DESKTOP_SESSION",
                                             "DBUS_SESSION_BUS_ADDRESS",
                                             "LANG",
                                             "LANGUAGE",
                                             "LC_ALL",
                                             "LC_MESSAGES"};

std::optional<uid_t> ParseUid(const char* text) {
    if (*text == '\0') return std::nullopt;
    uid_t value = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') return std::nullopt;
        const uid_t next = value * 10 + static_cast<uid_t>(*c - '0');
        if (next / 10 != value) return std::nullopt;
        value = next;
    }
    if (value == static_cast<uid_t>(-1)) return std::nullopt;
    return value;
}

// Everything the child needs, prepared before fork: after fork only calls
// that are safe in a child of a threaded process are made.
struct LaunchPlan {
    std::string program;
    std::vector<std::string> arguments;
    std::vector<std::string> environment;
    std::string home;  // the working folder ("/" when it cannot be entered)
    bool switchUser = false;
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
};

// The account entry of uid; false when there is none.
bool FindAccount(uid_t uid, passwd& entry, std::vector<char>& buffer) {
    const long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    buffer.resize(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd* found = nullptr;
    while (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == ERANGE) {
        buffer.resize(buffer.size() * 2);
    }
    return found != nullptr;
}

int PlanUser(uid_t uid, LaunchPlan& plan) {
    std::vector<char> buffer;
    passwd entry{};
    if (!FindAccount(uid, entry, buffer)) {
        DebugOutput("SendFeedback: no account has the user id " + std::to_string(uid) +
                    "; nothing started");
        return SETUPAID_FAILED;
    }

    int count = 32;
    plan.groups.resize(static_cast<size_t>(count));
    while (getgrouplist(entry.pw_name, entry.pw_gid, plan.groups.data(), &count) < 0) {
        plan.groups.resize(static_cast<size_t>(count));
    }
    plan.groups.resize(static_cast<size_t>(count));
    plan.switchUser = true;
    plan.uid = uid;
    plan.gid = entry.pw_gid;
    plan.home = entry.pw_dir;

    const std::string runtime = "/run/user/" + std::to_string(uid);
    plan.environment = {std::string("HOME=") + entry.pw_dir, std::string("USER=") + entry.pw_name,
                        std::string("LOGNAME=") + entry.pw_name,
                        std::string("SHELL=") + entry.pw_shell,
                        "PATH=/usr/local/bin:/usr/bin:/bin"};
    bool haveBus = false;
    if (IsFolder(runtime)) {
        plan.environment.push_back("XDG_RUNTIME_DIR=" + runtime);
        if (PathExists(runtime + "/bus")) {
            plan.environment.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime + "/bus");
            haveBus = true;
        }
    }
    for (const char* name : kSessionVariables) {
        if (haveBus && std::strcmp(name, "DBUS_SESSION_BUS_ADDRESS") == 0) continue;
        if (const char* value = std::getenv(name)) {
            plan.environment.push_back(std::string(name) + "=" + value);
        }
    }
    return SETUPAID_DONE;
}

void ReportAndExit(int fd, int error) {
    ssize_t ignored = write(fd, &error, sizeof error);
    (void)ignored;
    _exit(127);
}

// Every descriptor above 2 closed when the program starts: the caller's open
// files must not reach it. reportFd (close-on-exec) stays usable until then.
void CloseInheritedDescriptors(int reportFd) {
    if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
    // Kernels before 5.11: close them one by one.
    rlimit limit{};
    int highest = 65536;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        limit.rlim_cur < (1U << 20)) {
        highest = static_cast<int>(limit.rlim_cur);
    }
    for (int fd = 3; fd < highest; ++fd) {
        if (fd != reportFd) close(fd);
    }
}

// The program's process: a new session, the user's identity and home, no
// terminal, nothing of the caller's open files.
[[noreturn]] void RunProgram(const LaunchPlan& plan, char* const* argv, char* const* envp,
                             int reportFd) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    signal(SIGCHLD, SIG_DFL);
    setsid();
    if (plan.switchUser) {
        if (setgroups(plan.groups.size(), plan.groups.data()) != 0 || setgid(plan.gid) != 0 ||
            setuid(plan.uid) != 0) {
            ReportAndExit(reportFd, errno);
        }
        // Root must be gone for good.
        if (setuid(0) == 0) ReportAndExit(reportFd, EPERM);
    }
    // Entered as the user, so that a home the user cannot enter is not.
    if (plan.home.empty() || chdir(plan.home.c_str()) != 0) {
        if (chdir("/") != 0) ReportAndExit(reportFd, errno);
    }
    const int null = open("/dev/null", O_RDWR);
    if (null < 0) ReportAndExit(reportFd, errno);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    if (null > 2) close(null);
    CloseInheritedDescriptors(reportFd);
    execve(plan.program.c_str(), argv, envp);
    ReportAndExit(reportFd, errno);
    _exit(127);
}

}  // namespace

Invoker InvokingUser() {
    if (geteuid() != 0) return {};
    const char* text = std::getenv("PKEXEC_UID");
    if (text == nullptr) text = std::getenv("SUDO_UID");
    if (text == nullptr) return {Invoker::Kind::kUnknown, 0};
    const std::optional<uid_t> uid = ParseUid(text);
    if (!uid) return {Invoker::Kind::kInvalid, 0};
    if (*uid == 0) return {Invoker::Kind::kUnknown, 0};
    return {Invoker::Kind::kUser, *uid};
}

int DesktopLauncher::Open(const std::vector<std::string>& argv) {
    if (argv.empty()) return SETUPAID_FAILED;
    LaunchPlan plan;
    plan.program = FindProgram(argv[0]);
    if (plan.program.empty()) return SETUPAID_NOT_AVAILABLE;
    plan.arguments = argv;
    const Invoker invoker = InvokingUser();
    if (invoker.kind == Invoker::Kind::kInvalid) {
        DebugOutput("SendFeedback: PKEXEC_UID or SUDO_UID is not a user id; nothing started");
        return SETUPAID_FAILED;
    }
    if (invoker.kind == Invoker::Kind::kUnknown) {
        DebugOutput(
            "SendFeedback: called as root for no desktop user (neither PKEXEC_UID nor SUDO_UID "
            "names one); a browser is never started as root");
        return SETUPAID_ACCESS_DENIED;
    }
    if (invoker.kind == Invoker::Kind::kUser) {
        const int planned = PlanUser(invoker.uid, plan);
        if (planned != SETUPAID_DONE) return planned;
    } else {
        for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
            plan.environment.emplace_back(*entry);
        }
        std::vector<char> buffer;
        passwd entry{};
        if (FindAccount(getuid(), entry, buffer)) plan.home = entry.pw_dir;
    }
    std::vector<char*> argumentPointers = ArgumentPointers(plan.arguments);
    std::vector<char*> environmentPointers = ArgumentPointers(plan.environment);

    // The program runs in a grandchild that init adopts, so that nothing is
    // left to reap. A pipe closed by exec tells whether it got that far.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return SETUPAID_FAILED;
    const pid_t child = fork();
    if (child < 0) {
        close(report[0]);
        close(report[1]);
        return SETUPAID_FAILED;
    }
    if (child == 0) {
        close(report[0]);
        const pid_t grandchild = fork();
        if (grandchild < 0) ReportAndExit(report[1], errno);
        if (grandchild == 0) {
            RunProgram(plan, argumentPointers.data(), environmentPointers.data(), report[1]);
        }
        _exit(0);
    }
    close(report[1]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int error = 0;
    ssize_t got = 0;
    do {
        got = read(report[0], &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    close(report[0]);
    if (got <= 0) return SETUPAID_DONE;
    if (error == ENOENT) return SETUPAID_NOT_AVAILABLE;
    if (error == EPERM || error == EACCES) return SETUPAID_ACCESS_DENIED;
    return SETUPAID_FAILED;
}

}  // namespace setupaid
