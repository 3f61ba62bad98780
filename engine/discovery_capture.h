#pragma once

#include <pcap/pcap.h>

#include <memory>
#include <string>
#include <string_view>

// Opening the capture on one Ethernet adapter for the probe engine: only PPPoE
// discovery frames with code 7 (PADO) or 9 (PADI) are let through.

// Whole frames: a 100-byte snapshot would cut the Host-Uniq tag off every
// offer longer than 100 bytes (an AC that puts it after a long AC-Name or a
// cookie), and such an AC would never be heard. 2048 covers any Ethernet
// frame with room to spare.
constexpr int kCaptureSnapLength = 2048;
// The read timeout handed to libpcap. The handles are non-blocking and the
// receive thread waits on the descriptor itself, so it only bounds how long
// ReadCapturedFrame waits.
constexpr int kCaptureReadTimeoutMs = 10;
constexpr std::string_view kDiscoveryFilter =
    "ether proto 0x8863 and (ether[15] = 7 or ether[15] = 9)";

// Linux never hands a packet socket the frames that socket sent itself, yet
// the engine times each answer from the moment the capture saw its own probe
// leave. So the probe goes out through a second handle on the same device,
// which receives nothing; the capture handle sees the probe leave like any
// other outgoing frame.
struct PcapCloser {
    void operator()(pcap_t* handle) const { pcap_close(handle); }
};
// A capture handle that closes itself.
using PcapHandle = std::unique_ptr<pcap_t, PcapCloser>;

struct CaptureOpening {
    PcapHandle handle;              // open and filtered, or null
    PcapHandle sender;              // transmits the probe; open whenever handle is
    std::string errorText;          // libpcap's text when opening failed
    bool permissionDenied = false;  // the failure was a missing CAP_NET_RAW
};

// Opens `device` (snapshot length, promiscuous mode as given, read timeout,
// immediate delivery, non-blocking), compiles the discovery filter optimised with netmask
// 0, installs it and frees the compiled program; then opens the sending
// handle. Both descriptors are close-on-exec: a program started later must
// not inherit a raw packet socket. CAP_NET_RAW is raised into the effective
// set only for the opening.
// On failure writes the debug text of the failing step and returns no
// handles.
CaptureOpening OpenDiscoveryCapture(const std::string& device, bool promiscuous);

// pcap_next_ex that comes back after at most kCaptureReadTimeoutMs on a live
// capture opened here (0 when nothing arrived); on other handles (savefiles)
// exactly pcap_next_ex.
int ReadCapturedFrame(pcap_t* handle, pcap_pkthdr** header, const u_char** data);

// Compiles and installs the discovery filter on an open handle. Writes the
// debug text of the failing step; the handle stays open either way.
bool InstallDiscoveryFilter(pcap_t* handle);
