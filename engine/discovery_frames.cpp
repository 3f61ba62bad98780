#include "engine/discovery_frames.h"

#include <algorithm>
#include <string_view>

#include "engine/frame_layout.h"
#include "engine/network_text.h"

namespace {

constexpr size_t kTagHeaderSize = 4;
constexpr size_t kStampInHostUniq = 13;

uint32_t ReadBigEndian32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void WriteBigEndian16(uint8_t* p, uint16_t value) {
    p[0] = static_cast<uint8_t>(value >> 8);
    p[1] = static_cast<uint8_t>(value);
}

void WriteBigEndian32(uint8_t* p, uint32_t value) {
    p[0] = static_cast<uint8_t>(value >> 24);
    p[1] = static_cast<uint8_t>(value >> 16);
    p[2] = static_cast<uint8_t>(value >> 8);
    p[3] = static_cast<uint8_t>(value);
}

bool SameMac(const uint8_t* p, const MacAddress& mac) {
    return std::equal(mac.begin(), mac.end(), p);
}

MacAddress CopyMac(const uint8_t* p) {
    MacAddress mac;
    std::copy(p, p + mac.size(), mac.begin());
    return mac;
}

struct Tag {
    uint16_t type = 0;
    uint16_t length = 0;
    const uint8_t* value = nullptr;
    bool complete = false;  // the whole value lies inside the readable bytes
};

// Walks the tags between the PPPoE header and `end`, which is already bounded
// by both the captured bytes and the declared payload length. The offset never
// passes `end`: a tag whose value runs past it is handed out as incomplete and
// ends the walk, and fewer than 4 bytes left cannot hold a tag header.
class TagWalk {
  public:
    TagWalk(const uint8_t* frame, size_t end) : frame_(frame), end_(end) {}

    bool Next(Tag& tag) {
        if (end_ - offset_ < kTagHeaderSize) {
            return false;
        }
        const uint8_t* header = frame_ + offset_;
        tag.type = ReadBigEndian16(header);
        tag.length = ReadBigEndian16(header + 2);
        tag.value = header + kTagHeaderSize;
        tag.complete = tag.length <= end_ - offset_ - kTagHeaderSize;
        offset_ = tag.complete ? offset_ + kTagHeaderSize + tag.length : end_;
        return true;
    }

  private:
    const uint8_t* frame_;
    size_t end_;
    size_t offset_ = kDiscoveryHeaderSize;
};

// First pass: the offer answers this instance only if its first Host-Uniq
// tag has the probe's length and carries the stamp. A Host-Uniq that is cut
// short cannot be checked, so it drops the frame like a wrong one.
bool CarriesInstanceStamp(const uint8_t* frame, size_t end, uint32_t instanceStamp) {
    TagWalk walk(frame, end);
    Tag tag;
    while (walk.Next(tag)) {
        if (tag.type != kTagHostUniq) {
            continue;
        }
        if (!tag.complete || tag.length != kHostUniqLength) {
            return false;
        }
        return ReadBigEndian32(tag.value + kStampInHostUniq) == instanceStamp;
    }
    return false;
}

// Second pass: the names. A later tag replaces an earlier one; a tag cut
// short ends the walk and the names read before it stand.
void ReadOfferNames(const uint8_t* frame, size_t end, FrameReading& reading) {
    TagWalk walk(frame, end);
    Tag tag;
    while (walk.Next(tag) && tag.complete) {
        const char* value = reinterpret_cast<const char*>(tag.value);
        if (tag.type == kTagServiceName) {
            if (tag.length == 0) {
                reading.serviceName = kDefaultServiceName;
            } else {
                reading.serviceName.assign(value, tag.length);
            }
        } else if (tag.type == kTagAcName) {
            reading.acName = CutNetworkText(std::string_view(value, tag.length), kMaxAcNameLength);
            reading.fullAcName.assign(value, std::min<size_t>(tag.length, kMaxTargetAcNameLength));
        }
    }
}

FrameReading ReadOffer(const uint8_t* frame, size_t end, const MacAddress& sourceMac,
                       uint32_t instanceStamp) {
    FrameReading reading;
    if (!SameMac(frame, sourceMac) || !CarriesInstanceStamp(frame, end, instanceStamp)) {
        return reading;
    }
    reading.kind = FrameKind::PadoMatched;
    reading.sourceMac = CopyMac(frame + kSourceMacOffset);
    ReadOfferNames(frame, end, reading);
    return reading;
}

// The marker and the stamp are read at the fixed offsets of the probe layout
// (empty Service-Name first, Host-Uniq second); a frame too short to hold
// them there is not a probe of this program.
FrameReading ReadInitiation(const uint8_t* frame, size_t end, const MacAddress& sourceMac,
                            uint32_t instanceStamp) {
    FrameReading reading;
    const MacAddress frameSource = CopyMac(frame + kSourceMacOffset);
    if (frameSource != sourceMac) {
        reading.kind = FrameKind::ForeignPadi;
        reading.sourceMac = frameSource;
        return reading;
    }
    if (end < kProbeFrameSize ||
        !std::equal(kInstanceMarker.begin(), kInstanceMarker.end(), frame + kProbeMarkerOffset)) {
        return reading;
    }
    reading.kind = ReadBigEndian32(frame + kProbeStampOffset) == instanceStamp
                       ? FrameKind::OwnProbe
                       : FrameKind::OtherInstancePadi;
    reading.sourceMac = frameSource;
    return reading;
}

std::string FormatMac(const MacAddress& mac, const char* digits, char separator) {
    std::string text(mac.size() * 3 - 1, separator);
    for (size_t i = 0; i < mac.size(); ++i) {
        text[i * 3] = digits[mac[i] >> 4];
        text[i * 3 + 1] = digits[mac[i] & 0x0F];
    }
    return text;
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The white space scanf skips before a number.
bool IsScanSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// One "%2x" conversion of scanf at text[pos], as glibc makes it: white space
// skipped, then at most two characters of an optional sign, an optional "0x"
// prefix (its "0" counts as a digit) and hexadecimal digits. The low byte of
// the (unsigned) result; nothing when no digit was read.
std::optional<uint8_t> ScanHexField(std::string_view text, size_t& pos) {
    while (pos < text.size() && IsScanSpace(text[pos])) ++pos;
    size_t width = 2;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '-' || text[pos] == '+')) {
        negative = text[pos] == '-';
        ++pos;
        --width;
    }
    unsigned value = 0;
    size_t digits = 0;
    if (width > 0 && pos < text.size() && text[pos] == '0') {
        ++pos;
        --width;
        ++digits;
        if (width > 0 && pos < text.size() && (text[pos] == 'x' || text[pos] == 'X')) {
            ++pos;
            --width;
        }
    }
    while (width > 0 && pos < text.size() && HexDigitValue(text[pos]) >= 0) {
        value = value * 16 + static_cast<unsigned>(HexDigitValue(text[pos]));
        ++pos;
        --width;
        ++digits;
    }
    if (digits == 0) return std::nullopt;
    if (negative) value = 0u - value;
    return static_cast<uint8_t>(value & 0xFF);
}

}  // namespace

std::string FormatMacText(const MacAddress& mac) {
    return FormatMac(mac, "0123456789ABCDEF", ':');
}

std::string FormatMacFileText(const MacAddress& mac) {
    return FormatMac(mac, "0123456789abcdef", '-');
}

std::optional<MacAddress> ParseMacText(std::string_view text) {
    MacAddress mac{};
    size_t pos = 0;
    for (size_t field = 0; field < mac.size(); ++field) {
        if (field > 0) {
            if (pos >= text.size() || text[pos] != ':') return std::nullopt;
            ++pos;
        }
        const std::optional<uint8_t> value = ScanHexField(text, pos);
        if (!value) return std::nullopt;
        mac[field] = *value;
    }
    return mac;
}

std::optional<MacAddress> ParseCustomSourceMac(std::string_view text) {
    if (text.size() != kCustomSourceMacTextLength) return std::nullopt;
    return ParseMacText(text);
}

void BuildProbeFrame(ProbeFrame& frame, uint32_t instanceStamp) {
    frame.fill(0);
    std::fill_n(frame.begin(), 6, uint8_t{0xFF});
    WriteBigEndian16(&frame[kEtherTypeOffset], kEtherTypeDiscovery);
    frame[kVersionTypeOffset] = kPppoeVersionType;
    frame[kCodeOffset] = kCodePadi;
    WriteBigEndian16(&frame[kPayloadLengthOffset],
                     static_cast<uint16_t>(kProbeFrameSize - kDiscoveryHeaderSize));
    WriteBigEndian16(&frame[20], kTagServiceName);  // length 0: any service
    WriteBigEndian16(&frame[24], kTagHostUniq);
    WriteBigEndian16(&frame[26], static_cast<uint16_t>(kHostUniqLength));
    std::copy(kInstanceMarker.begin(), kInstanceMarker.end(), &frame[kProbeMarkerOffset]);
    WriteBigEndian32(&frame[kProbeStampOffset], instanceStamp);
}

void SetProbeSourceMac(ProbeFrame& frame, const MacAddress* mac) {
    if (mac != nullptr) {
        std::copy(mac->begin(), mac->end(), &frame[kSourceMacOffset]);
    } else {
        std::fill_n(&frame[kSourceMacOffset], 6, uint8_t{0});
    }
}

MacAddress ProbeSourceMac(const ProbeFrame& frame) {
    return CopyMac(&frame[kSourceMacOffset]);
}

FrameReading ReadDiscoveryFrame(const uint8_t* data, size_t capturedLength,
                                const MacAddress& sourceMac, uint32_t instanceStamp) {
    if (data == nullptr || capturedLength < kDiscoveryHeaderSize ||
        ReadBigEndian16(data + kEtherTypeOffset) != kEtherTypeDiscovery) {
        return {};
    }
    // The one bound for every read below: what was captured, and no further
    // than the payload the frame declares, so Ethernet padding is never read.
    const size_t end = std::min(
        capturedLength, kDiscoveryHeaderSize + ReadBigEndian16(data + kPayloadLengthOffset));
    switch (data[kCodeOffset]) {
        case kCodePado:
            return ReadOffer(data, end, sourceMac, instanceStamp);
        case kCodePadi:
            return ReadInitiation(data, end, sourceMac, instanceStamp);
        default:
            return {};
    }
}
