#include "cmd/cli_options.h"

#include <getopt.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <string_view>

#include "cmd/cli_metrics.h"
#include "core/program_paths.h"
#include "core/settings/app_settings.h"
#include "engine/capture_protocol.h"
#include "engine/discovery_frames.h"

namespace {

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
std::string ParseInto(int argc, char** argv, CliOptions& options) {
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
                options.help = true;
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

}  // namespace

ParsedCliOptions ParseCliOptions(int argc, char** argv, const MonitorSettings& stored) {
    ParsedCliOptions parsed;
    parsed.options.settings = stored;
    parsed.error = ParseInto(argc, argv, parsed.options);
    return parsed;
}

std::string CliUsageText() {
    std::string usage(kUsage);
    if (const size_t at = usage.find(kDefaultLogDirMark); at != std::string::npos) {
        usage.replace(at, kDefaultLogDirMark.size(), ExpandEnvironmentText(kDefaultLogDirectory));
    }
    return usage;
}
