#pragma once

// The monitor tests' harness: a monitor on a real engine with no adapter, fed
// on this thread the frames and messages the engine threads would give it,
// and the concentrators the tests make answer.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/linewatch.h"
#include "engine/monitor.h"
#include "engine/net_watch_media.h"
#include "engine_test_support.h"
#include "recording_view.h"

constexpr MacAddress kOurMac = {0x02, 0x4c, 0x57, 0x20, 0x00, 0x01};
constexpr MacAddress kCustomMac = {0x02, 0x4c, 0x57, 0x20, 0x00, 0x99};
constexpr MacAddress kAc1Mac = {0x00, 0x1b, 0x21, 0x0a, 0x4c, 0x5e};
constexpr MacAddress kAc2Mac = {0x02, 0x4c, 0x57, 0x20, 0x0a, 0x02};

struct Offer {
    MacAddress mac;
    std::string acName;
    std::string service;
    long rttMicroseconds;
};

// A monitor on a real engine, fed the frames the receive thread would read
// (through KtLinewatch::HandleFrame) and the messages the send and PADO-wait
// threads would send, all on this (the owner) thread.
class MonitorHarness {
  public:
    explicit MonitorHarness(MonitorSettings settings = {}, const std::string& logFolder = {}) {
        if (!logFolder.empty()) settings.logDirectory = logFolder;
        monitor = std::make_unique<Monitor>(engine, media, view, settings, "/nonexistent-program");
        engine.SetSourceMac(&kOurMac);
    }

    // One probe cycle: the probe goes out, the capture sees it leave at
    // `now`, the offers arrive after their RTT, the wait runs out.
    void Cycle(const std::vector<Offer>& offers) {
        const uint32_t probe = SendProbe();
        Report(probe);
        SeeProbeLeave();
        Answer(offers);
        EndWait(probe);
        now_ += 1000000;
    }

    // A cycle in which the answers are captured and reported before the send
    // thread's report of the probe is handled (a fast segment).
    void CycleWithOvertakingReplies(const std::vector<Offer>& offers) {
        const uint32_t probe = SendProbe();
        SeeProbeLeave();
        Answer(offers);
        Report(probe);
        EndWait(probe);
        now_ += 1000000;
    }

    // The steps of a cycle, for tests that interleave cycles. SendProbe
    // records a probe leaving now (it is seen 10 µs later).
    uint32_t SendProbe() { return engine.RecordProbeSent(now_); }
    void Report(uint32_t probe) { monitor->Port().Send(WM_LW_PADI_SENT, probe); }
    void SeeProbeLeave() {
        const ProbeFrame probe = engine.GetProbeFrame();
        Feed(probe.data(), probe.size(), 10);
    }
    // The offers, captured after their RTT from the probe seen last.
    void Answer(const std::vector<Offer>& offers) {
        const ProbeFrame probe = engine.GetProbeFrame();
        for (const Offer& offer : offers) {
            const std::vector<uint8_t> pado = BuildPado(
                kOurMac, offer.mac, ProbeHostUniq(probe.data()), offer.acName, offer.service);
            Feed(pado.data(), pado.size(), 10 + offer.rttMicroseconds);
        }
    }
    // As the PADO-wait thread does it: the engine first, then the report.
    void EndWait(uint32_t probe) {
        engine.EndProbeWait(probe);
        monitor->Port().Send(WM_LW_PADO_TIMEOUT, probe);
    }
    void Advance(long microseconds) { now_ += microseconds; }

    const KtAcRecord& Row(size_t i) { return *monitor->Rows().at(i); }

    KtLinewatch engine;
    KtNetWatchMedia media;
    RecordingView view;
    std::unique_ptr<Monitor> monitor;

  private:
    void Feed(const uint8_t* data, size_t length, long offsetMicroseconds) {
        engine.HandleFrame(CaptureHeader(now_ + offsetMicroseconds, length), data);
    }

    long now_ = 1000L * 1000000;
};

const Offer kAc1{kAc1Mac, "access1", "internet", 12346};
// Wire length of an offer built by BuildPado: headers 20, AC-Name and
// Service-Name tags, a 24-byte cookie tag and the 21-byte Host-Uniq tag.
inline std::string PadoLength(const Offer& offer) {
    return std::to_string(20 + 4 + offer.acName.size() + 4 + offer.service.size() + 24 + 21);
}
const Offer kAc2{kAc2Mac, "access2", "video", 800};
