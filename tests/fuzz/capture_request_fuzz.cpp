// Feeds arbitrary bytes to the capture helper's request side as one received
// message, both whole and as if the kernel had cut it at the receive buffer,
// and checks from outside:
//   - a frame reaches the transmit step only when it is a PADI to broadcast
//     from a unicast, non-zero source within the Ethernet size (checked
//     field by field here, not through the validator under test);
//   - every input gets exactly one answer, a send result that reads back,
//     whose result is Ok exactly when the frame was transmitted.
// Any violation traps.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "capture/capture_server.h"
#include "engine/capture_protocol.h"

namespace {

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

bool IsAcceptableProbe(std::span<const uint8_t> frame) {
    if (frame.size() < 20 || frame.size() > 1514) return false;
    for (size_t i = 0; i < 6; ++i)
        if (frame[i] != 0xFF) return false;
    bool zero = true;
    for (size_t i = 6; i < 12; ++i) zero = zero && frame[i] == 0;
    const size_t payload = static_cast<size_t>(frame[18] << 8 | frame[19]);
    return (frame[6] & 0x01) == 0 && !zero && frame[12] == 0x88 && frame[13] == 0x63 &&
           frame[14] == 0x11 && frame[15] == 0x09 && frame[16] == 0 && frame[17] == 0 &&
           20 + payload <= frame.size();
}

void Serve(std::span<const uint8_t> held, size_t length) {
    int transmitted = 0;
    const std::vector<uint8_t> answer =
        AnswerCaptureRequest(held, length, [&](std::span<const uint8_t> frame) {
            Check(IsAcceptableProbe(frame));
            Check(frame.data() >= held.data() &&
                  frame.data() + frame.size() <= held.data() + held.size());
            ++transmitted;
            return true;
        });
    const CaptureReply reply = ReadCaptureReply(answer, 0);
    Check(reply.kind == CaptureReply::Kind::SendResult);
    Check((reply.result == CaptureResult::Ok) == (transmitted == 1));
    Check(transmitted <= 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly the received bytes, so that a read past them is seen.
    const std::vector<uint8_t> message(data, data + size);
    Serve(message, message.size());
    // The same bytes as the start of a longer message the receive cut.
    if (size > 0) Serve(message, size + 1 + (size > 0 ? data[0] : 0) * 16);
    return 0;
}
