// linewatch-cli: the monitor in a terminal. It prints every log line as it
// happens and the AC table after each probe cycle, until Ctrl-C, SIGTERM or
// the requested number of cycles.
#include <malloc.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cmd/cli_metrics.h"
#include "cmd/cli_options.h"
#include "cmd/connection_commands.h"
#include "cmd/probe_loop.h"
#include "cmd/signal_watcher.h"
#include "cmd/terminal_view.h"
#include "core/program_paths.h"
#include "engine/adapter_probe.h"
#include "engine/adapters.h"
#include "engine/capture_channel.h"
#include "engine/capture_permission.h"
#include "engine/log_writer.h"
#include "engine/monitor.h"
#include "engine/settings_persistence.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

std::string AdapterNames(const std::vector<AdapterEntry>& adapters) {
    std::string names;
    for (const AdapterEntry& adapter : adapters)
        names += (names.empty() ? "" : ", ") + adapter.deviceName;
    return names;
}

void PrintUsage() {
    std::fputs(CliUsageText().c_str(), stdout);
    std::fputs(kConnectionCommandsUsage, stdout);
}

// Before any thread starts: the capture capability stays permitted but not
// effective, and the quit signals are taken only through the returned
// signalfd (-1 when it cannot be made, which is reported).
int TakeQuitSignals() {
    LowerCaptureCapability();
    sigset_t quitSignals;
    sigemptyset(&quitSignals);
    sigaddset(&quitSignals, SIGINT);
    sigaddset(&quitSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &quitSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    const int signalFd = signalfd(-1, &quitSignals, SFD_CLOEXEC);
    if (signalFd < 0) {
        std::perror("linewatch-cli: signalfd");
        return -1;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    return signalFd;
}

// True when there is an adapter, every one named with -i is listed and the
// capture can be had; otherwise says why on standard error.
bool CanWatch(const std::vector<AdapterEntry>& adapters, const std::vector<std::string>& named) {
    if (adapters.empty()) {
        std::fputs("linewatch-cli: no Ethernet adapter available\n", stderr);
        return false;
    }
    for (const std::string& name : named) {
        const bool listed =
            std::any_of(adapters.begin(), adapters.end(),
                        [&](const AdapterEntry& a) { return a.deviceName == name; });
        if (!listed) {
            std::fprintf(stderr, "linewatch-cli: no Ethernet adapter named '%s' (available: %s)\n",
                         name.c_str(), AdapterNames(adapters).c_str());
            return false;
        }
    }
    // Without the capability of its own the program captures through the
    // capture helper, which only members of the linewatch group may run.
    if (!HasCapturePermission() && access(CaptureHelperPath().c_str(), X_OK) != 0 &&
        errno == EACCES) {
        std::fputs(CapturePermissionHint(CurrentUserName()).c_str(), stderr);
        return false;
    }
    return true;
}

// Serves the metrics at `address` and prints where; null, with the reason on
// standard error, when it cannot.
std::unique_ptr<MetricsExporter> StartMetrics(const std::string& address) {
    std::string error;
    std::unique_ptr<MetricsExporter> exporter = MetricsExporter::Start(address, error);
    if (!exporter) {
        std::fprintf(stderr, "linewatch-cli: cannot serve metrics on %s: %s\n", address.c_str(),
                     error.c_str());
        return nullptr;
    }
    const std::string host = address.substr(0, address.rfind(':'));
    std::printf("Metrics at http://%s:%d/metrics\n", host.c_str(), exporter->Port());
    return exporter;
}

// The adapters of this run, each with its terminal view and its probe.
struct WatchedAdapters {
    std::vector<std::unique_ptr<TerminalView>> views;
    std::vector<std::unique_ptr<AdapterProbe>> probes;
};

// One probe per adapter: without -i the stored one (or the first).
WatchedAdapters MakeProbes(const CliOptions& options, const std::string& programFolder) {
    std::vector<std::string> names = options.interfaces;
    if (names.empty()) names.push_back(options.settings.deviceName);
    const bool several = names.size() > 1;
    WatchedAdapters watched;
    for (const std::string& name : names) {
        MonitorSettings settings = options.settings;
        settings.deviceName = name;
        // Each adapter of several keeps its logs in a folder of its own;
        // interface names hold no '/' and are never "." or "..".
        if (several)
            settings.logDirectory = ResolvePath(settings.logDirectory, programFolder) + "/" + name;
        if (settings.generalLog || settings.acLog) {
            // The folder the desktop program creates at its first start.
            const std::string folder = ResolvePath(settings.logDirectory, programFolder);
            std::error_code error;
            std::filesystem::create_directories(folder, error);
            // Monitoring goes on without the files, as the desktop program does.
            if (error)
                std::fprintf(stderr, "linewatch-cli: cannot create the log folder '%s': %s\n",
                             folder.c_str(), error.message().c_str());
        }
        watched.views.push_back(std::make_unique<TerminalView>(several ? name + ": " : "",
                                                               options.stats, options.quiet));
        watched.probes.push_back(
            std::make_unique<AdapterProbe>(*watched.views.back(), settings, programFolder));
        watched.views.back()->SetMonitor(&watched.probes.back()->GetMonitor());
    }
    return watched;
}

// Starts monitoring on every adapter; stops at the first that cannot be
// captured on, saying why, and returns false.
bool OpenAll(WatchedAdapters& watched, const std::vector<AdapterEntry>& adapters) {
    for (auto& probe : watched.probes) {
        Monitor& monitor = probe->GetMonitor();
        if (monitor.Open(adapters)) continue;
        if (monitor.LastStartLackedPermission())
            std::fputs(CapturePermissionHint(CurrentUserName()).c_str(), stderr);
        else
            std::fprintf(stderr, "linewatch-cli: cannot capture on '%s': %s\n",
                         monitor.Settings().deviceName.c_str(),
                         probe->Engine().LastCaptureError().c_str());
        return false;
    }
    return true;
}

// Handles the monitors' messages until a quit signal, or until every
// adapter has done the requested number of cycles.
void Watch(WatchedAdapters& watched, MetricsExporter* exporter, const SignalWatcher& signals,
           std::optional<long> cycles) {
    std::vector<AdapterProbe*> probes;
    for (auto& probe : watched.probes) probes.push_back(probe.get());
    ProbeLoop loop(probes, exporter);
    // Asleep until a message comes; a quit signal posts one.
    loop.Run([&] {
        return signals.Signalled() ||
               (cycles && std::all_of(watched.views.begin(), watched.views.end(),
                                      [&](const auto& view) { return view->Cycles() >= *cycles; }));
    });
}

}  // namespace

int main(int argc, char** argv) {
    // Every metrics worker that builds a page would otherwise get a malloc
    // arena of its own and keep the page's worth of freed memory in it: with
    // a full table, tens of MB per worker. Two arenas share what is freed.
    mallopt(M_ARENA_MAX, 2);
    const std::string programFolder = GetProgramFolder();
    SettingsPersistence stored(programFolder);
    stored.LoadSettings();
    const MonitorSettings storedSettings = stored.WorkingSettings(true);
    if (const std::optional<int> exitCode =
            RunConnectionCommand(argc, argv, storedSettings.deviceName)) {
        return *exitCode;
    }
    const ParsedCliOptions parsed = ParseCliOptions(argc, argv, storedSettings);
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "linewatch-cli: %s\nTry 'linewatch-cli --help'.\n",
                     parsed.error.c_str());
        return kExitUsage;
    }
    const CliOptions& options = parsed.options;
    if (options.help) {
        PrintUsage();
        return kExitOk;
    }

    const int signalFd = TakeQuitSignals();
    if (signalFd < 0) return kExitFailure;
    const std::vector<AdapterEntry> adapters = ListEthernetAdapters();
    if (!CanWatch(adapters, options.interfaces)) return kExitFailure;
    std::unique_ptr<MetricsExporter> exporter;
    if (options.metricsAddress) {
        exporter = StartMetrics(*options.metricsAddress);
        if (!exporter) return kExitFailure;
    }

    WatchedAdapters watched = MakeProbes(options, programFolder);
    // An adapter named on the command line is for this run only; otherwise a
    // fallback to the first adapter is remembered, as the desktop program does.
    if (options.interfaces.empty()) watched.probes[0]->GetMonitor().SetAdapterChoiceStore(&stored);
    SignalWatcher signals(signalFd);
    signals.Start(watched.probes[0]->GetMonitor().Port());

    const bool opened = OpenAll(watched, adapters);
    if (opened) Watch(watched, exporter.get(), signals, options.cycles);
    for (auto& probe : watched.probes) probe->GetMonitor().Close();
    signals.Stop();
    close(signalFd);
    return opened ? kExitOk : kExitFailure;
}
