#include "engine/discovery_capture.h"

#include <fcntl.h>
#include <poll.h>

#include <utility>

#include "core/debug_output.h"
#include "engine/capture_permission.h"

namespace {

// Sizes the sender's receive ring at its minimum: it is never read.
constexpr int kSenderBufferBytes = 64 * 1024;

// In immediate mode every frame takes a whole snap-length slot of the ring,
// so libpcap's default 2 MiB holds under a thousand frames. A segment whose
// concentrators all answer one probe at once must not overflow it.
constexpr int kReceiveBufferBytes = 8 * 1024 * 1024;

// libpcap opens its packet socket without O_CLOEXEC.
bool SetCloseOnExec(pcap_t* handle) {
    const int descriptor = pcap_get_selectable_fd(handle);
    if (descriptor < 0) return false;
    const int flags = fcntl(descriptor, F_GETFD);
    return flags >= 0 && fcntl(descriptor, F_SETFD, flags | FD_CLOEXEC) == 0;
}

// A handle for transmitting only: a filter that accepts nothing keeps the
// kernel from queueing any frame on it.
PcapHandle OpenSender(const std::string& device, CaptureOpening& opening) {
    char errorBuffer[PCAP_ERRBUF_SIZE] = {};
    ScopedCaptureCapability capability;
    PcapHandle sender(pcap_create(device.c_str(), errorBuffer));
    if (!sender) {
        opening.errorText = errorBuffer;
        return nullptr;
    }
    pcap_set_snaplen(sender.get(), kCaptureSnapLength);
    pcap_set_timeout(sender.get(), kCaptureReadTimeoutMs);
    pcap_set_buffer_size(sender.get(), kSenderBufferBytes);
    const int activation = pcap_activate(sender.get());
    bpf_insn rejectAll = {static_cast<u_short>(BPF_RET | BPF_K), 0, 0, 0};
    bpf_program program{1, &rejectAll};
    if (activation < 0 || pcap_setfilter(sender.get(), &program) != 0 ||
        !SetCloseOnExec(sender.get())) {
        opening.errorText = pcap_geterr(sender.get());
        opening.permissionDenied = activation == PCAP_ERROR_PERM_DENIED;
        return nullptr;
    }
    return sender;
}

}  // namespace

CaptureOpening OpenDiscoveryCapture(const std::string& device, bool promiscuous) {
    CaptureOpening opening;
    char errorBuffer[PCAP_ERRBUF_SIZE] = {};
    PcapHandle handle;
    int activation = 0;
    {
        ScopedCaptureCapability capability;
        // pcap_create + activate with the parameters pcap_open_live takes,
        // plus immediate delivery: each frame is handed over as it arrives
        // instead of when a kernel block fills or is retired.
        handle.reset(pcap_create(device.c_str(), errorBuffer));
        if (handle) {
            pcap_t* raw = handle.get();
            pcap_set_snaplen(raw, kCaptureSnapLength);
            pcap_set_promisc(raw, promiscuous ? 1 : 0);
            pcap_set_timeout(raw, kCaptureReadTimeoutMs);
            pcap_set_immediate_mode(raw, 1);
            pcap_set_buffer_size(raw, kReceiveBufferBytes);
            activation = pcap_activate(raw);
            // Linux libpcap keeps polling inside pcap_next_ex until a frame
            // arrives, whatever the read timeout. Non-blocking, a read takes
            // what the ring holds and the caller waits on the descriptor.
            if (activation >= 0 &&
                (pcap_setnonblock(raw, 1, errorBuffer) != 0 || !SetCloseOnExec(raw))) {
                activation = PCAP_ERROR;
            }
        }
    }
    if (!handle || activation < 0) {
        if (handle) {
            opening.errorText = pcap_geterr(handle.get());
            opening.permissionDenied = activation == PCAP_ERROR_PERM_DENIED;
        } else {
            opening.errorText = errorBuffer;
        }
        DebugOutput("Error in pcap_open_live()\n");
        return opening;
    }
    if (!InstallDiscoveryFilter(handle.get())) {
        opening.errorText = pcap_geterr(handle.get());
        return opening;
    }
    PcapHandle sender = OpenSender(device, opening);
    if (!sender) {
        DebugOutput("Error in pcap_open_live()\n");
        return opening;
    }
    opening.handle = std::move(handle);
    opening.sender = std::move(sender);
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
