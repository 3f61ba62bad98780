#include "connections/dial_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "connections/phonebook.h"
#include "core/file_system.h"
#include "core/unique_fd.h"

extern char** environ;

namespace {

// The descriptor number pppd reads the password from.
constexpr int kPasswordFd = 3;
constexpr size_t kMaxLineBytes = 4096;

int PidFdOpen(pid_t pid) {
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

void Emit(std::string& pending, const KtDialRunner::LineHandler& onLine, bool all) {
    size_t start = 0;
    for (size_t newline; (newline = pending.find('\n', start)) != std::string::npos;
         start = newline + 1) {
        std::string line = pending.substr(start, newline - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        onLine(line);
    }
    pending.erase(0, start);
    if (pending.size() > kMaxLineBytes || (all && !pending.empty())) {
        onLine(pending);
        pending.clear();
    }
}

}  // namespace

PasswordRoute ChoosePasswordRoute(const DialRequest& request, bool root) {
    if (request.password.empty()) {
        return PasswordRoute::Entry;
    }
    const std::optional<PeersEntryTarget> entry =
        ReadPeersEntryFile(request.peersFolder, request.entryName);
    if (!entry || entry->loadsPasswordPlugin) {
        return PasswordRoute::Entry;
    }
    return root ? PasswordRoute::CommandLine : PasswordRoute::Refused;
}

std::string RecreateEntryAdvice(const std::string& entryName) {
    return "The connection \"" + entryName +
           "\" was written by an earlier version of Line Watchman (or by hand) and does not "
           "load pppd's password plugin (" +
           std::string(kPasswordPlugin) +
           "), which pppd accepts from a connection entry only. Create the connection again "
           "(Create new connection, same name, overwrite it), or add the line \"plugin " +
           std::string(kPasswordPlugin) + "\" to it.";
}

std::vector<std::string> DialArguments(const DialRequest& request, int passwordFd,
                                       PasswordRoute route) {
    std::vector<std::string> argv = {request.pppdPath};
    const std::string folder = request.peersFolder;
    if (folder.empty() || folder == "/etc/ppp/peers" || folder == "/etc/ppp/peers/") {
        argv.insert(argv.end(), {"call", request.entryName});
    } else {
        argv.insert(argv.end(), {"file", JoinPath(folder, request.entryName)});
    }
    argv.emplace_back("updetach");
    if (!request.user.empty()) {
        argv.insert(argv.end(), {"user", request.user});
    }
    if (!request.password.empty()) {
        if (route == PasswordRoute::CommandLine) {
            argv.insert(argv.end(), {"plugin", std::string(kPasswordPlugin)});
        }
        argv.insert(argv.end(), {"passwordfd", std::to_string(passwordFd)});
    }
    return argv;
}

std::string DescribePppdExit(int exitCode) {
    static const char* const kMeanings[] = {
        "the link is up and pppd runs in the background",
        "a fatal error occurred",
        "an error was found in the options",
        "pppd is not setuid-root and the caller is not root",
        "the kernel does not support PPP",
        "pppd ended on a signal (SIGINT, SIGTERM or SIGHUP)",
        "the serial port could not be locked",
        "the serial port could not be opened",
        "the connect script failed",
        "the pty command could not be run",
        "the PPP negotiation failed",
        "the peer system failed or refused to authenticate itself",
        "the link was idle too long and was ended",
        "the connect time limit was reached",
        "a callback was negotiated and an incoming call should arrive",
        "the peer stopped answering echo requests",
        "the modem hung up",
        "the link is looped back",
        "the init script failed",
        "we failed to authenticate ourselves to the peer",
    };
    if (exitCode >= 0 && exitCode < static_cast<int>(std::size(kMeanings))) {
        return "pppd ended with status " + std::to_string(exitCode) + ": " + kMeanings[exitCode] +
               ".";
    }
    return "pppd ended with status " + std::to_string(exitCode) + ".";
}

KtDialRunner::~KtDialRunner() {
    Cancel();
    Wait();
}

bool KtDialRunner::Start(const DialRequest& request, LineHandler onLine, EndHandler onEnd,
                         std::string& error) {
    std::scoped_lock lock(mutex_);
    if (!ended_ || thread_.joinable()) {
        error = "a dial is already running";
        return false;
    }
    const PasswordRoute route = ChoosePasswordRoute(request, geteuid() == 0);
    if (route == PasswordRoute::Refused) {
        error = RecreateEntryAdvice(request.entryName);
        return false;
    }
    int outPipe[2];
    int passwordPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) {
        error = std::string("cannot make a pipe: ") + std::strerror(errno);
        return false;
    }
    UniqueFd outRead(outPipe[0]);
    UniqueFd outWrite(outPipe[1]);
    if (pipe2(passwordPipe, O_CLOEXEC) != 0) {
        error = std::string("cannot make a pipe: ") + std::strerror(errno);
        return false;
    }
    UniqueFd passwordRead(passwordPipe[0]);
    UniqueFd passwordWrite(passwordPipe[1]);
    // The password is in the pipe before pppd starts and the pipe is closed
    // behind it, so pppd reads it to its end and nothing waits on anyone.
    if (!request.password.empty()) {
        if (request.password.size() >= 4096 || !WriteAll(passwordWrite.Get(), request.password)) {
            error = "the password is too long";
            return false;
        }
    }
    passwordWrite.Reset();

    const std::vector<std::string> args = DialArguments(request, kPasswordFd, route);
    std::vector<char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outWrite.Get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, outWrite.Get(), STDERR_FILENO);
    posix_spawn_file_actions_adddup2(&actions, passwordRead.Get(), kPasswordFd);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGHUP);
    sigaddset(&defaults, SIGPIPE);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(
        &attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        error = "cannot run " + request.pppdPath + ": " + std::strerror(spawned);
        return false;
    }
    outWrite.Reset();
    passwordRead.Reset();
    const int pidFd = PidFdOpen(pid);
    pid_ = pid;
    ended_ = false;
    cancelled_ = false;
    thread_ = std::thread(&KtDialRunner::Run, this, outRead.Release(), pidFd, request,
                          std::move(onLine), std::move(onEnd));
    return true;
}

void KtDialRunner::Run(int outFd, int pidFd, const DialRequest& request, const LineHandler& onLine,
                       const EndHandler& onEnd) {
    UniqueFd out(outFd);
    UniqueFd process(pidFd);
    std::string pending;
    bool outputOpen = true;
    char buffer[1024];
    auto readOutput = [&] {
        const ssize_t n = read(out.Get(), buffer, sizeof buffer);
        if (n > 0) {
            pending.append(buffer, static_cast<size_t>(n));
            Emit(pending, onLine, false);
        } else if (n == 0 || errno != EINTR) {
            outputOpen = false;
        }
    };
    // Output until pppd has exited. With a process descriptor a child that
    // keeps the pipe open (the detached pppd after a good dial) cannot hold
    // the end back; without one the end of output stands for the end.
    bool exited = false;
    while (outputOpen && !exited) {
        pollfd fds[2] = {{out.Get(), POLLIN, 0}, {process.Get(), POLLIN, 0}};
        if (poll(fds, process.Valid() ? 2 : 1, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            readOutput();
        }
        exited = process.Valid() && (fds[1].revents & POLLIN) != 0;
    }
    // What pppd wrote just before it ended.
    fcntl(out.Get(), F_SETFL, O_NONBLOCK);
    while (outputOpen) {
        readOutput();  // ends at EAGAIN as well as at the end of output
    }
    Emit(pending, onLine, true);

    int status = 0;
    bool reaped;
    {
        // Reaped under the lock, so Cancel never signals a reused process id.
        std::scoped_lock lock(mutex_);
        while ((reaped = waitpid(pid_, &status, 0) == pid_) == false && errno == EINTR) {
        }
        pid_ = -1;
    }
    exited = reaped;

    DialOutcome outcome;
    outcome.started = true;
    {
        std::scoped_lock lock(mutex_);
        outcome.cancelled = cancelled_;
    }
    if (exited && WIFEXITED(status)) {
        outcome.exitCode = WEXITSTATUS(status);
        outcome.summary.push_back(DescribePppdExit(outcome.exitCode));
    } else if (exited && WIFSIGNALED(status)) {
        outcome.signal = WTERMSIG(status);
        outcome.summary.push_back(std::string("pppd was ended by signal ") +
                                  std::to_string(outcome.signal) + ".");
    }
    if (outcome.cancelled) {
        outcome.summary.push_back("The dial was cancelled.");
    }
    struct stat info {};
    // Without the device no dial can work, cancelled or not: say so whenever
    // it is missing, and when pppd itself ended for lack of kernel support.
    if (stat(request.pppDevice.c_str(), &info) != 0 ||
        (outcome.exitCode == 4 && !outcome.cancelled)) {
        outcome.summary.push_back("This machine has no kernel PPP: " + request.pppDevice +
                                  " is missing. Load the ppp_generic and pppoe kernel modules "
                                  "(modprobe pppoe), or use a kernel with PPP support.");
    }
    onEnd(outcome);
    std::scoped_lock lock(mutex_);
    ended_ = true;
}

void KtDialRunner::Cancel() {
    std::scoped_lock lock(mutex_);
    if (pid_ > 0 && !ended_) {
        cancelled_ = true;
        kill(pid_, SIGTERM);
    }
}

void KtDialRunner::Wait() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
        thread_.join();
    }
}

pid_t KtDialRunner::ProcessId() const {
    std::scoped_lock lock(mutex_);
    return pid_;
}
