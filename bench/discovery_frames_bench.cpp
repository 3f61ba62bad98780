// Frames the receive thread can read per second on one core. The figure to
// read is items_per_second: frames handled by ReadDiscoveryFrame.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "engine/discovery_frames.h"
#include "engine/network_text.h"
#include "fuzz/discovery_frame_builder.h"

namespace {

constexpr MacAddress kStation{0x02, 0x00, 0x5E, 0x10, 0x00, 0x01};
constexpr MacAddress kConcentrator{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
constexpr MacAddress kNeighbour{0x52, 0x54, 0x00, 0x12, 0x34, 0x56};
constexpr uint32_t kStamp = 0x8A3F0C21;

void ReadFrames(benchmark::State& state, const std::vector<uint8_t>& frame, FrameKind expected) {
    if (ReadDiscoveryFrame(frame.data(), frame.size(), kStation, kStamp).kind != expected) {
        state.SkipWithError("the frame is not read as expected");
        return;
    }
    for (auto _ : state) {
        FrameReading reading = ReadDiscoveryFrame(frame.data(), frame.size(), kStation, kStamp);
        benchmark::DoNotOptimize(reading);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(frame.size()));
}

// An offer as an access concentrator sends it: AC-Name, Service-Name, a
// 20-byte cookie and the Host-Uniq last.
void MatchedOffer(benchmark::State& state) {
    ReadFrames(state, TypicalOffer(kStation, kConcentrator, kStamp), FrameKind::PadoMatched);
}
BENCHMARK(MatchedOffer);

// An offer with a 25-byte AC-Name, too long for the short-string buffer.
void MatchedOfferLongName(benchmark::State& state) {
    ReadFrames(state,
               DiscoveryFrameBuilder::Pado(kStation, kConcentrator)
                   .Tag(kTagAcName, "bras-01.north.example.net")
                   .Tag(kTagServiceName, "internet-business")
                   .Tag(0x0104, std::string(20, '\x5a'))
                   .HostUniq(kStamp)
                   .Bytes(),
               FrameKind::PadoMatched);
}
BENCHMARK(MatchedOfferLongName);

// A full-size offer whose Host-Uniq comes after a long Service-Name.
void MatchedOfferFullSize(benchmark::State& state) {
    ReadFrames(state,
               DiscoveryFrameBuilder::Pado(kStation, kConcentrator)
                   .Tag(kTagServiceName, std::string(1461, 's'))
                   .Tag(kTagAcName, "ac-north")
                   .HostUniq(kStamp)
                   .Bytes(),
               FrameKind::PadoMatched);
}
BENCHMARK(MatchedOfferFullSize);

// A PADI of another station, padded to the Ethernet minimum.
void ForeignPadi(benchmark::State& state) {
    ReadFrames(state,
               DiscoveryFrameBuilder::Padi(kNeighbour)
                   .Tag(kTagServiceName, "")
                   .Tag(kTagHostUniq, std::string("\x00\x00\x2f\x61", 4))
                   .PadToMinimum()
                   .Bytes(),
               FrameKind::ForeignPadi);
}
BENCHMARK(ForeignPadi);

// The own probe seen leaving.
void OwnProbe(benchmark::State& state) {
    ProbeFrame probe;
    BuildProbeFrame(probe, kStamp);
    SetProbeSourceMac(probe, &kStation);
    ReadFrames(state, {probe.begin(), probe.end()}, FrameKind::OwnProbe);
}
BENCHMARK(OwnProbe);

// Escaping an AC-Name for display.
void DisplayAcName(benchmark::State& state) {
    const std::string name = "Ростелеком-\xe2\x80\xae\x1b[2J";
    for (auto _ : state) {
        std::string shown = DisplayNetworkText(name);
        benchmark::DoNotOptimize(shown);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(DisplayAcName);

}  // namespace

BENCHMARK_MAIN();
