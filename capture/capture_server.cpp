#include "capture/capture_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <string_view>

#include "engine/capture_protocol.h"
#include "engine/discovery_capture.h"

namespace {

// After a failed read the capture is left alone this long, as the engine
// itself pauses, so that an adapter that went away does not become a spin.
constexpr int kCaptureRetryMs = 100;

bool SendMessage(int socket, std::span<const uint8_t> message) {
    for (;;) {
        const ssize_t sent = send(socket, message.data(), message.size(), MSG_NOSIGNAL);
        if (sent >= 0) return static_cast<size_t>(sent) == message.size();
        if (errno != EINTR) return false;
    }
}

bool ForwardFrame(int socket, const pcap_pkthdr& header, const u_char* data) {
    uint8_t head[kCaptureFrameHeaderSize];
    const uint32_t captured = std::min(header.caplen, static_cast<bpf_u_int32>(kCaptureSnapLength));
    EncodeFrameHeader(head, captured, std::max(header.len, captured),
                      static_cast<int64_t>(header.ts.tv_sec),
                      static_cast<uint32_t>(header.ts.tv_usec));
    iovec parts[2] = {{head, sizeof head}, {const_cast<u_char*>(data), captured}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = 2;
    for (;;) {
        const ssize_t sent = sendmsg(socket, &message, MSG_NOSIGNAL);
        if (sent >= 0) return static_cast<size_t>(sent) == sizeof head + captured;
        if (errno != EINTR) return false;
    }
}

int64_t MonotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

std::vector<uint8_t> AnswerCaptureRequest(
    std::span<const uint8_t> message, size_t length,
    const std::function<bool(std::span<const uint8_t> frame)>& transmit) {
    CaptureSendRequest request;
    CaptureResult result = ReadCaptureRequest(message, length, request);
    if (result == CaptureResult::Ok) result = CheckFrameForSending(request.frame);
    if (result == CaptureResult::Ok && !transmit(request.frame)) result = CaptureResult::SendFailed;
    return EncodeSendResult(result, request.id);
}

int ServeCaptureCaller(int socket, pcap_t* capture, pcap_t* sender) {
    const int captureFd = pcap_get_selectable_fd(capture);
    std::vector<uint8_t> buffer(kMaxCaptureRequestSize + 1);
    const auto transmit = [sender](std::span<const uint8_t> frame) {
        return pcap_sendpacket(sender, frame.data(), static_cast<int>(frame.size())) == 0;
    };
    int64_t captureResumesAt = 0;
    for (;;) {
        const int64_t now = MonotonicMs();
        const bool captureResting = now < captureResumesAt;
        pollfd waits[2] = {{socket, POLLIN, 0}, {captureResting ? -1 : captureFd, POLLIN, 0}};
        const int timeout = captureResting ? static_cast<int>(captureResumesAt - now) : -1;
        if (poll(waits, 2, timeout) < 0) {
            if (errno == EINTR) continue;
            return 1;
        }
        if ((waits[0].revents & POLLIN) != 0) {
            const ssize_t length = recv(socket, buffer.data(), buffer.size(), MSG_TRUNC);
            if (length == 0) return 0;
            if (length < 0) {
                if (errno == EINTR) continue;
                return 1;
            }
            const std::vector<uint8_t> answer =
                AnswerCaptureRequest(buffer, static_cast<size_t>(length), transmit);
            if (!SendMessage(socket, answer)) return 0;
        } else if ((waits[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            return 0;
        }
        if (waits[1].revents == 0) continue;
        for (;;) {
            pcap_pkthdr* header = nullptr;
            const u_char* data = nullptr;
            const int read = pcap_next_ex(capture, &header, &data);
            if (read == 0) break;
            if (read < 0) {
                if (!SendMessage(socket, EncodeReadFailed(pcap_geterr(capture)))) return 0;
                captureResumesAt = MonotonicMs() + kCaptureRetryMs;
                break;
            }
            if (header != nullptr && data != nullptr && !ForwardFrame(socket, *header, data)) {
                return 0;
            }
        }
    }
}
