// linewatch-cli: the monitor in a terminal. It prints every log line as it
// happens and the AC table after each probe cycle, until Ctrl-C, SIGTERM or
// the requested number of cycles.
#include <getopt.h>
#include <malloc.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "cmd/cli_metrics.h"
#include "cmd/connection_commands.h"
#include "cmd/probe_loop.h"
#include "core/program_paths.h"
#include "engine/adapter_probe.h"
#include "engine/adapters.h"
#include "engine/capture_channel.h"
#include "engine/capture_permission.h"
#include "engine/capture_protocol.h"
#include "engine/linewatch.h"
#include "engine/monitor.h"
#include "engine/net_watch_media.h"
#include "engine/network_text.h"
#include "engine/rtt_statistics.h"
#include "engine/settings_persistence.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
// Wakes the owner loop without meaning anything to the monitor.
constexpr uint32_t kWakeMessage = WM_USER + 99;

// Stands in the usage for the default log folder as this user's run resolves it.
constexpr std::string_view kDefaultLogDirMark = "@LOGDIR@";
constexpr std::string_view kUsage =
    "usage: linewatch-cli [OPTIONS]\n"
    "Watches the PPPoE access concentrators on one or more Ethernet adapters.\n"
    "Starts from the stored settings (those of the desktop program); the options\n"
    "below override them for this run only. Defaults shown are the settings' own.\n"
    "\n"
    "  -i, --interface IFACE   adapter to watch (default: the first Ethernet adapter);\n"
    "                          give it again for more adapters, each with its own\n"
    "                          table and its own log folder IFACE below --log-dir\n"
    "      --interval SECONDS  seconds between probes, 1-3600 (default 30)\n"
    "      --wait MS           how long offers are awaited, 100-1000 ms (default 500)\n"
    "      --down-after N      unanswered probes before an AC is down, 1-100 (default 1)\n"
    "      --log-dir DIR       folder of the log files, created when missing\n"
    "                          (default @LOGDIR@)\n"
    "      --general-log       write monitor.log\n"
    "      --ac-log            write one log per AC (named by its MAC)\n"
    "      --log-foreign-padi  log PADIs of other stations\n"
    "      --log-instance-padi log PADIs of other Line Watchman instances\n"
    "      --source-mac MAC    send probes from this MAC (aa:bb:cc:dd:ee:ff); switches\n"
    "                          promiscuous mode on, since the offers to it are\n"
    "                          addressed to another MAC than the adapter's\n"
    "      --promiscuous       open the adapter in promiscuous mode\n"
    "      --cycles N          stop after N probe cycles (of every adapter)\n"
    "      --metrics ADDR:PORT serve Prometheus metrics at http://ADDR:PORT/metrics\n"
    "                          (127.0.0.1:9813, [::1]:9813; a port alone: 127.0.0.1;\n"
    "                          port 0: any free one)\n"
    "      --stats             add RTT min, mean, max, jitter and p95 to the table\n"
    "      --quiet             print log lines only, no table\n"
    "      --help              show this text\n";

struct CliOptions {
    MonitorSettings settings;
    std::vector<std::string> interfaces;
    std::optional<long> cycles;
    std::optional<std::string> metricsAddress;
    bool stats = false;
    bool quiet = false;
};

// Whole text as a decimal number within [low, high].
std::optional<long> ParseNumber(std::string_view text, long low, long high) {
    long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    if (value < low || value > high) return std::nullopt;
    return value;
}

// Fills `options`; returns an error text for bad input, empty on success.
std::string ParseOptions(int argc, char** argv, CliOptions& options, bool& help) {
    enum : int {
        kInterval = 256,
        kWait,
        kDownAfter,
        kLogDir,
        kGeneralLog,
        kAcLog,
        kForeignPadi,
        kInstancePadi,
        kSourceMac,
        kPromiscuous,
        kCycles,
        kMetrics,
        kStats,
        kQuiet,
        kHelp
    };
    static const option kLongOptions[] = {
        {"interface", required_argument, nullptr, 'i'},
        {"interval", required_argument, nullptr, kInterval},
        {"wait", required_argument, nullptr, kWait},
        {"down-after", required_argument, nullptr, kDownAfter},
        {"log-dir", required_argument, nullptr, kLogDir},
        {"general-log", no_argument, nullptr, kGeneralLog},
        {"ac-log", no_argument, nullptr, kAcLog},
        {"log-foreign-padi", no_argument, nullptr, kForeignPadi},
        {"log-instance-padi", no_argument, nullptr, kInstancePadi},
        {"source-mac", required_argument, nullptr, kSourceMac},
        {"promiscuous", no_argument, nullptr, kPromiscuous},
        {"cycles", required_argument, nullptr, kCycles},
        {"metrics", required_argument, nullptr, kMetrics},
        {"stats", no_argument, nullptr, kStats},
        {"quiet", no_argument, nullptr, kQuiet},
        {"help", no_argument, nullptr, kHelp},
        {nullptr, 0, nullptr, 0},
    };
    MonitorSettings& s = options.settings;
    opterr = 0;
    int code = 0;
    while ((code = getopt_long(argc, argv, ":i:", kLongOptions, nullptr)) != -1) {
        const std::string_view value = optarg != nullptr ? optarg : "";
        switch (code) {
            case 'i':
                if (value.empty()) return "--interface needs an adapter name";
                if (std::find(options.interfaces.begin(), options.interfaces.end(), value) !=
                    options.interfaces.end())
                    return "--interface '" + std::string(value) + "' is given twice";
                options.interfaces.emplace_back(value);
                break;
            case kInterval:
                if (auto n = ParseNumber(value, 1, 3600))
                    s.probeIntervalSeconds = static_cast<int32_t>(*n);
                else
                    return "--interval must be a whole number of seconds from 1 to 3600, got '" +
                           std::string(value) + "'";
                break;
            case kWait:
                if (auto n = ParseNumber(value, 100, 1000))
                    s.padoWaitMs = static_cast<int32_t>(*n);
                else
                    return "--wait must be a whole number of milliseconds from 100 to 1000, got '" +
                           std::string(value) + "'";
                break;
            case kDownAfter:
                if (auto n = ParseNumber(value, 1, 100))
                    s.downAfterUnanswered = static_cast<int32_t>(*n);
                else
                    return "--down-after must be a whole number from 1 to 100, got '" +
                           std::string(value) + "'";
                break;
            case kLogDir: {
                if (value.empty()) return "--log-dir needs a folder";
                // On a command line a relative folder means the current one,
                // not the program's folder as a stored setting does.
                std::error_code error;
                const bool relative = value.front() != '/' && value.front() != '%';
                s.logDirectory = relative ? std::filesystem::absolute(value, error).string()
                                          : std::string(value);
                if (error) return "--log-dir: cannot resolve '" + std::string(value) + "'";
                break;
            }
            case kGeneralLog:
                s.generalLog = true;
                break;
            case kAcLog:
                s.acLog = true;
                break;
            case kForeignPadi:
                s.logForeignPadi = true;
                break;
            case kInstancePadi:
                s.logInstancePadi = true;
                break;
            case kSourceMac: {
                const std::optional<MacAddress> mac = ParseCustomSourceMac(value);
                if (!mac)
                    return "--source-mac must be six two-digit hexadecimal pairs joined by colons "
                           "(aa:bb:cc:dd:ee:ff), got '" +
                           std::string(value) + "'";
                // Probes from another station's group or zero address would
                // teach switches and bridges a false port for it.
                if (!IsUsableSourceMac(*mac))
                    return "--source-mac must be a unicast address, not a group (multicast or "
                           "broadcast) or all-zero one, got '" +
                           std::string(value) + "'";
                s.useSourceMac = true;
                s.sourceMacText = std::string(value);
                // A network card drops frames to a MAC not its own unless the
                // capture is promiscuous, as the capture options page knows.
                s.promiscuous = true;
                break;
            }
            case kPromiscuous:
                s.promiscuous = true;
                break;
            case kCycles:
                if (auto n = ParseNumber(value, 1, 1000000000))
                    options.cycles = *n;
                else
                    return "--cycles must be a whole number of at least 1, got '" +
                           std::string(value) + "'";
                break;
            case kMetrics:
                options.metricsAddress = ParseMetricsAddress(value);
                if (!options.metricsAddress)
                    return "--metrics must be a port from 0 to 65535, or an IPv4 address or a "
                           "bracketed IPv6 address, a colon and the port (127.0.0.1:9813), got '" +
                           std::string(value) + "'";
                break;
            case kStats:
                options.stats = true;
                break;
            case kQuiet:
                options.quiet = true;
                break;
            case kHelp:
                help = true;
                break;
            case ':':
                return std::string(argv[optind - 1]) + " needs a value";
            default:
                return "unknown option '" + std::string(argv[optind - 1]) + "'";
        }
    }
    if (optind < argc) return "unexpected argument '" + std::string(argv[optind]) + "'";
    return {};
}

// `title` (the adapter, when several are watched) goes on a line of its own
// above the table; `stats` adds the RTT statistics columns.
void PrintTable(const std::vector<std::unique_ptr<KtAcRecord>>& rows, const std::string& title,
                bool stats) {
    static const AcRowTexts kHeaders = {"St",     "MAC Address", "AC Name",  "Service Name",
                                        "RTT ms", "Pkt send",    "Pkt recv", "Pkt loss"};
    static const std::vector<std::string> kStatsHeaders = {"Min ms", "Mean ms", "Max ms",
                                                           "Jitter ms", "P95 ms"};
    std::vector<std::vector<std::string>> lines{{kHeaders.begin(), kHeaders.end()}};
    if (stats) lines[0].insert(lines[0].end(), kStatsHeaders.begin(), kStatsHeaders.end());
    for (const auto& record : rows) {
        const AcRowTexts row = FormatAcRow(*record);
        lines.emplace_back(row.begin(), row.end());
        if (!stats) continue;
        const auto figures = FormatRttStatistics(ComputeRttStatistics(record->history));
        lines.back().insert(lines.back().end(), figures.begin(), figures.end());
    }
    // Columns line up by characters: a Cyrillic name takes two bytes a letter.
    const size_t columns = lines[0].size();
    std::vector<size_t> widths(columns);
    for (const auto& line : lines)
        for (size_t c = 0; c < columns; ++c)
            widths[c] = std::max(widths[c], CountNetworkTextCharacters(line[c]));
    std::string out = title.empty() ? std::string() : "== " + title + "\n";
    for (const auto& line : lines) {
        for (size_t c = 0; c < columns; ++c) {
            out += line[c];
            if (c + 1 < columns)
                out.append(widths[c] - CountNetworkTextCharacters(line[c]) + 2, ' ');
        }
        out += '\n';
    }
    out += '\n';
    std::fputs(out.c_str(), stdout);
    std::fflush(stdout);
}

// Prints what the monitor reports: log lines as they come, the table after
// each probe cycle. Tray, sounds and graphs have no terminal counterpart.
class TerminalView : public MonitorView {
  public:
    // `prefix` ("IFACE: ") starts every log line and names the table when
    // several adapters share the terminal.
    TerminalView(std::string prefix, bool stats, bool quiet)
        : prefix_(std::move(prefix)), stats_(stats), quiet_(quiet) {}

    // The table is read from the monitor, which is made after the view.
    void SetMonitor(const Monitor* monitor) { monitor_ = monitor; }

    void RowAdded(size_t, const KtAcRecord&) override {}
    void RowChanged(size_t, const KtAcRecord&) override {}
    void RowRemoved(size_t) override {}
    void RowsCleared() override {}
    void RowSelected(int) override {}
    void LogAppended(std::string_view line) override {
        if (line.ends_with("\r\n")) line.remove_suffix(2);
        std::fputs(prefix_.c_str(), stdout);
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    void ShowBalloon(std::string_view, BalloonIcon, std::string_view) override {}
    void SetTrayState(bool) override {}
    void PlaySound(const std::string&, bool) override {}
    void StopSound() override {}
    void RefreshGraphs() override {}
    void SetStatusText(int, std::string_view) override {}
    void SetSelectedAcLabel(std::string_view) override {}
    void ShowAdapters(const std::vector<AdapterEntry>&, int, bool) override {}
    void ProbeCycleEnded() override {
        ++cycles_;
        if (monitor_ != nullptr && !quiet_)
            PrintTable(monitor_->Rows(),
                       prefix_.empty() ? prefix_ : monitor_->Settings().deviceName, stats_);
    }

    long Cycles() const { return cycles_; }

  private:
    const std::string prefix_;
    const bool stats_;
    const bool quiet_;
    const Monitor* monitor_ = nullptr;
    long cycles_ = 0;
};

// Turns SIGINT and SIGTERM into a flag and a wake-up of the owner loop. The
// signals are blocked in every thread (the mask is set before any starts)
// and read from a signalfd here.
class SignalWatcher {
  public:
    explicit SignalWatcher(int signalFd) : signalFd_(signalFd) {}
    ~SignalWatcher() { Stop(); }

    void Start(MessagePort& port) {
        thread_ = std::thread([this, &port] {
            pollfd fds[2] = {{signalFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
            while (poll(fds, 2, -1) < 0 && errno == EINTR) {
            }
            if ((fds[0].revents & POLLIN) != 0) {
                signalled_ = true;
                port.Post(kWakeMessage);
            }
        });
    }
    void Stop() {
        if (!thread_.joinable()) return;
        const uint64_t one = 1;
        if (write(stopFd_, &one, sizeof one) < 0) {
            // The eventfd cannot be full after one write; nothing to do.
        }
        thread_.join();
        close(stopFd_);
    }
    bool Signalled() const { return signalled_; }

  private:
    int signalFd_;
    int stopFd_ = eventfd(0, EFD_CLOEXEC);
    std::thread thread_;
    std::atomic<bool> signalled_{false};
};

std::string AdapterNames(const std::vector<AdapterEntry>& adapters) {
    std::string names;
    for (const AdapterEntry& adapter : adapters)
        names += (names.empty() ? "" : ", ") + adapter.deviceName;
    return names;
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
    CliOptions options;
    options.settings = stored.WorkingSettings(true);
    if (const std::optional<int> exitCode =
            RunConnectionCommand(argc, argv, options.settings.deviceName)) {
        return *exitCode;
    }
    bool help = false;
    if (const std::string error = ParseOptions(argc, argv, options, help); !error.empty()) {
        std::fprintf(stderr, "linewatch-cli: %s\nTry 'linewatch-cli --help'.\n", error.c_str());
        return kExitUsage;
    }
    if (help) {
        std::string usage(kUsage);
        if (const size_t at = usage.find(kDefaultLogDirMark); at != std::string::npos) {
            usage.replace(at, kDefaultLogDirMark.size(),
                          ExpandEnvironmentText(kDefaultLogDirectory));
        }
        std::fputs(usage.c_str(), stdout);
        std::fputs(kConnectionCommandsUsage, stdout);
        return kExitOk;
    }

    // Before any thread starts: the capture capability stays permitted but
    // not effective, and the quit signals are taken only through the signalfd.
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
        return kExitFailure;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);

    std::vector<AdapterEntry> adapters = ListEthernetAdapters();
    if (adapters.empty()) {
        std::fputs("linewatch-cli: no Ethernet adapter available\n", stderr);
        return kExitFailure;
    }
    for (const std::string& name : options.interfaces) {
        const bool listed =
            std::any_of(adapters.begin(), adapters.end(),
                        [&](const AdapterEntry& a) { return a.deviceName == name; });
        if (!listed) {
            std::fprintf(stderr, "linewatch-cli: no Ethernet adapter named '%s' (available: %s)\n",
                         name.c_str(), AdapterNames(adapters).c_str());
            return kExitFailure;
        }
    }
    // Without the capability of its own the program captures through the
    // capture helper, which only members of the linewatch group may run.
    if (!HasCapturePermission() && access(CaptureHelperPath().c_str(), X_OK) != 0 &&
        errno == EACCES) {
        std::fputs(CapturePermissionHint(CurrentUserName()).c_str(), stderr);
        return kExitFailure;
    }

    // Without -i one adapter: the stored one, or the first.
    std::vector<std::string> names = options.interfaces;
    if (names.empty()) names.push_back(options.settings.deviceName);
    const bool several = names.size() > 1;

    std::unique_ptr<MetricsExporter> exporter;
    if (options.metricsAddress) {
        std::string error;
        exporter = MetricsExporter::Start(*options.metricsAddress, error);
        if (!exporter) {
            std::fprintf(stderr, "linewatch-cli: cannot serve metrics on %s: %s\n",
                         options.metricsAddress->c_str(), error.c_str());
            return kExitFailure;
        }
        const std::string host =
            options.metricsAddress->substr(0, options.metricsAddress->rfind(':'));
        std::printf("Metrics at http://%s:%d/metrics\n", host.c_str(), exporter->Port());
    }

    std::vector<std::unique_ptr<TerminalView>> views;
    std::vector<std::unique_ptr<AdapterProbe>> probes;
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
        views.push_back(std::make_unique<TerminalView>(several ? name + ": " : "", options.stats,
                                                       options.quiet));
        probes.push_back(std::make_unique<AdapterProbe>(*views.back(), settings, programFolder));
        views.back()->SetMonitor(&probes.back()->GetMonitor());
    }
    // An adapter named on the command line is for this run only; otherwise a
    // fallback to the first adapter is remembered, as the desktop program does.
    if (options.interfaces.empty()) probes[0]->GetMonitor().SetAdapterChoiceStore(&stored);

    SignalWatcher signals(signalFd);
    signals.Start(probes[0]->GetMonitor().Port());

    int exitCode = kExitOk;
    for (auto& probe : probes) {
        Monitor& monitor = probe->GetMonitor();
        if (monitor.Open(adapters)) continue;
        if (monitor.LastStartLackedPermission())
            std::fputs(CapturePermissionHint(CurrentUserName()).c_str(), stderr);
        else
            std::fprintf(stderr, "linewatch-cli: cannot capture on '%s': %s\n",
                         monitor.Settings().deviceName.c_str(),
                         probe->Engine().LastCaptureError().c_str());
        exitCode = kExitFailure;
        break;
    }
    if (exitCode == kExitOk) {
        std::vector<AdapterProbe*> watched;
        for (auto& probe : probes) watched.push_back(probe.get());
        ProbeLoop loop(watched, exporter.get());
        // Asleep until a message comes; a quit signal posts one.
        loop.Run([&] {
            return signals.Signalled() ||
                   (options.cycles &&
                    std::all_of(views.begin(), views.end(), [&](const auto& view) {
                        return view->Cycles() >= *options.cycles;
                    }));
        });
    }
    for (auto& probe : probes) probe->GetMonitor().Close();
    signals.Stop();
    close(signalFd);
    return exitCode;
}
