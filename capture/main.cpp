// linewatch-capture: the one program of Line Watchman that holds CAP_NET_RAW.
//
//   linewatch-capture DEVICE PROMISCUOUS(0|1)   with a SOCK_SEQPACKET socket as descriptor 3
//
// It opens DEVICE for PPPoE discovery frames, gives up the capability for
// good, and then serves the one caller on the other end of the socket
// (engine/capture_protocol.h) until the caller closes it.
#include <net/if.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "capture/capture_server.h"
#include "capture/privileges.h"
#include "engine/capture_protocol.h"
#include "engine/discovery_capture.h"

namespace {

constexpr int kCallerSocket = 3;
constexpr int kExitOpenFailed = 1;
constexpr int kExitBadArguments = 2;
constexpr int kExitPrivilegesKept = 3;

void Complain(std::string_view text) {
    std::fprintf(stderr, "linewatch-capture: %.*s\n", static_cast<int>(text.size()), text.data());
}

bool IsCallerSocket(int fd) {
    int type = 0;
    int domain = 0;
    socklen_t length = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0) return false;
    length = sizeof domain;
    return getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) == 0 && type == SOCK_SEQPACKET &&
           domain == AF_UNIX;
}

// A network interface name as the kernel allows it; "any" (every interface
// at once, without Ethernet headers) is no adapter.
bool IsAdapterName(std::string_view name) {
    if (name.empty() || name.size() >= IFNAMSIZ || name == "." || name == ".." || name == "any") {
        return false;
    }
    for (char c : name) {
        if (c == '/' || c == ':' || static_cast<unsigned char>(c) <= ' ' || c == 0x7F) return false;
    }
    return true;
}

int Answer(CaptureResult result, uint32_t linkType, std::string_view text, int exitCode) {
    const std::vector<uint8_t> message = EncodeOpened(result, linkType, text);
    (void)!send(kCallerSocket, message.data(), message.size(), MSG_NOSIGNAL);
    if (result != CaptureResult::Ok) {
        Complain(text.empty() ? CaptureResultText(result) : text);
    }
    return exitCode;
}

}  // namespace

int main(int argc, char** argv) {
    // Nothing of the caller's environment counts here: no locale, no paths,
    // no library settings.
    clearenv();
    signal(SIGPIPE, SIG_IGN);
    // Descriptors other than the standard ones and the caller's socket are
    // none of this program's business.
    closefrom(kCallerSocket + 1);
    if (!IsCallerSocket(kCallerSocket)) {
        DropPrivilegesForGood();
        Complain("descriptor 3 must be the caller's SOCK_SEQPACKET socket");
        return kExitBadArguments;
    }
    const bool promiscuousGiven =
        argc == 3 && (std::strcmp(argv[2], "0") == 0 || std::strcmp(argv[2], "1") == 0);
    if (!promiscuousGiven || !IsAdapterName(argv[1])) {
        DropPrivilegesForGood();
        return Answer(CaptureResult::BadArguments, 0,
                      "usage: linewatch-capture DEVICE 0|1 (an adapter name and the promiscuous "
                      "flag)",
                      kExitBadArguments);
    }
    const std::string device = argv[1];
    const bool promiscuous = argv[2][0] == '1';

    CaptureOpening opening;
    if (if_nametoindex(device.c_str()) == 0) {
        opening.errorText = "no adapter named '" + device + "'";
    } else {
        opening = OpenDiscoveryCapture(device, promiscuous);
    }
    // The capability is gone before anything is read from the caller.
    if (!DropPrivilegesForGood()) {
        return Answer(CaptureResult::PrivilegesKept, 0, {}, kExitPrivilegesKept);
    }
    if (!opening.handle) {
        return Answer(
            opening.permissionDenied ? CaptureResult::PermissionDenied : CaptureResult::OpenFailed,
            0, opening.errorText, kExitOpenFailed);
    }
    const int linkType = pcap_datalink(opening.handle.get());
    if (linkType != DLT_EN10MB) {
        return Answer(CaptureResult::NotEthernet, static_cast<uint32_t>(linkType), {},
                      kExitOpenFailed);
    }
    Answer(CaptureResult::Ok, DLT_EN10MB, {}, 0);
    return ServeCaptureCaller(kCallerSocket, opening.handle.get(), opening.sender.get());
}
