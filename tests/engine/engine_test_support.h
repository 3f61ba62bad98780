#pragma once

// Helpers shared by the engine tests: owners of the probe engine and the link
// watcher that record what they report and let a test wait for it, and
// builders for the discovery frames an access concentrator or another
// station sends.

#include <pcap/pcap.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "core/threads/message_port.h"
#include "engine/discovery_frames.h"
#include "engine/linewatch.h"
#include "engine/net_watch_media.h"

// Receives one kind of engine notification.
class NotificationRecorder {
  public:
    using Clock = std::chrono::steady_clock;

    void On(int value) {
        std::function<void(int)> hook;
        {
            std::scoped_lock lock(mutex_);
            values_.push_back(value);
            times_.push_back(Clock::now());
            hook = hook_;
        }
        changed_.notify_all();
        if (hook) hook(value);
    }

    // Runs on the reporting thread, after the value is recorded.
    void SetHook(std::function<void(int)> hook) {
        std::scoped_lock lock(mutex_);
        hook_ = std::move(hook);
    }

    // True when at least count values arrived within the deadline.
    bool WaitForCount(size_t count, std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, deadline, [&] { return values_.size() >= count; });
    }

    std::vector<int> Values() {
        std::scoped_lock lock(mutex_);
        return values_;
    }
    std::vector<Clock::time_point> Times() {
        std::scoped_lock lock(mutex_);
        return times_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<int> values_;
    std::vector<Clock::time_point> times_;
    std::function<void(int)> hook_;
};

// An owner of the probe engine that records every kind of report. With a
// port, the workers are stopped through it (MessagePort::StopAndWait), as the
// monitor stops them.
class LinewatchRecorder final : public LinewatchOwner {
  public:
    LinewatchRecorder() = default;
    explicit LinewatchRecorder(MessagePort& stopPort) : stopPort_(&stopPort) {}

    void ProbeSent(uint32_t probe) override { sent.On(static_cast<int>(probe)); }
    void ProbeSendFailed(uint32_t probe) override { sendFailed.On(static_cast<int>(probe)); }
    void PadoWaitExpired(uint32_t probe) override { expired.On(static_cast<int>(probe)); }
    void PadoReceived(uint32_t probe) override { received.On(static_cast<int>(probe)); }
    void CaptureError(uint32_t reason) override { captureErrors.On(static_cast<int>(reason)); }
    void StopWorker(KtThread& worker) override {
        if (stopPort_ != nullptr)
            stopPort_->StopAndWait(worker);
        else
            worker.StopAndWait();
    }

    NotificationRecorder sent;
    NotificationRecorder sendFailed;
    NotificationRecorder expired;
    NotificationRecorder received;
    NotificationRecorder captureErrors;

  private:
    MessagePort* const stopPort_ = nullptr;
};

// An owner of the link watcher that records its reports; with a port, the
// watcher is stopped through it.
class LinkWatchRecorder final : public LinkWatchOwner {
  public:
    LinkWatchRecorder() = default;
    explicit LinkWatchRecorder(MessagePort& stopPort) : stopPort_(&stopPort) {}

    void CableChanged(int state) override { cable.On(state); }
    void AdapterReturned() override { returned.On(1); }
    void StopWatcher(KtThread& watcher) override {
        if (stopPort_ != nullptr)
            stopPort_->StopAndWait(watcher);
        else
            watcher.StopAndWait();
    }

    NotificationRecorder cable;
    NotificationRecorder returned;

  private:
    MessagePort* const stopPort_ = nullptr;
};

inline void AppendTag(std::vector<uint8_t>& frame, uint16_t type, std::string_view value) {
    frame.push_back(static_cast<uint8_t>(type >> 8));
    frame.push_back(static_cast<uint8_t>(type & 0xFF));
    frame.push_back(static_cast<uint8_t>(value.size() >> 8));
    frame.push_back(static_cast<uint8_t>(value.size() & 0xFF));
    frame.insert(frame.end(), value.begin(), value.end());
}

inline std::vector<uint8_t> DiscoveryHeader(const MacAddress& destination, const MacAddress& source,
                                            uint8_t code) {
    std::vector<uint8_t> frame(destination.begin(), destination.end());
    frame.insert(frame.end(), source.begin(), source.end());
    frame.insert(frame.end(), {0x88, 0x63, 0x11, code, 0x00, 0x00, 0x00, 0x00});
    return frame;
}

inline void FinishPayloadLength(std::vector<uint8_t>& frame) {
    const size_t payload = frame.size() - kDiscoveryHeaderSize;
    frame[18] = static_cast<uint8_t>(payload >> 8);
    frame[19] = static_cast<uint8_t>(payload & 0xFF);
}

// The Host-Uniq value a probe carries (marker and stamp), as an AC echoes it.
inline std::string_view ProbeHostUniq(const uint8_t* probe) {
    return {reinterpret_cast<const char*>(probe) + kProbeMarkerOffset, kHostUniqLength};
}

// An offer as an access concentrator sends it: AC-Name, Service-Name, an
// optional Vendor-Specific tag of `paddingLength` bytes, a 20-byte cookie and
// the echoed Host-Uniq last.
inline std::vector<uint8_t> BuildPado(const MacAddress& destination, const MacAddress& acMac,
                                      std::string_view hostUniq, std::string_view acName,
                                      std::string_view serviceName, size_t paddingLength = 0) {
    std::vector<uint8_t> frame = DiscoveryHeader(destination, acMac, kCodePado);
    AppendTag(frame, kTagAcName, acName);
    AppendTag(frame, kTagServiceName, serviceName);
    if (paddingLength > 0) {
        AppendTag(frame, 0x0105, std::string(paddingLength, '\x5a'));
    }
    AppendTag(frame, 0x0104, std::string(20, '\x11'));
    AppendTag(frame, kTagHostUniq, hostUniq);
    FinishPayloadLength(frame);
    return frame;
}

// A probe as another instance of the program (or another station) sends it.
inline std::vector<uint8_t> BuildPadi(const MacAddress& source, uint32_t stamp) {
    ProbeFrame probe{};
    BuildProbeFrame(probe, stamp);
    SetProbeSourceMac(probe, &source);
    return {probe.begin(), probe.end()};
}

// The capture header of a whole frame of `length` bytes read at
// `atMicroseconds` (since the epoch).
inline pcap_pkthdr CaptureHeader(long atMicroseconds, size_t length) {
    pcap_pkthdr header{};
    header.ts.tv_sec = atMicroseconds / 1000000;
    header.ts.tv_usec = atMicroseconds % 1000000;
    header.caplen = static_cast<uint32_t>(length);
    header.len = static_cast<uint32_t>(length);
    return header;
}
