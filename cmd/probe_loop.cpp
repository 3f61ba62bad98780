#include "cmd/probe_loop.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

ProbeLoop::ProbeLoop(const std::vector<AdapterProbe*>& probes, MetricsExporter* exporter)
    : exporter_(exporter) {
    for (AdapterProbe* probe : probes) {
        auto slot = std::make_unique<Slot>();
        slot->probe = probe;
        Slot* raw = slot.get();
        // Called on whichever thread queues a message.
        probe->GetMonitor().Port().SetWakeUp([this, raw] {
            raw->pending = true;
            wake_.Signal();
        });
        slots_.push_back(std::move(slot));
    }
    figures_.resize(slots_.size());
    // Messages queued before the wake-up was installed are looked at first.
    for (auto& slot : slots_) slot->pending = true;
}

ProbeLoop::~ProbeLoop() {
    for (auto& slot : slots_) slot->probe->GetMonitor().Port().SetWakeUp(nullptr);
}

void ProbeLoop::Run(const std::function<bool()>& done) {
    Publish(Clock::now(), true);
    for (;;) {
        for (auto& slot : slots_) {
            if (!slot->pending.exchange(false)) continue;
            slot->probe->GetMonitor().Port().Drain();
            slot->changed = exporter_ != nullptr;
        }
        Publish(Clock::now(), false);
        if (done()) return;
        int timeoutMs = -1;
        const Clock::time_point now = Clock::now();
        for (const auto& slot : slots_) {
            if (!slot->changed) continue;
            const auto due =
                std::chrono::ceil<std::chrono::milliseconds>(slot->published + kPublishGap - now);
            const int wait = static_cast<int>(std::max<long>(due.count(), 0));
            timeoutMs = timeoutMs < 0 ? wait : std::min(timeoutMs, wait);
        }
        pollfd wait{wake_.Get(), POLLIN, 0};
        if (poll(&wait, 1, timeoutMs) < 0 && errno != EINTR) return;
        wake_.Clear();
    }
}

void ProbeLoop::Publish(Clock::time_point now, bool all) {
    if (exporter_ == nullptr) return;
    bool any = false;
    for (size_t i = 0; i < slots_.size(); ++i) {
        Slot& slot = *slots_[i];
        if (!all && (!slot.changed || now - slot.published < kPublishGap)) continue;
        figures_[i] = std::make_shared<const AdapterFigures>(TakeAdapterFigures(*slot.probe));
        slot.changed = false;
        slot.published = now;
        any = true;
    }
    if (any) exporter_->Publish(figures_);
}
