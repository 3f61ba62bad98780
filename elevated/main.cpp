// linewatch-elevated: started as root through pkexec by the program, once per
// run; serves the program's machine-wide writes over standard input and
// output until its input ends.
//
//   linewatch-elevated --serve
//   linewatch-elevated --serve [--hklm-db FILE] [--system-autostart-dir DIR]
//
// The second form points the helper at another machine-wide store, for tests.
// It is accepted only when the helper gains nothing by running: not started
// by pkexec (PKEXEC_UID, which pkexec always sets, is absent) and not set-id
// (real and effective ids agree). A user who runs it so writes with the
// user's own rights; through pkexec only the fixed locations are used. The
// environment is cleared before anything else reads it, so the store's own
// environment overrides do not reach the helper either.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/elevation/elevated_protocol.h"
#include "core/storage/autostart.h"
#include "core/storage/registry_store.h"
#include "core/unique_fd.h"
#include "elevated/local_machine_writer.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitProtocol = 3;

struct Options {
    std::string hklmDatabase;
    std::string systemAutostartDir;
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

int Serve(KtElevatedInterface& writer) {
    if (!WriteAll(STDOUT_FILENO, ElevatedProtocol::kGreeting)) {
        return 1;
    }
    for (;;) {
        ElevatedProtocol::Request request;
        int32_t result = E_FAIL;
        switch (ElevatedProtocol::ReadRequest(STDIN_FILENO, request)) {
            case ElevatedProtocol::ReadStatus::End:
                return 0;
            case ElevatedProtocol::ReadStatus::Malformed:
                // The stream is out of step: answer once, then stop listening.
                WriteAll(STDOUT_FILENO, ElevatedProtocol::EncodeReply(E_INVALIDARG));
                std::fprintf(stderr, "linewatch-elevated: malformed request, ending the session\n");
                return kExitProtocol;
            case ElevatedProtocol::ReadStatus::Oversized:
                result = E_INVALIDARG;
                break;
            case ElevatedProtocol::ReadStatus::Ok:
                switch (request.op) {
                    case ElevatedProtocol::Operation::WriteString:
                        result = writer.WriteString(request.keyPath, request.name, request.value);
                        break;
                    case ElevatedProtocol::Operation::WriteInt:
                        result = writer.WriteInt(request.keyPath, request.name, request.number);
                        break;
                    case ElevatedProtocol::Operation::DeleteValue:
                        result = writer.DeleteValue(request.keyPath, request.name);
                        break;
                }
                break;
        }
        if (!WriteAll(STDOUT_FILENO, ElevatedProtocol::EncodeReply(result))) {
            return 0;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Decided before the environment goes.
    bool startedByPkexec = std::getenv("PKEXEC_UID") != nullptr;
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

    KtLocalMachineWriter writer;
    return Serve(writer);
}
