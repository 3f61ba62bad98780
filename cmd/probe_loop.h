#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "cmd/cli_metrics.h"
#include "engine/adapter_probe.h"
#include "engine/wake_signal.h"

// The owner thread's loop over several adapters: every monitor's message
// port wakes one descriptor, the loop drains the ports that have messages
// and, with an exporter, publishes the figures of the adapters that changed
// (at most every kPublishGap per adapter, so that a burst of offers is
// copied once, not once per offer).
class ProbeLoop {
  public:
    static constexpr std::chrono::milliseconds kPublishGap{200};

    ProbeLoop(const std::vector<AdapterProbe*>& probes, MetricsExporter* exporter);
    ~ProbeLoop();
    ProbeLoop(const ProbeLoop&) = delete;
    ProbeLoop& operator=(const ProbeLoop&) = delete;

    // Sleeps until a port has messages, handles them, and returns once
    // `done` holds (checked after every wake-up).
    void Run(const std::function<bool()>& done);

  private:
    using Clock = std::chrono::steady_clock;
    struct Slot {
        AdapterProbe* probe;
        std::atomic<bool> pending{false};
        bool changed = false;
        Clock::time_point published{};
    };

    void Publish(Clock::time_point now, bool all);

    std::vector<std::unique_ptr<Slot>> slots_;
    MetricsExporter* exporter_;
    AdapterFiguresList figures_;
    WakeSignal wake_;
};
