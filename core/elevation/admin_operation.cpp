#include "core/elevation/admin_operation.h"

#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "core/debug_output.h"
#include "core/unique_fd.h"

#ifndef LW_ELEVATED_HELPER_PATH
#define LW_ELEVATED_HELPER_PATH "/usr/libexec/linewatch/linewatch-elevated"
#endif
#ifndef LW_PROGRAM_PATH
#define LW_PROGRAM_PATH "/usr/bin/linewatch"
#endif

extern char** environ;

namespace {

// The helper process and the socket joined to its standard input and output.
// A socket rather than two pipes so that writing to a helper that has gone
// away gives an error (MSG_NOSIGNAL) instead of SIGPIPE in the program.
class KtElevatedHelperConnection final : public KtElevatedInterface {
  public:
    ~KtElevatedHelperConnection() override { Stop(false); }

    // Starts the helper and waits for its greeting. On failure, error says why.
    bool Start(const std::vector<std::string>& command, std::string& error);
    bool IsConnected() {
        std::scoped_lock lock(mutex_);
        return fd_ >= 0;
    }

    int32_t WriteString(std::string_view keyPath, std::string_view name,
                        std::string_view value) override {
        ElevatedProtocol::Request request;
        request.op = ElevatedProtocol::Operation::WriteString;
        request.keyPath = keyPath;
        request.name = name;
        request.value = value;
        return Call(request);
    }
    int32_t WriteInt(std::string_view keyPath, std::string_view name, int32_t value) override {
        ElevatedProtocol::Request request;
        request.op = ElevatedProtocol::Operation::WriteInt;
        request.keyPath = keyPath;
        request.name = name;
        request.number = value;
        return Call(request);
    }
    int32_t DeleteValue(std::string_view keyPath, std::string_view name) override {
        ElevatedProtocol::Request request;
        request.op = ElevatedProtocol::Operation::DeleteValue;
        request.keyPath = keyPath;
        request.name = name;
        return Call(request);
    }
    int32_t WritePeersEntry(std::string_view entryName, std::string_view interface,
                            std::string_view acName, PeersReplace replace) override {
        ElevatedProtocol::Request request;
        request.op = ElevatedProtocol::Operation::WritePeersEntry;
        request.replace = replace;
        request.keyPath = entryName;
        request.name = interface;
        request.value = acName;
        return Call(request);
    }

  private:
    int32_t Call(const ElevatedProtocol::Request& request);
    // Closes the socket (the helper sees end of input and exits) and reaps the
    // process; terminate also signals it, for a launcher that answered out of
    // step and may not be listening. (A helper already running as root cannot
    // be signalled by the program; it ends at end of input.)
    // Returns the wait status, or -1 if there was no process.
    int Stop(bool terminate);

    std::mutex mutex_;
    int fd_ = -1;
    pid_t pid_ = -1;
};

bool KtElevatedHelperConnection::Start(const std::vector<std::string>& command,
                                       std::string& error) {
    std::scoped_lock lock(mutex_);
    if (fd_ >= 0) {
        return true;
    }
    if (command.empty() || command[0].empty()) {
        error = "no launch command";
        return false;
    }
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        error = std::string("socketpair: ") + std::strerror(errno);
        return false;
    }

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Nothing of the program beyond the three standard streams reaches pkexec.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif
    sigset_t noSignals;
    sigemptyset(&noSignals);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &noSignals);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> argv;
    for (const std::string& argument : command) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    pid_t pid = -1;
    int spawned = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(ends[1]);
    if (spawned != 0) {
        close(ends[0]);
        error = "cannot start " + command[0] + ": " + std::strerror(spawned);
        return false;
    }
    fd_ = ends[0];
    pid_ = pid;

    // Blocks while pkexec shows the consent prompt. A declined prompt ends
    // pkexec (exit 126 or 127) without a greeting: end of input.
    std::string line;
    bool gotLine = ElevatedProtocol::ReadLine(fd_, ElevatedProtocol::kMaxHeaderBytes, line);
    std::string_view expected = ElevatedProtocol::kGreeting;
    expected.remove_suffix(1);
    if (gotLine && line == expected) {
        return true;
    }
    int status = Stop(gotLine);
    if (status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 126) {
        error = "the user declined the elevation prompt";
    } else if (status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 127) {
        error = "elevation was not authorised or the helper could not be run";
    } else if (gotLine) {
        error = "the helper did not send its greeting";
    } else {
        error = "the helper ended before its greeting";
    }
    return false;
}

int KtElevatedHelperConnection::Stop(bool terminate) {
    if (fd_ >= 0) {
        shutdown(fd_, SHUT_RDWR);
        close(fd_);
        fd_ = -1;
    }
    if (pid_ < 0) {
        return -1;
    }
    if (terminate) {
        kill(pid_, SIGTERM);
    }
    int status = 0;
    pid_t reaped;
    do {
        reaped = waitpid(pid_, &status, 0);
    } while (reaped < 0 && errno == EINTR);
    pid_ = -1;
    return reaped < 0 ? -1 : status;
}

int32_t KtElevatedHelperConnection::Call(const ElevatedProtocol::Request& request) {
    // The helper refuses these too; refusing here saves a round trip and keeps
    // an oversized request from ending the session.
    if (request.keyPath.size() > ElevatedProtocol::kMaxKeyPathBytes ||
        request.name.size() > ElevatedProtocol::kMaxValueNameBytes ||
        request.value.size() > ElevatedProtocol::kMaxStringValueBytes) {
        return E_INVALIDARG;
    }
    bool broken = false;
    int32_t result = E_FAIL;
    {
        std::scoped_lock lock(mutex_);
        if (fd_ < 0) {
            return E_FAIL;
        }
        std::string reply;
        if (!WriteAll(fd_, ElevatedProtocol::EncodeRequest(request)) ||
            !ElevatedProtocol::ReadLine(fd_, 9, reply) ||
            !ElevatedProtocol::DecodeReply(reply, result)) {
            result = E_FAIL;
            broken = true;
            Stop(true);
        }
    }
    if (broken) {
        DebugOutput("Elevation: the helper stopped answering\n");
    }
    return result;
}

std::mutex s_mutex;
std::vector<std::string> s_launchCommand;
// Declared before the instance so that, at exit, the instance (which releases
// the connection) is destroyed first.
std::unique_ptr<KtElevatedHelperConnection> s_connection;
std::unique_ptr<KtAdminOperation> s_instance;

// Needs s_mutex held.
std::vector<std::string> EffectiveLaunchCommand() {
    if (!s_launchCommand.empty()) {
        return s_launchCommand;
    }
    const char* program = std::getenv("LW_ELEVATE_COMMAND");
    std::string launcher = program != nullptr && program[0] != '\0' ? program : "pkexec";
    return {launcher, LW_ELEVATED_HELPER_PATH, "--serve"};
}

}  // namespace

KtAdminOperation::~KtAdminOperation() {
    std::unique_ptr<KtElevatedHelperConnection> released;
    {
        std::scoped_lock lock(s_mutex);
        released = std::move(s_connection);
    }
    // Destroyed outside the lock: it waits for the helper to end.
    released.reset();
}

KtElevatedInterface* KtAdminOperation::GetElevatedInterface() {
    std::string error;
    {
        std::scoped_lock lock(s_mutex);
        if (!s_connection) {
            s_connection = std::make_unique<KtElevatedHelperConnection>();
        }
        // A connection whose helper went away is started again in place, so a
        // pointer handed out earlier never dangles.
        if (s_connection->IsConnected() || s_connection->Start(EffectiveLaunchCommand(), error)) {
            return s_connection.get();
        }
    }
    DebugOutput("Elevation: " + error + "\n");
    return nullptr;
}

bool KtAdminOperation::IsElevationAvailable() {
    return GetElevatedInterface() != nullptr;
}

int32_t KtAdminOperation::WriteString(std::string_view keyPath, std::string_view name,
                                      std::string_view value) {
    KtElevatedInterface* elevated = GetElevatedInterface();
    return elevated != nullptr ? elevated->WriteString(keyPath, name, value) : E_FAIL;
}

int32_t KtAdminOperation::WriteInt(std::string_view keyPath, std::string_view name, int32_t value) {
    KtElevatedInterface* elevated = GetElevatedInterface();
    return elevated != nullptr ? elevated->WriteInt(keyPath, name, value) : E_FAIL;
}

int32_t KtAdminOperation::DeleteValue(std::string_view keyPath, std::string_view name) {
    KtElevatedInterface* elevated = GetElevatedInterface();
    return elevated != nullptr ? elevated->DeleteValue(keyPath, name) : E_FAIL;
}

int32_t KtAdminOperation::WritePeersEntry(std::string_view entryName, std::string_view interface,
                                          std::string_view acName, PeersReplace replace) {
    KtElevatedInterface* elevated = GetElevatedInterface();
    return elevated != nullptr ? elevated->WritePeersEntry(entryName, interface, acName, replace)
                               : E_FAIL;
}

KtAdminOperation& KtAdminOperation::Instance() {
    std::scoped_lock lock(s_mutex);
    if (!s_instance) {
        s_instance.reset(new KtAdminOperation());
    }
    return *s_instance;
}

void KtAdminOperation::ReleaseInstance() {
    std::unique_ptr<KtAdminOperation> released;
    {
        std::scoped_lock lock(s_mutex);
        released = std::move(s_instance);
    }
    if (released) {
        released.reset();
    } else {
        // No instance was made: release the connection all the same.
        KtAdminOperation unowned;
    }
}

std::string KtAdminOperation::HelperPath() {
    return LW_ELEVATED_HELPER_PATH;
}

std::string KtAdminOperation::ProgramPath() {
    return LW_PROGRAM_PATH;
}

std::string KtAdminOperation::ProgramRunCommand() {
    return "\"" + ProgramPath() + "\"";
}

void KtAdminOperation::SetLaunchCommand(std::vector<std::string> command) {
    std::scoped_lock lock(s_mutex);
    s_launchCommand = std::move(command);
}

std::vector<std::string> KtAdminOperation::LaunchCommand() {
    std::scoped_lock lock(s_mutex);
    return EffectiveLaunchCommand();
}
