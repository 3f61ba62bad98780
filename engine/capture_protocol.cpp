#include "engine/capture_protocol.h"

#include <algorithm>

#include "engine/frame_layout.h"

namespace {

uint32_t Little32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) |
           (static_cast<uint32_t>(at[2]) << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

int64_t Little64(const uint8_t* at) {
    const uint64_t low = Little32(at);
    const uint64_t high = Little32(at + 4);
    return static_cast<int64_t>(low | (high << 32));
}

void PutLittle32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

void PutLittle64(uint8_t* at, int64_t value) {
    const auto bits = static_cast<uint64_t>(value);
    PutLittle32(at, static_cast<uint32_t>(bits));
    PutLittle32(at + 4, static_cast<uint32_t>(bits >> 32));
}

std::vector<uint8_t> Header(uint8_t type, CaptureResult result, uint32_t value, size_t extra) {
    std::vector<uint8_t> message(kCaptureReplyHeaderSize + extra, 0);
    message[0] = type;
    message[1] = static_cast<uint8_t>(result);
    PutLittle32(&message[4], value);
    return message;
}

std::vector<uint8_t> WithText(uint8_t type, CaptureResult result, uint32_t value,
                              std::string_view text) {
    text = text.substr(0, kMaxCaptureTextSize);
    std::vector<uint8_t> message = Header(type, result, value, text.size());
    std::copy(text.begin(), text.end(), message.begin() + kCaptureReplyHeaderSize);
    return message;
}

bool KnownResult(uint8_t value) {
    return value <= static_cast<uint8_t>(CaptureResult::PrivilegesKept);
}

}  // namespace

std::string_view CaptureResultText(CaptureResult result) {
    switch (result) {
        case CaptureResult::Ok:
            return "done";
        case CaptureResult::RequestTruncated:
            return "request shorter than its header";
        case CaptureResult::RequestUnknown:
            return "unknown request";
        case CaptureResult::RequestOversized:
            return "request longer than an Ethernet frame";
        case CaptureResult::FrameTooShort:
            return "frame shorter than a PPPoE discovery header";
        case CaptureResult::FrameTooLong:
            return "frame longer than an Ethernet frame";
        case CaptureResult::NotDiscovery:
            return "not a PPPoE discovery frame (ethertype)";
        case CaptureResult::NotPadi:
            return "not a PADI (PPPoE code)";
        case CaptureResult::NotBroadcast:
            return "destination is not the broadcast address";
        case CaptureResult::SourceGroup:
            return "source MAC is a group (multicast or broadcast) address";
        case CaptureResult::SourceZero:
            return "source MAC is all zeros";
        case CaptureResult::BadPppoeHeader:
            return "PPPoE header out of order";
        case CaptureResult::SendFailed:
            return "the adapter did not send it";
        case CaptureResult::OpenFailed:
            return "the adapter cannot be opened";
        case CaptureResult::PermissionDenied:
            return "the capture helper has no CAP_NET_RAW";
        case CaptureResult::BadArguments:
            return "the capture helper was started wrongly";
        case CaptureResult::NotEthernet:
            return "not an Ethernet adapter";
        case CaptureResult::PrivilegesKept:
            return "the capture helper could not drop its capability";
    }
    return "unknown result";
}

bool IsUsableSourceMac(const MacAddress& mac) {
    const bool group = (mac[0] & 0x01) != 0;
    const bool zero = std::all_of(mac.begin(), mac.end(), [](uint8_t b) { return b == 0; });
    return !group && !zero;
}

CaptureResult CheckFrameForSending(std::span<const uint8_t> frame) {
    if (frame.size() < kDiscoveryHeaderSize) return CaptureResult::FrameTooShort;
    if (frame.size() > kMaxEthernetFrameSize) return CaptureResult::FrameTooLong;
    if (ReadBigEndian16(&frame[kEtherTypeOffset]) != kEtherTypeDiscovery) {
        return CaptureResult::NotDiscovery;
    }
    if (frame[kCodeOffset] != kCodePadi) return CaptureResult::NotPadi;
    if (!std::all_of(frame.begin(), frame.begin() + 6, [](uint8_t b) { return b == 0xFF; })) {
        return CaptureResult::NotBroadcast;
    }
    MacAddress source{};
    std::copy_n(frame.begin() + kSourceMacOffset, source.size(), source.begin());
    if ((source[0] & 0x01) != 0) return CaptureResult::SourceGroup;
    if (!IsUsableSourceMac(source)) return CaptureResult::SourceZero;
    if (frame[kVersionTypeOffset] != kPppoeVersionType ||
        ReadBigEndian16(&frame[kSessionOffset]) != 0 ||
        kDiscoveryHeaderSize + ReadBigEndian16(&frame[kPayloadLengthOffset]) > frame.size()) {
        return CaptureResult::BadPppoeHeader;
    }
    return CaptureResult::Ok;
}

CaptureResult ReadCaptureRequest(std::span<const uint8_t> bytes, size_t length,
                                 CaptureSendRequest& request) {
    const size_t held = std::min(length, bytes.size());
    if (held < kCaptureRequestHeaderSize) {
        return length > bytes.size() ? CaptureResult::RequestOversized
                                     : CaptureResult::RequestTruncated;
    }
    // The answer names the request even when it is refused.
    request.id = Little32(&bytes[4]);
    if (length > kMaxCaptureRequestSize || length > bytes.size()) {
        return CaptureResult::RequestOversized;
    }
    if (bytes[0] != kCaptureSendRequest || bytes[1] != 0 || bytes[2] != 0 || bytes[3] != 0) {
        return CaptureResult::RequestUnknown;
    }
    request.frame = bytes.subspan(kCaptureRequestHeaderSize, length - kCaptureRequestHeaderSize);
    return CaptureResult::Ok;
}

std::vector<uint8_t> EncodeSendRequest(uint32_t id, std::span<const uint8_t> frame) {
    std::vector<uint8_t> message(kCaptureRequestHeaderSize + frame.size(), 0);
    message[0] = kCaptureSendRequest;
    PutLittle32(&message[4], id);
    std::copy(frame.begin(), frame.end(), message.begin() + kCaptureRequestHeaderSize);
    return message;
}

std::vector<uint8_t> EncodeOpened(CaptureResult result, uint32_t linkType, std::string_view text) {
    return WithText(kCaptureOpened, result, linkType, text);
}

std::vector<uint8_t> EncodeSendResult(CaptureResult result, uint32_t id) {
    return Header(kCaptureSendResult, result, id, 0);
}

std::vector<uint8_t> EncodeReadFailed(std::string_view text) {
    return WithText(kCaptureReadFailed, CaptureResult::Ok, 0, text);
}

void EncodeFrameHeader(uint8_t (&header)[kCaptureFrameHeaderSize], uint32_t capturedLength,
                       uint32_t wireLength, int64_t seconds, uint32_t microseconds) {
    std::fill(std::begin(header), std::end(header), uint8_t{0});
    header[0] = kCaptureFrame;
    PutLittle32(&header[4], capturedLength);
    PutLittle32(&header[8], wireLength);
    PutLittle64(&header[12], seconds);
    PutLittle32(&header[20], microseconds);
}

CaptureReply ReadCaptureReply(std::span<const uint8_t> bytes, size_t maxCapturedLength) {
    CaptureReply reply;
    if (bytes.size() < kCaptureReplyHeaderSize || bytes[2] != 0 || bytes[3] != 0) return reply;
    const uint32_t value = Little32(&bytes[4]);
    const auto text = [&] {
        const std::span<const uint8_t> rest = bytes.subspan(kCaptureReplyHeaderSize);
        return std::string_view(reinterpret_cast<const char*>(rest.data()),
                                std::min(rest.size(), kMaxCaptureTextSize));
    };
    switch (bytes[0]) {
        case kCaptureOpened:
            if (!KnownResult(bytes[1])) return reply;
            reply.kind = CaptureReply::Kind::Opened;
            reply.result = static_cast<CaptureResult>(bytes[1]);
            reply.value = value;
            reply.text = text();
            return reply;
        case kCaptureSendResult:
            if (!KnownResult(bytes[1]) || bytes.size() != kCaptureReplyHeaderSize) return reply;
            reply.kind = CaptureReply::Kind::SendResult;
            reply.result = static_cast<CaptureResult>(bytes[1]);
            reply.value = value;
            return reply;
        case kCaptureReadFailed:
            if (bytes[1] != 0) return reply;
            reply.kind = CaptureReply::Kind::ReadFailed;
            reply.text = text();
            return reply;
        case kCaptureFrame: {
            if (bytes[1] != 0 || bytes.size() < kCaptureFrameHeaderSize) return reply;
            const uint32_t captured = value;
            const uint32_t wire = Little32(&bytes[8]);
            const uint32_t microseconds = Little32(&bytes[20]);
            if (captured != bytes.size() - kCaptureFrameHeaderSize ||
                captured > maxCapturedLength || wire < captured || microseconds >= 1000000) {
                return reply;
            }
            reply.kind = CaptureReply::Kind::Frame;
            reply.capturedLength = captured;
            reply.wireLength = wire;
            reply.seconds = Little64(&bytes[12]);
            reply.microseconds = microseconds;
            reply.data = bytes.subspan(kCaptureFrameHeaderSize);
            return reply;
        }
        default:
            return reply;
    }
}
