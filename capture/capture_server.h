#pragma once

#include <pcap/pcap.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

// The request side of linewatch-capture: one message from the caller in, one
// answer out. A frame reaches `transmit` only when it is a well-formed send
// request and the frame passes CheckFrameForSending; everything else is
// answered with the reason and nothing is sent. `length` is the message's
// real length, which exceeds `message.size()` when the receive cut it.
std::vector<uint8_t> AnswerCaptureRequest(
    std::span<const uint8_t> message, size_t length,
    const std::function<bool(std::span<const uint8_t> frame)>& transmit);

// Serves the caller on `socket` until it goes away: forwards every frame of
// `capture` with its capture timestamp, and answers every request, sending
// accepted frames through `sender`. Returns the exit status: 0 when the
// caller closed its end, 1 when the socket failed.
int ServeCaptureCaller(int socket, pcap_t* capture, pcap_t* sender);
