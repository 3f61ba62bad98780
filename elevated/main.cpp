// linewatch-elevated: started as root through pkexec by the program, once per
// run; serves the program's machine-wide writes over standard input and
// output until its input ends.
//
//   linewatch-elevated --serve
//   linewatch-elevated --serve [--hklm-db FILE] [--system-autostart-dir DIR]
//                              [--peers-dir DIR]
//   linewatch-elevated --package-setup [--hklm-db FILE]
//   linewatch-elevated --package-remove [ITEM...] [--hklm-db FILE]
//
// --package-setup and --package-remove are run by the package's maintainer
// scripts (as root): the first plants the PPPoE driver values in the
// machine-wide store and prints, one a line, what it added; the second takes
// back the items named (see package_seed.h).
//
// The --hklm-db, --system-autostart-dir and --peers-dir form points the helper at another
// machine-wide store, for tests. It is accepted only when the helper gains nothing by running: not
// started by pkexec (PKEXEC_UID, which pkexec always sets, is absent) and not set-id (real and
// effective ids agree). A user who runs it so writes with the user's own rights; through pkexec
// only the fixed locations are used. The environment is cleared before anything else reads it, so
// the store's own environment overrides do not reach the helper either.
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
#include <vector>

#include "core/storage/autostart.h"
#include "core/storage/registry_store.h"
#include "elevated/local_machine_writer.h"
#include "elevated/package_seed.h"
#include "elevated/request_loop.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitProtocol = 3;
constexpr int kExitRequestLimit = 4;

enum class Mode { Serve, PackageSetup, PackageRemove };

struct Options {
    Mode mode = Mode::Serve;
    std::vector<std::string> items;
    std::string hklmDatabase;
    std::string systemAutostartDir;
    std::string peersDir;
};

int Usage(const char* why) {
    std::fprintf(stderr,
                 "linewatch-elevated: %s\n"
                 "usage: linewatch-elevated --serve\n"
                 "       linewatch-elevated --package-setup | --package-remove [ITEM...]\n"
                 "This helper is started by Line Watchman through pkexec, and by the\n"
                 "package's install and removal steps.\n",
                 why);
    return kExitUsage;
}

// Returns 0 when the arguments are acceptable, else the exit code.
int ParseArguments(int argc, char** argv, bool mayRedirect, Options& options) {
    const std::string_view mode = argc < 2 ? std::string_view() : std::string_view(argv[1]);
    if (mode == "--package-setup") {
        options.mode = Mode::PackageSetup;
    } else if (mode == "--package-remove") {
        options.mode = Mode::PackageRemove;
    } else if (mode != "--serve") {
        return Usage("expected --serve");
    }
    int i = 2;
    while (i < argc) {
        std::string_view option = argv[i];
        if (options.mode == Mode::PackageRemove && !option.starts_with("-")) {
            options.items.emplace_back(option);
            ++i;
            continue;
        }
        std::string* target = nullptr;
        if (option == "--hklm-db") {
            target = &options.hklmDatabase;
        } else if (options.mode == Mode::Serve && option == "--system-autostart-dir") {
            target = &options.systemAutostartDir;
        } else if (options.mode == Mode::Serve && option == "--peers-dir") {
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
        i += 2;
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

// The maintainer scripts' steps: what was added goes to standard output, a
// failure to standard error with exit status 1.
int PackageStep(const Options& options) {
    std::string error;
    if (options.mode == Mode::PackageSetup) {
        std::vector<std::string> added;
        if (PackageSeed::Seed(added, error)) {
            for (const std::string& item : added) std::printf("%s\n", item.c_str());
            return std::fflush(stdout) == 0 ? 0 : 1;
        }
    } else if (PackageSeed::Remove(options.items, error)) {
        return 0;
    }
    std::fprintf(stderr, "linewatch-elevated: %s\n", error.c_str());
    return 1;
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
    if (options.mode != Mode::Serve) return PackageStep(options);

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
