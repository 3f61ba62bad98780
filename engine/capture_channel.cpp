#include "engine/capture_channel.h"

#include <poll.h>

#include "core/debug_output.h"
#include "engine/capture_permission.h"

namespace {

// Sizes the sender's receive ring at its minimum: it is never read.
constexpr int kSenderBufferBytes = 64 * 1024;

// In immediate mode every frame takes a whole snap-length slot of the ring,
// so libpcap's default 2 MiB holds under a thousand frames. A segment whose
// concentrators all answer one probe at once must not overflow it.
constexpr int kReceiveBufferBytes = 8 * 1024 * 1024;

// A handle for transmitting only: a filter that accepts nothing keeps the
// kernel from queueing any frame on it.
pcap_t* OpenSender(const std::string& device, CaptureOpening& opening) {
    char errorBuffer[PCAP_ERRBUF_SIZE] = {};
    ScopedCaptureCapability capability;
    pcap_t* sender = pcap_create(device.c_str(), errorBuffer);
    if (sender == nullptr) {
        opening.errorText = errorBuffer;
        return nullptr;
    }
    pcap_set_snaplen(sender, kCaptureSnapLength);
    pcap_set_timeout(sender, kCaptureReadTimeoutMs);
    pcap_set_buffer_size(sender, kSenderBufferBytes);
    const int activation = pcap_activate(sender);
    bpf_insn rejectAll = {static_cast<u_short>(BPF_RET | BPF_K), 0, 0, 0};
    bpf_program program{1, &rejectAll};
    if (activation < 0 || pcap_setfilter(sender, &program) != 0) {
        opening.errorText = pcap_geterr(sender);
        opening.permissionDenied = activation == PCAP_ERROR_PERM_DENIED;
        pcap_close(sender);
        return nullptr;
    }
    return sender;
}

}  // namespace

CaptureOpening OpenDiscoveryCapture(const std::string& device, bool promiscuous) {
    CaptureOpening opening;
    char errorBuffer[PCAP_ERRBUF_SIZE] = {};
    pcap_t* handle = nullptr;
    int activation = 0;
    {
        ScopedCaptureCapability capability;
        // pcap_create + activate with the parameters pcap_open_live takes,
        // plus immediate delivery: each frame is handed over as it arrives
        // instead of when a kernel block fills or is retired.
        handle = pcap_create(device.c_str(), errorBuffer);
        if (handle != nullptr) {
            pcap_set_snaplen(handle, kCaptureSnapLength);
            pcap_set_promisc(handle, promiscuous ? 1 : 0);
            pcap_set_timeout(handle, kCaptureReadTimeoutMs);
            pcap_set_immediate_mode(handle, 1);
            pcap_set_buffer_size(handle, kReceiveBufferBytes);
            activation = pcap_activate(handle);
            // Linux libpcap keeps polling inside pcap_next_ex until a frame
            // arrives, whatever the read timeout, so a quiet segment would
            // hold the receive thread forever. Non-blocking, the timeout is
            // applied by ReadCapturedFrame instead.
            if (activation >= 0 && pcap_setnonblock(handle, 1, errorBuffer) != 0) {
                activation = PCAP_ERROR;
            }
        }
    }
    if (handle == nullptr || activation < 0) {
        if (handle != nullptr) {
            opening.errorText = pcap_geterr(handle);
            opening.permissionDenied = activation == PCAP_ERROR_PERM_DENIED;
            pcap_close(handle);
        } else {
            opening.errorText = errorBuffer;
        }
        DebugOutput("Error in pcap_open_live()\n");
        return opening;
    }
    if (!InstallDiscoveryFilter(handle)) {
        opening.errorText = pcap_geterr(handle);
        pcap_close(handle);
        return opening;
    }
    pcap_t* sender = OpenSender(device, opening);
    if (sender == nullptr) {
        pcap_close(handle);
        DebugOutput("Error in pcap_open_live()\n");
        return opening;
    }
    opening.handle = handle;
    opening.sender = sender;
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

int ReadCapturedFrame(pcap_t* handle, pcap_pkthdr** header, const u_char** data) {
    // Savefiles have no descriptor worth waiting on; they are read directly.
    const int descriptor = pcap_file(handle) == nullptr ? pcap_get_selectable_fd(handle) : -1;
    if (descriptor >= 0) {
        pollfd wait{descriptor, POLLIN, 0};
        // The socket stays readable while the ring holds frames not yet
        // handed over, so a time-out means there is nothing to read. An
        // error or readiness goes on to the read, which reports it.
        if (poll(&wait, 1, kCaptureReadTimeoutMs) == 0) {
            return 0;
        }
    }
    return pcap_next_ex(handle, header, data);
}
