#pragma once

// Builds discovery frames for the tests, the benchmark and the fuzzing seeds,
// well-formed or deliberately broken.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/discovery_frames.h"

// The station and instance stamp the fuzzing seeds are built for.
constexpr MacAddress kSeedStation{0x02, 0x00, 0x5E, 0x10, 0x00, 0x01};
constexpr uint32_t kSeedStamp = 0x8A3F0C21;

class DiscoveryFrameBuilder {
  public:
    DiscoveryFrameBuilder(uint8_t code, const MacAddress& destination, const MacAddress& source) {
        bytes_.insert(bytes_.end(), destination.begin(), destination.end());
        bytes_.insert(bytes_.end(), source.begin(), source.end());
        bytes_.insert(bytes_.end(), {0x88, 0x63, 0x11, code, 0x00, 0x00, 0x00, 0x00});
    }

    static DiscoveryFrameBuilder Pado(const MacAddress& destination, const MacAddress& source) {
        return DiscoveryFrameBuilder(kCodePado, destination, source);
    }

    static DiscoveryFrameBuilder Padi(const MacAddress& source) {
        return DiscoveryFrameBuilder(kCodePadi, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, source);
    }

    // A tag whose length field matches its value.
    DiscoveryFrameBuilder& Tag(uint16_t type, std::string_view value) {
        return TagWithLength(type, static_cast<uint16_t>(value.size()), value);
    }

    // A tag whose length field says `length` whatever value follows it.
    DiscoveryFrameBuilder& TagWithLength(uint16_t type, uint16_t length, std::string_view value) {
        Put16(type);
        Put16(length);
        Raw(value);
        return *this;
    }

    // Host-Uniq as the probe sends it: the marker, then the stamp big-endian.
    DiscoveryFrameBuilder& HostUniq(uint32_t stamp, std::string_view marker = kInstanceMarker) {
        std::string value(marker);
        for (int shift = 24; shift >= 0; shift -= 8) {
            value.push_back(static_cast<char>((stamp >> shift) & 0xFF));
        }
        return Tag(kTagHostUniq, value);
    }

    DiscoveryFrameBuilder& Raw(std::string_view bytes) {
        bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
        return *this;
    }

    // Overrides the payload length field; otherwise it counts every byte
    // added by the calls above (not the padding).
    DiscoveryFrameBuilder& DeclaredLength(uint16_t length) {
        declaredLength_ = length;
        hasDeclaredLength_ = true;
        return *this;
    }

    // Bytes after the payload that the payload length does not count, as
    // Ethernet padding of a short frame.
    DiscoveryFrameBuilder& Padding(std::string_view bytes) {
        padding_.insert(padding_.end(), bytes.begin(), bytes.end());
        return *this;
    }

    // Pads with zeros to the 60-byte Ethernet minimum.
    DiscoveryFrameBuilder& PadToMinimum() {
        const size_t size = bytes_.size() + padding_.size();
        return size < 60 ? Padding(std::string(60 - size, '\0')) : *this;
    }

    std::vector<uint8_t> Bytes() const {
        std::vector<uint8_t> frame = bytes_;
        const auto length =
            hasDeclaredLength_ ? declaredLength_ : static_cast<uint16_t>(bytes_.size() - 20);
        frame[18] = static_cast<uint8_t>(length >> 8);
        frame[19] = static_cast<uint8_t>(length);
        frame.insert(frame.end(), padding_.begin(), padding_.end());
        return frame;
    }

  private:
    void Put16(uint16_t value) {
        bytes_.push_back(static_cast<uint8_t>(value >> 8));
        bytes_.push_back(static_cast<uint8_t>(value));
    }

    std::vector<uint8_t> bytes_;
    std::vector<uint8_t> padding_;
    uint16_t declaredLength_ = 0;
    bool hasDeclaredLength_ = false;
};

// An offer as an access concentrator typically sends it: AC-Name, the
// Service-Names, a 20-byte AC-Cookie, and the Host-Uniq copied from the
// probe last.
inline std::vector<uint8_t> TypicalOffer(const MacAddress& station, const MacAddress& concentrator,
                                         uint32_t stamp) {
    return DiscoveryFrameBuilder::Pado(station, concentrator)
        .Tag(kTagAcName, "ac-north")
        .Tag(kTagServiceName, "internet")
        .Tag(0x0104, std::string_view("\x5a\x11\x93\x0e\xc2\x7b\x44\x18\x90\x01"
                                      "\xfe\x3d\x62\x07\xb5\x2c\x08\xe1\x4f\x77",
                                      20))
        .HostUniq(stamp)
        .Bytes();
}
