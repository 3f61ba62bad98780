// PPPoE discovery frames as the lab tools see them: a bounded reader for the
// header and tag list and a writer for PADI and PADO frames. Kept apart from
// the engine on purpose, so that the lab checks the engine against an
// independent reading of the wire.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace lwlab {

using MacAddress = std::array<std::uint8_t, 6>;

inline constexpr std::uint16_t kEtherTypeDiscovery = 0x8863;
inline constexpr std::uint8_t kVersionType = 0x11;
inline constexpr std::uint8_t kCodePado = 0x07;
inline constexpr std::uint8_t kCodePadi = 0x09;
inline constexpr std::uint16_t kTagEndOfList = 0x0000;
inline constexpr std::uint16_t kTagServiceName = 0x0101;
inline constexpr std::uint16_t kTagAcName = 0x0102;
inline constexpr std::uint16_t kTagHostUniq = 0x0103;
inline constexpr std::uint16_t kTagRelaySessionId = 0x0110;
inline constexpr std::size_t kEthernetHeader = 14;
inline constexpr std::size_t kDiscoveryHeader = kEthernetHeader + 6;
// Largest frame without FCS on a 1500-byte MTU.
inline constexpr std::size_t kMaxFrame = 1514;

struct DiscoveryTag {
    std::uint16_t type = 0;
    std::span<const std::uint8_t> value;
};

// A discovery frame whose header checked out; tags point into the caller's
// buffer and are valid as long as it is.
struct DiscoveryFrame {
    MacAddress destination{};
    MacAddress source{};
    std::uint8_t code = 0;
    std::uint16_t session = 0;
    std::vector<DiscoveryTag> tags;

    std::optional<std::span<const std::uint8_t>> FirstTag(std::uint16_t type) const {
        for (const DiscoveryTag& tag : tags) {
            if (tag.type == type) {
                return tag.value;
            }
        }
        return std::nullopt;
    }
    std::optional<std::string_view> FirstText(std::uint16_t type) const {
        const auto value = FirstTag(type);
        if (!value) {
            return std::nullopt;
        }
        return std::string_view(reinterpret_cast<const char*>(value->data()), value->size());
    }
};

inline std::uint16_t ReadBigEndian16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

inline void AppendBigEndian16(std::vector<std::uint8_t>& out, std::size_t value) {
    out.push_back(static_cast<std::uint8_t>((value >> 8) & 0xff));
    out.push_back(static_cast<std::uint8_t>(value & 0xff));
}

// Reads a discovery frame from the captured bytes only. A payload length that
// claims more than was captured, or a tag that runs past the payload, makes
// the whole frame invalid; nothing is ever read beyond `bytes`.
inline std::optional<DiscoveryFrame> ReadDiscoveryFrame(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kDiscoveryHeader) {
        return std::nullopt;
    }
    const std::uint8_t* p = bytes.data();
    if (ReadBigEndian16(p + 12) != kEtherTypeDiscovery || p[14] != kVersionType) {
        return std::nullopt;
    }
    DiscoveryFrame frame;
    std::copy(p, p + 6, frame.destination.begin());
    std::copy(p + 6, p + 12, frame.source.begin());
    frame.code = p[15];
    frame.session = ReadBigEndian16(p + 16);
    const std::size_t payload = ReadBigEndian16(p + 18);
    if (payload > bytes.size() - kDiscoveryHeader) {
        return std::nullopt;
    }
    std::size_t cursor = kDiscoveryHeader;
    const std::size_t end = kDiscoveryHeader + payload;
    while (end - cursor >= 4) {
        const std::uint16_t type = ReadBigEndian16(p + cursor);
        const std::size_t length = ReadBigEndian16(p + cursor + 2);
        cursor += 4;
        if (length > end - cursor) {
            return std::nullopt;
        }
        if (type == kTagEndOfList) {
            break;
        }
        frame.tags.push_back({type, bytes.subspan(cursor, length)});
        cursor += length;
    }
    return frame;
}

inline void AppendTag(std::vector<std::uint8_t>& out, std::uint16_t type,
                      std::span<const std::uint8_t> value) {
    AppendBigEndian16(out, type);
    AppendBigEndian16(out, value.size());
    out.insert(out.end(), value.begin(), value.end());
}

inline std::span<const std::uint8_t> AsBytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Starts a discovery frame: Ethernet and PPPoE headers with a zero payload
// length, which FinishDiscoveryFrame fills in once the tags are appended.
inline std::vector<std::uint8_t> StartDiscoveryFrame(const MacAddress& destination,
                                                     const MacAddress& source, std::uint8_t code) {
    std::vector<std::uint8_t> out;
    out.reserve(kMaxFrame);
    out.insert(out.end(), destination.begin(), destination.end());
    out.insert(out.end(), source.begin(), source.end());
    AppendBigEndian16(out, kEtherTypeDiscovery);
    out.push_back(kVersionType);
    out.push_back(code);
    AppendBigEndian16(out, 0);
    AppendBigEndian16(out, 0);
    return out;
}

// Sets the payload length; false when the frame is too large for Ethernet.
inline bool FinishDiscoveryFrame(std::vector<std::uint8_t>& frame) {
    if (frame.size() > kMaxFrame || frame.size() < kDiscoveryHeader) {
        return false;
    }
    const std::size_t payload = frame.size() - kDiscoveryHeader;
    frame[18] = static_cast<std::uint8_t>(payload >> 8);
    frame[19] = static_cast<std::uint8_t>(payload & 0xff);
    return true;
}

}  // namespace lwlab
