// linewatch-elevated: started as root through pkexec by the program, once per
// run; serves the program's machine-wide writes over standard input and
// output until its input ends.
//
//   linewatch-elevated --serve
//   linewatch-elevated --serve [--hklm-db FILE] [--system-autostart-dir DIR]
//                              [--peers-dir DIR]
//
// The second form points the helper at another machine-wide store, for tests.
// It is accepted only when the helper gains nothing by running: not started
// by pkexec (PKEXEC_UID, which pkexec always sets, is absent) and not set-id
// (real and effective ids agree). A user who runs it so writes with the
// user's own rights; through pkexec only the fixed locations are used. The
// environment is cleared before anything else reads it, so the store's own
// environment overrides do not reach the helper either.
//
// Every request carried out is logged (authpriv, ident linewatch-elevated):
// the user it was done for, the operation, key path and value name.

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/storage/autostart.h"
#include "core/storage/registry_store.h"
#include "elevated/local_machine_writer.h"
#include "elevated/request_loop.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitProtocol = 3;
constexpr int kExitRequestLimit = 4;

struct Options {
    std::string hklmDatabase;
    std::string systemAutostartDir;
    std::string peersDir;
};

int Usage(const char* why) {
    std::fprintf(stderr,
                 "linewatch-elevated: %s\n"
                 "usage: linewatch-elevated --serve\n"
                 "This helper is started by Line Watchman through pkexec.\n",
                 why);
    return kExitUsage;
}

// Returns 0 when the arguments are acceptable, else the exit code.
int ParseArguments(int argc, char** argv, bool mayRedirect, Options& options) {
    if (argc < 2 || std::string_view(argv[1]) != "--serve") {
        return Usage("expected --serve");
    }
    for (int i = 2; i < argc; i += 2) {
        std::string_view option = argv[i];
        std::string* target = nullptr;
        if (option == "--hklm-db") {
            target = &options.hklmDatabase;
        } else if (option == "--system-autostart-dir") {
            target = &options.systemAutostartDir;
        } else if (option == "--peers-dir") {
            target = &options.peersDir;
        } else {
            return Usage("unknown argument");
        }
        if (!mayRedirect) {
            return Usage("store locations cannot be changed in a privileged helper");
        }
        if (i + 1 >= argc || argv[i + 1][0] != '/' || !target->empty()) {
            return Usage("each location is given once, as an absolute path");
        }
        *target = argv[i + 1];
    }
    return 0;
}

// The user the helper acts for: the uid pkexec reports, else the peer of the
// socket on standard input (the program's end), else the helper's own user.
std::string Requester(const char* pkexecUid) {
    if (pkexecUid != nullptr && pkexecUid[0] != '\0') {
        return "uid " + EscapeLogText(pkexecUid);
    }
    struct ucred peer {};
    socklen_t size = sizeof peer;
    if (getsockopt(STDIN_FILENO, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 &&
        size == sizeof peer) {
        return "uid " + std::to_string(peer.uid);
    }
    return "uid " + std::to_string(getuid());
}

// Every change the helper makes goes to the system's authorisation log.
void LogAccepted(const std::string& line) {
    syslog(LOG_NOTICE, "%s", line.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    // Decided before the environment goes.
    const char* pkexecUid = std::getenv("PKEXEC_UID");
    bool startedByPkexec = pkexecUid != nullptr;
    const std::string requester = Requester(pkexecUid);
    bool setId = getuid() != geteuid() || getgid() != getegid();

    clearenv();
    setenv("PATH", "/usr/sbin:/usr/bin:/sbin:/bin", 1);
    umask(022);
    signal(SIGPIPE, SIG_IGN);
    closefrom(STDERR_FILENO + 1);

    Options options;
    if (int refused = ParseArguments(argc, argv, !startedByPkexec && !setId, options)) {
        return refused;
    }
    KtRegistryStore::SetDatabasePath(RegistryRoot::LocalMachine, options.hklmDatabase);
    XdgAutostart::SetFolder(RegistryRoot::LocalMachine, options.systemAutostartDir);

    openlog("linewatch-elevated", LOG_PID, LOG_AUTHPRIV);
    KtLocalMachineWriter writer;
    if (!options.peersDir.empty()) {
        writer.SetPeersFolder(options.peersDir);
    }
    switch (ServeRequests(STDIN_FILENO, STDOUT_FILENO, writer, requester, LogAccepted)) {
        case SessionEnd::InputEnded:
            return 0;
        case SessionEnd::Malformed:
            std::fprintf(stderr, "linewatch-elevated: malformed request, ending the session\n");
            return kExitProtocol;
        case SessionEnd::TooManyRequests:
            std::fprintf(stderr, "linewatch-elevated: request limit of this session reached\n");
            return kExitRequestLimit;
    }
    return kExitProtocol;
}
