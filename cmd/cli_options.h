#pragma once

#include <optional>
#include <string>
#include <vector>

#include "engine/monitor_settings.h"

// What the command line asks of this run: the stored settings with the
// options' overrides, the adapters to watch and the terminal's own choices.
struct CliOptions {
    MonitorSettings settings;
    std::vector<std::string> interfaces;  // -i in the order given; empty: the stored one
    std::optional<long> cycles;
    std::optional<std::string> metricsAddress;
    bool stats = false;
    bool quiet = false;
    bool help = false;
};

// The parsed options, or the reason the command line was refused.
struct ParsedCliOptions {
    CliOptions options;
    std::string error;  // empty when the command line was accepted
};

// Parses the options (getopt_long, so it reads argv once per process) over
// `stored`, the settings this run starts from. An option given a bad value,
// an unknown option and a stray argument give the error text that follows
// "linewatch-cli: " on standard error.
ParsedCliOptions ParseCliOptions(int argc, char** argv, const MonitorSettings& stored);

// The --help text, the default log folder resolved as this user's run
// resolves it.
std::string CliUsageText();
