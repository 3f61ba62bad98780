// The real linewatch-capture, started as the programs start it: what it
// keeps of its privileges once it serves, and what it refuses to send.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/capture_protocol.h"
#include "engine/helper_capture_channel.h"

namespace {

using namespace std::chrono_literals;

std::map<std::string, std::string> ProcessStatus(pid_t pid) {
    std::map<std::string, std::string> fields;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        const size_t value = line.find_first_not_of(" \t", colon + 1);
        fields[line.substr(0, colon)] = value == std::string::npos ? "" : line.substr(value);
    }
    return fields;
}

std::vector<uint8_t> Probe(const MacAddress& source) {
    ProbeFrame frame{};
    BuildProbeFrame(frame, 0x19191919);
    SetProbeSourceMac(frame, &source);
    return {frame.begin(), frame.end()};
}

// Reads the helper's messages for up to `wait` and counts the captured frames
// from `source` in `framesFrom`. With an `id`, stops at the send result of
// that request and returns it.
std::optional<CaptureResult> ReadReplies(int socket, const MacAddress& source,
                                         std::chrono::milliseconds wait, std::optional<uint32_t> id,
                                         int& framesFrom) {
    std::vector<uint8_t> buffer(kCaptureFrameHeaderSize + kCaptureSnapLength);
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd ready{socket, POLLIN, 0};
        if (poll(&ready, 1, 20) <= 0) continue;
        const ssize_t length = recv(socket, buffer.data(), buffer.size(), 0);
        if (length <= 0) break;
        const CaptureReply reply =
            ReadCaptureReply(std::span(buffer.data(), static_cast<size_t>(length)), 2048);
        if (reply.kind == CaptureReply::Kind::Frame && reply.data.size() >= 12 &&
            std::equal(source.begin(), source.end(), reply.data.begin() + 6))
            ++framesFrom;
        if (id && reply.kind == CaptureReply::Kind::SendResult && reply.value == *id)
            return reply.result;
    }
    return std::nullopt;
}

// The send result of request `id`; counts the frames from `source` seen on
// the way.
CaptureResult ResultOf(int socket, uint32_t id, const MacAddress& source, int& framesFrom) {
    if (const auto result = ReadReplies(socket, source, 5s, id, framesFrom)) return *result;
    ADD_FAILURE() << "no answer to request " << id;
    return CaptureResult::SendFailed;
}

// Frames from `source` captured within `wait`.
int FramesFrom(int socket, const MacAddress& source, std::chrono::milliseconds wait) {
    int count = 0;
    ReadReplies(socket, source, wait, std::nullopt, count);
    return count;
}

}  // namespace

TEST(CaptureHelper, ServesWithoutAnyCapabilityAndSendsOnlyValidProbes) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: the build's helper carries no capability";
    HelperCaptureChannel::Opening opening =
        HelperCaptureChannel::Start(LW_TEST_CAPTURE_HELPER, "lo", false);
    ASSERT_NE(opening.channel, nullptr) << opening.errorText;
    HelperCaptureChannel& channel = *opening.channel;

    // Serving: every capability set empty, CAP_NET_RAW out of the bounding
    // set too (started by root, it may drop that), and no-new-privs on.
    const std::map<std::string, std::string> status = ProcessStatus(channel.HelperPid());
    for (const char* set : {"CapInh", "CapPrm", "CapEff", "CapAmb"})
        EXPECT_EQ(status.at(set), "0000000000000000") << set;
    EXPECT_EQ(std::stoull(status.at("CapBnd"), nullptr, 16) & (1ull << 13), 0u);
    EXPECT_EQ(status.at("NoNewPrivs"), "1");

    const int socket = channel.Descriptor();
    const MacAddress refusedSource = {0x02, 0x19, 0x19, 0x00, 0x00, 0x0F};
    uint32_t id = 100;
    int framesFrom = 0;
    const auto refuse = [&](std::vector<uint8_t> request, CaptureResult expected) {
        ASSERT_EQ(send(socket, request.data(), request.size(), 0),
                  static_cast<ssize_t>(request.size()));
        const uint32_t asked =
            request.size() >= 8 ? static_cast<uint32_t>(request[4] | (request[5] << 8)) : 0u;
        EXPECT_EQ(ResultOf(socket, asked, refusedSource, framesFrom), expected);
    };
    const auto sendRequest = [&](std::vector<uint8_t> frame) {
        return EncodeSendRequest(++id, frame);
    };

    std::vector<uint8_t> frame = Probe(refusedSource);
    frame[13] = 0x64;
    refuse(sendRequest(frame), CaptureResult::NotDiscovery);
    frame = Probe(refusedSource);
    frame[15] = 0x07;
    refuse(sendRequest(frame), CaptureResult::NotPadi);
    frame = Probe(refusedSource);
    frame[0] = 0x01;
    frame[1] = 0x80;
    frame[2] = 0xC2;
    refuse(sendRequest(frame), CaptureResult::NotBroadcast);
    refuse(sendRequest(Probe({0x01, 0x19, 0x19, 0x00, 0x00, 0x0F})), CaptureResult::SourceGroup);
    refuse(sendRequest(Probe({0, 0, 0, 0, 0, 0})), CaptureResult::SourceZero);
    frame = Probe(refusedSource);
    frame.resize(1515, 0);  // one byte over the Ethernet size
    refuse(sendRequest(frame), CaptureResult::RequestOversized);
    frame.resize(4000, 0);
    refuse(sendRequest(frame), CaptureResult::RequestOversized);
    const uint8_t truncated[] = {0x01, 0x00, 0x00};
    ASSERT_EQ(send(socket, truncated, sizeof truncated, 0), 3);
    EXPECT_EQ(ResultOf(socket, 0, refusedSource, framesFrom), CaptureResult::RequestTruncated);

    // Still serving after all that: a valid probe goes out and is captured,
    // and nothing of the refused ones ever was.
    const MacAddress ours = {0x02, 0x19, 0x19, 0x00, 0x00, 0x01};
    const std::vector<uint8_t> valid = sendRequest(Probe(ours));
    ASSERT_EQ(send(socket, valid.data(), valid.size(), 0), static_cast<ssize_t>(valid.size()));
    int oursSeen = 0;
    EXPECT_EQ(ResultOf(socket, id, ours, oursSeen), CaptureResult::Ok);
    oursSeen += FramesFrom(socket, ours, 300ms);
    EXPECT_GE(oursSeen, 1);
    EXPECT_EQ(framesFrom + FramesFrom(socket, refusedSource, 100ms), 0);
}

TEST(CaptureHelper, ArgumentsAndAdaptersItCannotOpenAreRefusedWithAReason) {
    for (const std::string& device : {std::string("any"), std::string("../lo"),
                                      std::string(40, 'a'), std::string("lwnosuch19")}) {
        HelperCaptureChannel::Opening opening =
            HelperCaptureChannel::Start(LW_TEST_CAPTURE_HELPER, device, false);
        EXPECT_EQ(opening.channel, nullptr) << device;
        EXPECT_FALSE(opening.errorText.empty()) << device;
        EXPECT_FALSE(opening.permissionDenied) << device << ": " << opening.errorText;
    }
    HelperCaptureChannel::Opening missing =
        HelperCaptureChannel::Start("/nonexistent/linewatch-capture", "lo", false);
    EXPECT_EQ(missing.channel, nullptr);
    EXPECT_NE(missing.errorText.find("not installed"), std::string::npos) << missing.errorText;
}
