// Writes the seed frames of the discovery-frame fuzzer into a folder:
//   discovery_frames_seeds tests/fuzz/corpus
// Each file holds one frame as the capture hands it over.

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/discovery_frame_builder.h"

using namespace std::string_literals;

namespace {

constexpr MacAddress kConcentrator{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
constexpr MacAddress kNeighbour{0x52, 0x54, 0x00, 0x12, 0x34, 0x56};
const std::string kCookie =
    "\x5a\x11\x93\x0e\xc2\x7b\x44\x18\x90\x01\xfe\x3d\x62\x07\xb5\x2c\x08\xe1\x4f\x77"s;

std::vector<uint8_t> Probe(const MacAddress& source, uint32_t stamp) {
    ProbeFrame probe;
    BuildProbeFrame(probe, stamp);
    SetProbeSourceMac(probe, &source);
    return {probe.begin(), probe.end()};
}

DiscoveryFrameBuilder Offer() {
    return DiscoveryFrameBuilder::Pado(kSeedStation, kConcentrator);
}

bool Write(const std::string& folder, const std::string& name, const std::vector<uint8_t>& bytes) {
    std::ofstream file(folder + "/" + name, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(file);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    const std::string text = "00:1a:2B:3c:4d:5e";
    auto truncated = TypicalOffer(kSeedStation, kConcentrator, kSeedStamp);
    truncated.resize(truncated.size() - 3);
    const std::vector<std::pair<std::string, std::vector<uint8_t>>> seeds = {
        {"probe", Probe(kSeedStation, kSeedStamp)},
        {"padi-other-instance", Probe(kSeedStation, kSeedStamp + 1)},
        {"padi-foreign", DiscoveryFrameBuilder::Padi(kNeighbour)
                             .Tag(kTagServiceName, "")
                             .Tag(kTagHostUniq, "\x00\x00\x2f\x61"s)
                             .PadToMinimum()
                             .Bytes()},
        {"pado-typical", TypicalOffer(kSeedStation, kConcentrator, kSeedStamp)},
        {"pado-services", Offer()
                              .Tag(kTagAcName, "bras-2")
                              .Tag(kTagServiceName, "internet")
                              .Tag(kTagServiceName, "voip")
                              .Tag(kTagServiceName, "")
                              .Tag(0x0104, kCookie)
                              .Tag(0x0110, "\x00\x00\x00\x01\x02\x03"s)
                              .HostUniq(kSeedStamp)
                              .Bytes()},
        {"pado-padded", Offer().Tag(kTagAcName, "ac").HostUniq(kSeedStamp).PadToMinimum().Bytes()},
        {"pado-hostile-names",
         Offer()
             .Tag(kTagAcName, "\x1b[2J\xe2\x80\xae\xd0\x9f\xd0\xb5\xc0\xaf\\"s)
             .Tag(kTagServiceName, "a\0\"b'\xc2\x9b\xf3\xa0\x81\x81"s)
             .HostUniq(kSeedStamp)
             .Bytes()},
        {"pado-long-acname", Offer()
                                 .Tag(kTagAcName, std::string(1484, 'A'))
                                 .Tag(kTagServiceName, "")
                                 .HostUniq(kSeedStamp)
                                 .Bytes()},
        {"pado-full-size", Offer()
                               .Tag(kTagServiceName, std::string(1461, 's'))
                               .Tag(kTagAcName, "ac-north")
                               .HostUniq(kSeedStamp)
                               .Bytes()},
        {"pado-truncated", truncated},
        {"pado-other-stamp", Offer().Tag(kTagAcName, "ac").HostUniq(kSeedStamp + 1).Bytes()},
        {"pado-declared-long",
         Offer().Tag(kTagAcName, "ac").HostUniq(kSeedStamp).DeclaredLength(0xFFFF).Bytes()},
        {"pado-tag-past-end",
         Offer().HostUniq(kSeedStamp).TagWithLength(kTagAcName, 9, "eight by").Bytes()},
        {"mac-text", std::vector<uint8_t>(text.begin(), text.end())},
    };
    for (const auto& [name, bytes] : seeds) {
        if (!Write(folder, name, bytes)) {
            std::fprintf(stderr, "cannot write %s/%s\n", folder.c_str(), name.c_str());
            return 1;
        }
    }
    return 0;
}
