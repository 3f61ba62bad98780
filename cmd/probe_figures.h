#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/adapter_probe.h"
#include "engine/monitor.h"
#include "engine/rtt_statistics.h"

// What one watched adapter shows at one moment, copied out of its monitor on
// the owner thread so that other threads (the metrics exporter) read it
// without touching the monitor. Names are in their display (escaped) form,
// as the table shows them.
struct AcFigures {
    std::string mac;      // display form, 02:4C:57:00:0A:01
    std::string acName;   // DisplayNetworkText of the raw AC-Name
    std::string service;  // DisplayNetworkText of the first reply's Service-Name
    bool up = true;       // not declared down
    double lastRttMs = 0.0;
    uint64_t sent = 0;
    uint64_t answered = 0;
    uint64_t lost = 0;
    uint64_t upEvents = 0;
    uint64_t downEvents = 0;
    RttHistogram rttHistogram;
};

struct AdapterFigures {
    std::string interface;
    bool monitoring = false;
    int32_t linkState = 0;  // kLinkStateUnknown, kLinkStateDisconnected, kLinkStateConnected
    MonitorCounts counts;
    std::vector<AcFigures> acs;
};

// The figures of one adapter probe as its monitor and link watcher hold them now;
// called on the probe's owner thread.
AdapterFigures TakeAdapterFigures(const AdapterProbe& probe);
