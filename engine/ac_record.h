#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/ac_log_file.h"
#include "engine/discovery_frames.h"
#include "engine/rtt_statistics.h"

// The latest round-trip samples of one concentrator, for the graphs: a ring
// of 1024 slots that holds at most the 1023 newest values. A value is a
// round-trip time in milliseconds, or -1 for a probe cycle without a reply.
class KtRttHistory {
  public:
    static constexpr uint32_t kSlots = 1024;
    static constexpr uint32_t kMask = kSlots - 1;

    void Push(double value);
    uint32_t Count() const;
    // i from 0 (oldest) to Count() - 1 (newest).
    double ValueAt(uint32_t i) const;

  private:
    std::array<double, kSlots> values_{};
    uint32_t head_ = 0;
    uint32_t tail_ = 0;
};

constexpr size_t kMaxServiceNameLength = 63;

// One row of the concentrator table. Identity is the MAC plus the AC-Name as
// raw bytes; names stay raw here and go through DisplayNetworkText whenever
// they are shown or logged.
struct KtAcRecord {
    MacAddress mac{};
    std::string acName;  // raw, at most kMaxAcNameLength characters (CutNetworkText)
    // raw, the first reply's whole AC-Name (at most kMaxTargetAcNameLength
    // bytes): what a connection entry aims at
    std::string targetAcName;
    std::string serviceName;  // raw, at most kMaxServiceNameLength characters; the first reply's
    bool answered = true;     // false after a PADO-wait expiry without a reply
    bool down = false;        // set once the AC was declared down, cleared by a reply
    double lastRtt = 0.0;     // milliseconds
    int32_t sent = 1;
    int32_t received = 1;
    int32_t lost = 0;
    int32_t unanswered = 0;          // probes missed since the last reply
    uint32_t lastAnsweredProbe = 0;  // number of the latest probe it answered
    std::shared_ptr<KtAcLogFile> logFile;
    KtRttHistory history;
    int32_t samples = 0;
    RttHistogram rttHistogram;  // every answered round trip since the row was added
    uint32_t upEvents = 0;      // AC UP and AC DOWN raised for this row
    uint32_t downEvents = 0;

    bool SameAc(const MacAddress& otherMac, std::string_view otherAcName) const {
        return mac == otherMac && acName == otherAcName;
    }
    void PushSample(double value) {
        history.Push(value);
        ++samples;
        if (value >= 0.0) rttHistogram.Observe(value);
    }
};

// Texts of the table's columns: 0 state, 1 MAC, 2 AC-Name, 3 Service-Name,
// 4 RTT, 5 sent, 6 received, 7 lost. Names are in their display (escaped) form.
constexpr size_t kAcColumnCount = 8;
using AcRowTexts = std::array<std::string, kAcColumnCount>;
AcRowTexts FormatAcRow(const KtAcRecord& record);
// Column 4: the last RTT with three decimals, or "N/A" while unanswered.
std::string FormatRttText(const KtAcRecord& record);
// Row icon: 0 up, 1 down.
inline int AcRowIcon(const KtAcRecord& record) {
    return record.down ? 1 : 0;
}
