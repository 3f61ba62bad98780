#pragma once

#include <cstdint>
#include <string>

#include "engine/linewatch.h"
#include "engine/monitor.h"
#include "engine/net_watch_media.h"

// One watched adapter: its own probe engine, link watcher and monitor (AC
// table, logs), so that nothing of one adapter is shared with another. The
// terminal front end makes one per adapter it watches; the monitor window
// makes one for the adapter it shows.
//
// The monitor runs on the thread that makes the probe (the owner thread);
// the engine and the watcher report to it through its message port, which the
// owner drains. The monitor goes first on destruction: it stops the engine's
// and the watcher's threads before they go.
class AdapterProbe {
  public:
    // The monitor's Open picks the adapter. The link watcher reads the
    // interfaces below `sysfsNetRoot` (a planted tree in tests).
    AdapterProbe(MonitorView& view, const MonitorSettings& settings, std::string programFolder,
                 std::string sysfsNetRoot = kSystemNetRoot);
    AdapterProbe(const AdapterProbe&) = delete;
    AdapterProbe& operator=(const AdapterProbe&) = delete;

    Monitor& GetMonitor() { return monitor_; }
    const Monitor& GetMonitor() const { return monitor_; }
    // The engine, for a capture handed in by the caller (AttachCapture,
    // AttachChannel) and for tests that feed it frames.
    KtLinewatch& Engine() { return engine_; }
    KtNetWatchMedia& Media() { return media_; }
    // The watched interface's link (kLinkStateUnknown, ...Disconnected,
    // ...Connected) as the watcher read it last.
    int32_t LinkState() const { return media_.LinkState(); }

  private:
    KtLinewatch engine_;
    KtNetWatchMedia media_;
    Monitor monitor_;
};
