// Feeds arbitrary bytes to the discovery-frame reader alone, each time from a
// heap block of exactly the input's size so that AddressSanitizer reports any
// read past the captured bytes. The input is one captured frame, as the
// capture would hand it over. The names the reader returns are checked for
// their bounds here; their escaping for display has a fuzzer of its own
// (network_text_fuzz), so that frame reading runs at full speed.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "engine/discovery_frames.h"
#include "engine/network_text.h"
#include "fuzz/discovery_frame_builder.h"

namespace {

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

uint32_t BigEndian32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void CheckReading(const uint8_t* frame, size_t size, const MacAddress& station, uint32_t stamp) {
    const FrameReading reading = ReadDiscoveryFrame(frame, size, station, stamp);
    if (reading.kind != FrameKind::PadoMatched) {
        Require(reading.acName.empty() && reading.serviceName.empty());
        return;
    }
    Require(CountNetworkTextCharacters(reading.acName) <= kMaxAcNameLength);
    Require(reading.fullAcName.size() <= kMaxTargetAcNameLength);
    Require(reading.fullAcName.compare(0, reading.acName.size(), reading.acName) == 0);
    Require(reading.serviceName.size() + kDiscoveryHeaderSize <= size);
}

MacAddress MacAt(const uint8_t* p) {
    MacAddress mac;
    std::copy_n(p, mac.size(), mac.begin());
    return mac;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<uint8_t[]> frame(new uint8_t[size]);
    std::copy_n(data, size, frame.get());

    // The station and stamp the seeds were built for.
    CheckReading(frame.get(), size, kSeedStation, kSeedStamp);
    // The frame's own addresses and stamp-shaped bytes, so that mutated and
    // captured frames alike reach the offer and own-probe rules: the offer's
    // destination with the last four bytes of its payload (where an access
    // concentrator puts the Host-Uniq), and the PADI's source with the bytes
    // at the probe's stamp offset.
    if (size >= kDiscoveryHeaderSize) {
        const size_t payloadEnd =
            std::min(size, kDiscoveryHeaderSize + ((size_t{frame[18]} << 8) | frame[19]));
        const uint32_t lastFour =
            payloadEnd >= kDiscoveryHeaderSize + 4 ? BigEndian32(frame.get() + payloadEnd - 4) : 0;
        CheckReading(frame.get(), size, MacAt(frame.get()), lastFour);
        const uint32_t probeStamp =
            size >= kProbeFrameSize ? BigEndian32(frame.get() + kProbeStampOffset) : 0;
        CheckReading(frame.get(), size, MacAt(frame.get() + 6), probeStamp);
    }
    return 0;
}
