#pragma once

#include <pcap/pcap.h>

#include <string>
#include <string_view>

// Opening the capture on one Ethernet adapter for the probe engine: only PPPoE
// discovery frames with code 7 (PADO) or 9 (PADI) are let through.

// Whole frames: a 100-byte snapshot would cut the Host-Uniq tag off every
// offer longer than 100 bytes (an AC that puts it after a long AC-Name or a
// cookie), and such an AC would never be heard. 2048 covers any Ethernet
// frame with room to spare.
constexpr int kCaptureSnapLength = 2048;
// pcap_next_ex returns after at most this long, so the receive loop notices
// a stop request promptly.
constexpr int kCaptureReadTimeoutMs = 10;
constexpr std::string_view kDiscoveryFilter =
    "ether proto 0x8863 and (ether[15] = 7 or ether[15] = 9)";

struct CaptureOpening {
    pcap_t* handle = nullptr;       // open and filtered, or null
    std::string errorText;          // libpcap's text when opening failed
    bool permissionDenied = false;  // the failure was a missing CAP_NET_RAW
};

// Opens `device` (snapshot length, promiscuous mode as given, read timeout,
// immediate delivery), compiles the discovery filter optimised with netmask
// 0, installs it and frees the compiled program. CAP_NET_RAW is raised into
// the effective set only for the opening. On failure writes the debug text
// of the failing step and returns no handle.
CaptureOpening OpenDiscoveryCapture(const std::string& device, bool promiscuous);

// Compiles and installs the discovery filter on an open handle. Writes the
// debug text of the failing step; the handle stays open either way.
bool InstallDiscoveryFilter(pcap_t* handle);
