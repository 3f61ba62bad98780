#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/discovery_frames.h"

// The messages between a program and linewatch-capture, the helper that
// holds CAP_NET_RAW. They travel over a SOCK_SEQPACKET socket pair, one
// message per datagram, so every message arrives whole or not at all and its
// length is known before it is read. Numbers are little-endian.
//
// Program to helper, one kind only:
//   send request   type 0x01, 0, 0, 0, u32 id, the frame (14..1514 bytes)
// Helper to program:
//   opened         type 0x81, result, 0, 0, u32 link type, text
//   frame          type 0x82, 0, 0, 0, u32 captured length, u32 wire length,
//                  i64 seconds, u32 microseconds, the captured bytes
//   send result    type 0x83, result, 0, 0, u32 id of the request
//   read failed    type 0x84, 0, 0, 0, u32 0, libpcap's text
// The helper answers every request with one send result, in order.

constexpr uint8_t kCaptureSendRequest = 0x01;
constexpr uint8_t kCaptureOpened = 0x81;
constexpr uint8_t kCaptureFrame = 0x82;
constexpr uint8_t kCaptureSendResult = 0x83;
constexpr uint8_t kCaptureReadFailed = 0x84;

constexpr size_t kCaptureRequestHeaderSize = 8;
constexpr size_t kCaptureFrameHeaderSize = 24;
constexpr size_t kCaptureReplyHeaderSize = 8;
// Ethernet header without the frame check sequence, and the largest frame:
// a standard 1500-byte payload behind it.
constexpr size_t kEthernetHeaderSize = 14;
constexpr size_t kMaxEthernetFrameSize = 1514;
constexpr size_t kMaxCaptureRequestSize = kCaptureRequestHeaderSize + kMaxEthernetFrameSize;
// Texts in replies are cut to this many bytes.
constexpr size_t kMaxCaptureTextSize = 512;

// Why the helper did or did not do something. The numbers travel on the wire.
enum class CaptureResult : uint8_t {
    Ok = 0,
    RequestTruncated = 1,   // shorter than its header
    RequestUnknown = 2,     // a type the helper does not serve
    RequestOversized = 3,   // longer than a request can be
    FrameTooShort = 4,      // not even an Ethernet and PPPoE header
    FrameTooLong = 5,       // over the Ethernet size
    NotDiscovery = 6,       // ethertype other than 0x8863
    NotPadi = 7,            // PPPoE code other than 0x09
    NotBroadcast = 8,       // destination other than FF:FF:FF:FF:FF:FF
    SourceGroup = 9,        // multicast or broadcast source MAC
    SourceZero = 10,        // source MAC 00:00:00:00:00:00
    BadPppoeHeader = 11,    // version/type not 0x11, a session id, or a length past the frame
    SendFailed = 12,        // libpcap could not transmit it
    OpenFailed = 13,        // the adapter could not be opened
    PermissionDenied = 14,  // opening needed CAP_NET_RAW, which the helper lacks
    BadArguments = 15,      // the helper was started wrongly
    NotEthernet = 16,       // the adapter is not an Ethernet adapter
    PrivilegesKept = 17,    // the capability could not be dropped: the helper stops
};

// A short English text for a result ("source MAC is a group address").
std::string_view CaptureResultText(CaptureResult result);

// A source MAC a probe may carry: unicast (the group bit of the first byte
// clear) and not all zeros. A group address as source poisons switches and
// bridges; zero is no station's address.
bool IsUsableSourceMac(const MacAddress& mac);

// The helper's rule for every frame it is asked to send: a PADI with a
// usable source MAC, within the Ethernet size. Ok, or the first rule broken.
CaptureResult CheckFrameForSending(std::span<const uint8_t> frame);

struct CaptureSendRequest {
    uint32_t id = 0;
    std::span<const uint8_t> frame;  // points into the message read
};

// Reads one message received by the helper. `length` is the message's real
// length (MSG_TRUNC), which may exceed `bytes.size()` when it was cut. Ok
// with the request filled in, or why the message is refused; the frame
// itself is not judged here (CheckFrameForSending).
CaptureResult ReadCaptureRequest(std::span<const uint8_t> bytes, size_t length,
                                 CaptureSendRequest& request);

std::vector<uint8_t> EncodeSendRequest(uint32_t id, std::span<const uint8_t> frame);
std::vector<uint8_t> EncodeOpened(CaptureResult result, uint32_t linkType, std::string_view text);
std::vector<uint8_t> EncodeSendResult(CaptureResult result, uint32_t id);
std::vector<uint8_t> EncodeReadFailed(std::string_view text);
// Header of a frame message; the captured bytes follow it in the same datagram.
void EncodeFrameHeader(uint8_t (&header)[kCaptureFrameHeaderSize], uint32_t capturedLength,
                       uint32_t wireLength, int64_t seconds, uint32_t microseconds);

// One message received from the helper, read with bounds checked. A message
// that breaks the format reads as `Malformed`.
struct CaptureReply {
    enum class Kind { Malformed, Opened, Frame, SendResult, ReadFailed };
    Kind kind = Kind::Malformed;
    CaptureResult result = CaptureResult::Ok;
    uint32_t value = 0;  // link type (opened) or request id (send result)
    uint32_t capturedLength = 0;
    uint32_t wireLength = 0;
    int64_t seconds = 0;
    uint32_t microseconds = 0;
    std::span<const uint8_t> data;  // captured bytes (frame)
    std::string_view text;          // opened, read failed
};
CaptureReply ReadCaptureReply(std::span<const uint8_t> bytes, size_t maxCapturedLength);
