#include "engine/capture_channel.h"

#include <cstdlib>
#include <span>
#include <utility>

#include "core/debug_output.h"
#include "engine/capture_permission.h"
#include "engine/capture_protocol.h"
#include "engine/helper_capture_channel.h"

#ifndef LW_CAPTURE_HELPER_PATH
#define LW_CAPTURE_HELPER_PATH "/usr/libexec/linewatch/linewatch-capture"
#endif

PcapCaptureChannel::PcapCaptureChannel(PcapHandle capture, PcapHandle sender)
    : capture_(std::move(capture)), sender_(std::move(sender)) {}

int PcapCaptureChannel::Descriptor() {
    // Savefiles and dead handles have no descriptor to wait on.
    return pcap_file(capture_.get()) == nullptr ? pcap_get_selectable_fd(capture_.get()) : -1;
}

int PcapCaptureChannel::Read(pcap_pkthdr** header, const u_char** data) {
    return pcap_next_ex(capture_.get(), header, data);
}

int PcapCaptureChannel::Send(const uint8_t* frame, size_t length) {
    // The same rule as the helper's: whoever runs the program, it sends
    // nothing but a proper probe.
    if (CheckFrameForSending(std::span(frame, length)) != CaptureResult::Ok) return -1;
    pcap_t* out = sender_ ? sender_.get() : capture_.get();
    return pcap_sendpacket(out, frame, static_cast<int>(length));
}

std::string CaptureHelperPath() {
    const char* overridden = std::getenv("LW_CAPTURE_HELPER");
    return overridden != nullptr && *overridden != '\0' ? std::string(overridden)
                                                        : std::string(LW_CAPTURE_HELPER_PATH);
}

CaptureChannelOpening OpenCaptureChannel(const std::string& device, bool promiscuous) {
    CaptureChannelOpening result;
    if (!HasCapturePermission()) {
        HelperCaptureChannel::Opening opening =
            HelperCaptureChannel::Start(CaptureHelperPath(), device, promiscuous);
        result.channel = std::move(opening.channel);
        result.errorText = std::move(opening.errorText);
        result.permissionDenied = opening.permissionDenied;
        if (!result.channel) DebugOutput("Error in pcap_open_live()\n");
        return result;
    }
    CaptureOpening opening = OpenDiscoveryCapture(device, promiscuous);
    result.errorText = std::move(opening.errorText);
    result.permissionDenied = opening.permissionDenied;
    if (opening.handle) {
        result.channel = std::make_unique<PcapCaptureChannel>(std::move(opening.handle),
                                                              std::move(opening.sender));
    }
    return result;
}
