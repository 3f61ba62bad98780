// The capture helper's validator and request reader, and the reading of its
// replies: what the helper lets out onto the wire is decided here.
#include "engine/capture_protocol.h"

#include <gtest/gtest.h>

#include <vector>

#include "capture/capture_server.h"

namespace {

constexpr MacAddress kStation = {0x02, 0x4C, 0x57, 0x00, 0x01, 0x01};

std::vector<uint8_t> Probe(const MacAddress& source = kStation) {
    ProbeFrame frame{};
    BuildProbeFrame(frame, 0x01020304);
    SetProbeSourceMac(frame, &source);
    return {frame.begin(), frame.end()};
}

// What the helper answers to `message`, and the frames it let through.
struct Answered {
    CaptureReply reply;
    std::vector<uint8_t> bytes;
    int transmitted = 0;
};

Answered Ask(const std::vector<uint8_t>& message, size_t length) {
    Answered answered;
    answered.bytes = AnswerCaptureRequest(message, length, [&](std::span<const uint8_t> frame) {
        ++answered.transmitted;
        return CheckFrameForSending(frame) == CaptureResult::Ok;
    });
    answered.reply = ReadCaptureReply(answered.bytes, 0);
    return answered;
}

}  // namespace

TEST(CaptureValidator, AcceptsTheProbeFromAUnicastAddress) {
    EXPECT_EQ(CheckFrameForSending(Probe()), CaptureResult::Ok);
    // Padded to the Ethernet minimum, and at the Ethernet maximum.
    std::vector<uint8_t> padded = Probe();
    padded.resize(60, 0);
    EXPECT_EQ(CheckFrameForSending(padded), CaptureResult::Ok);
    padded.resize(kMaxEthernetFrameSize, 0);
    EXPECT_EQ(CheckFrameForSending(padded), CaptureResult::Ok);
}

TEST(CaptureValidator, RefusesEverythingButAPadiToBroadcast) {
    std::vector<uint8_t> frame = Probe();
    frame[12] = 0x88;
    frame[13] = 0x64;  // PPPoE session
    EXPECT_EQ(CheckFrameForSending(frame), CaptureResult::NotDiscovery);
    frame = Probe();
    frame[12] = 0x08;
    frame[13] = 0x00;  // IPv4
    EXPECT_EQ(CheckFrameForSending(frame), CaptureResult::NotDiscovery);
    for (int code : {0x07, 0x19, 0x65, 0xA7, 0x00}) {
        frame = Probe();
        frame[15] = static_cast<uint8_t>(code);
        EXPECT_EQ(CheckFrameForSending(frame), CaptureResult::NotPadi) << code;
    }
    frame = Probe();
    frame[5] = 0xFE;  // one byte short of broadcast
    EXPECT_EQ(CheckFrameForSending(frame), CaptureResult::NotBroadcast);
    frame = Probe();
    std::copy(kStation.begin(), kStation.end(), frame.begin());  // unicast destination
    EXPECT_EQ(CheckFrameForSending(frame), CaptureResult::NotBroadcast);
}

TEST(CaptureValidator, RefusesGroupAndZeroSourcesAndKeepsUnicastOnes) {
    EXPECT_EQ(CheckFrameForSending(Probe({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})),
              CaptureResult::SourceGroup);
    EXPECT_EQ(CheckFrameForSending(Probe({0x01, 0x00, 0x5E, 0x00, 0x00, 0x01})),
              CaptureResult::SourceGroup);
    EXPECT_EQ(CheckFrameForSending(Probe({0x33, 0x33, 0x00, 0x00, 0x00, 0x01})),
              CaptureResult::SourceGroup);
    EXPECT_EQ(CheckFrameForSending(Probe({0, 0, 0, 0, 0, 0})), CaptureResult::SourceZero);
    // Locally administered and vendor addresses are stations' own.
    EXPECT_EQ(CheckFrameForSending(Probe({0x02, 0, 0, 0, 0, 1})), CaptureResult::Ok);
    EXPECT_EQ(CheckFrameForSending(Probe({0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E})), CaptureResult::Ok);
    EXPECT_FALSE(IsUsableSourceMac({0x03, 0, 0, 0, 0, 1}));
    EXPECT_TRUE(IsUsableSourceMac({0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(CaptureValidator, RefusesFramesOutsideTheEthernetSizeAndBrokenHeaders) {
    std::vector<uint8_t> frame = Probe();
    frame.resize(kMaxEthernetFrameSize + 1, 0);
    EXPECT_EQ(CheckFrameForSending(frame), CaptureResult::FrameTooLong);
    frame = Probe();
    frame.resize(kDiscoveryHeaderSize - 1);
    EXPECT_EQ(CheckFrameForSending(frame), CaptureResult::FrameTooShort);
    EXPECT_EQ(CheckFrameForSending({}), CaptureResult::FrameTooShort);
    frame = Probe();
    frame[14] = 0x12;  // version 1, type 2
    EXPECT_EQ(CheckFrameForSending(frame), CaptureResult::BadPppoeHeader);
    frame = Probe();
    frame[17] = 0x01;  // a session id in a discovery frame
    EXPECT_EQ(CheckFrameForSending(frame), CaptureResult::BadPppoeHeader);
    frame = Probe();
    frame[19] = static_cast<uint8_t>(frame[19] + 1);  // payload runs past the frame
    EXPECT_EQ(CheckFrameForSending(frame), CaptureResult::BadPppoeHeader);
}

TEST(CaptureRequests, OnlyAWellFormedRequestForAValidFrameIsTransmitted) {
    Answered ok = Ask(EncodeSendRequest(41, Probe()), kCaptureRequestHeaderSize + 45);
    ASSERT_EQ(ok.reply.kind, CaptureReply::Kind::SendResult);
    EXPECT_EQ(ok.reply.result, CaptureResult::Ok);
    EXPECT_EQ(ok.reply.value, 41u);
    EXPECT_EQ(ok.transmitted, 1);

    const std::vector<uint8_t> request = EncodeSendRequest(42, Probe());
    // Cut anywhere inside its header.
    for (size_t length = 0; length < kCaptureRequestHeaderSize; ++length) {
        Answered cut = Ask(request, length);
        EXPECT_EQ(cut.reply.result, CaptureResult::RequestTruncated) << length;
        EXPECT_EQ(cut.transmitted, 0);
    }
    // Cut inside the frame: what is left is no PADI.
    Answered shortFrame = Ask(request, kCaptureRequestHeaderSize + 10);
    EXPECT_EQ(shortFrame.reply.result, CaptureResult::FrameTooShort);
    // Longer than the receive buffer took (the kernel cut it).
    Answered oversized = Ask(request, kMaxCaptureRequestSize + 1);
    EXPECT_EQ(oversized.reply.result, CaptureResult::RequestOversized);
    EXPECT_EQ(oversized.reply.value, 42u);
    EXPECT_EQ(oversized.transmitted, 0);
    std::vector<uint8_t> unknown = request;
    unknown[0] = 0x02;
    EXPECT_EQ(Ask(unknown, unknown.size()).reply.result, CaptureResult::RequestUnknown);
    unknown = request;
    unknown[3] = 0x01;
    EXPECT_EQ(Ask(unknown, unknown.size()).reply.result, CaptureResult::RequestUnknown);

    Answered multicast = Ask(EncodeSendRequest(43, Probe({0x01, 0, 0x5E, 0, 0, 1})), 53);
    EXPECT_EQ(multicast.reply.result, CaptureResult::SourceGroup);
    EXPECT_EQ(multicast.reply.value, 43u);
    EXPECT_EQ(multicast.transmitted, 0);

    // A transmission that fails is told as such.
    const std::vector<uint8_t> good = EncodeSendRequest(44, Probe());
    const std::vector<uint8_t> failed =
        AnswerCaptureRequest(good, good.size(), [](std::span<const uint8_t>) { return false; });
    EXPECT_EQ(ReadCaptureReply(failed, 0).result, CaptureResult::SendFailed);
}

TEST(CaptureReplies, FramesKeepTheirTimestampsAndBrokenRepliesAreMalformed) {
    const std::vector<uint8_t> probe = Probe();
    uint8_t head[kCaptureFrameHeaderSize];
    EncodeFrameHeader(head, 45, 60, 1765000000, 999999);
    std::vector<uint8_t> message(head, head + sizeof head);
    message.insert(message.end(), probe.begin(), probe.end());
    CaptureReply frame = ReadCaptureReply(message, 2048);
    ASSERT_EQ(frame.kind, CaptureReply::Kind::Frame);
    EXPECT_EQ(frame.seconds, 1765000000);
    EXPECT_EQ(frame.microseconds, 999999u);
    EXPECT_EQ(frame.wireLength, 60u);
    EXPECT_TRUE(std::equal(frame.data.begin(), frame.data.end(), probe.begin(), probe.end()));

    // A length that disagrees with the bytes, a snapshot larger than the
    // caller's, a microsecond count past a second: refused.
    EXPECT_EQ(ReadCaptureReply(std::span(message).first(message.size() - 1), 2048).kind,
              CaptureReply::Kind::Malformed);
    EXPECT_EQ(ReadCaptureReply(message, 44).kind, CaptureReply::Kind::Malformed);
    EncodeFrameHeader(head, 45, 60, 0, 1000000);
    std::copy(head, head + sizeof head, message.begin());
    EXPECT_EQ(ReadCaptureReply(message, 2048).kind, CaptureReply::Kind::Malformed);

    const std::vector<uint8_t> openedBytes =
        EncodeOpened(CaptureResult::PermissionDenied, 0, "You don't have permission");
    CaptureReply opened = ReadCaptureReply(openedBytes, 0);
    ASSERT_EQ(opened.kind, CaptureReply::Kind::Opened);
    EXPECT_EQ(opened.result, CaptureResult::PermissionDenied);
    EXPECT_EQ(opened.text, "You don't have permission");
    std::vector<uint8_t> unknownResult = EncodeSendResult(CaptureResult::Ok, 1);
    unknownResult[1] = 200;
    EXPECT_EQ(ReadCaptureReply(unknownResult, 0).kind, CaptureReply::Kind::Malformed);
    EXPECT_EQ(ReadCaptureReply(std::vector<uint8_t>{0x83, 0, 0}, 0).kind,
              CaptureReply::Kind::Malformed);
}
