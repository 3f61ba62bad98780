#include "engine/capture_channel.h"

#include "core/debug_output.h"
#include "engine/capture_permission.h"

CaptureOpening OpenDiscoveryCapture(const std::string& device, bool promiscuous) {
    CaptureOpening opening;
    std::string errorBuffer(PCAP_ERRBUF_SIZE, '\0');
    pcap_t* handle = nullptr;
    int activation = 0;
    {
        ScopedCaptureCapability capability;
        // pcap_create + activate is pcap_open_live with one more setting:
        // immediate delivery. Without it Linux buffers frames in TPACKET_V3
        // blocks, so a PADO could reach the engine only when a block is
        // retired; with it every frame is handed over as it arrives.
        handle = pcap_create(device.c_str(), errorBuffer.data());
        if (handle != nullptr) {
            pcap_set_snaplen(handle, kCaptureSnapLength);
            pcap_set_promisc(handle, promiscuous ? 1 : 0);
            pcap_set_timeout(handle, kCaptureReadTimeoutMs);
            pcap_set_immediate_mode(handle, 1);
            activation = pcap_activate(handle);
        }
    }
    if (handle == nullptr || activation < 0) {
        if (handle != nullptr) {
            opening.errorText = pcap_geterr(handle);
            opening.permissionDenied = activation == PCAP_ERROR_PERM_DENIED;
            pcap_close(handle);
        } else {
            opening.errorText = errorBuffer.c_str();
        }
        DebugOutput("Error in pcap_open_live()\n");
        return opening;
    }
    if (!InstallDiscoveryFilter(handle)) {
        opening.errorText = pcap_geterr(handle);
        pcap_close(handle);
        return opening;
    }
    opening.handle = handle;
    return opening;
}

bool InstallDiscoveryFilter(pcap_t* handle) {
    bpf_program program{};
    const std::string filter(kDiscoveryFilter);
    if (pcap_compile(handle, &program, filter.c_str(), 1, 0) != 0) {
        DebugOutput("Error in pcap_compile()\n");
        return false;
    }
    const bool installed = pcap_setfilter(handle, &program) == 0;
    // The kernel holds its own copy once installed.
    pcap_freecode(&program);
    if (!installed) {
        DebugOutput("Error in pcap_setfilter()\n");
    }
    return installed;
}
