#pragma once

#include <pcap/pcap.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/discovery_capture.h"

// The probe engine's access to one adapter: discovery frames in, with their
// capture timestamps, and the probe out. There are two ways underneath, and
// the engine does not know which one it has:
//  - in this process, through libpcap, when the process may open a capture
//    itself (root, or CAP_NET_RAW granted to the executable);
//  - through linewatch-capture, the small helper that holds the capability,
//    for everyone else (members of the linewatch group).
// Both deliver the same frames with the same timestamps, so round-trip times
// stay exact either way.
class CaptureChannel {
  public:
    virtual ~CaptureChannel() = default;

    // A descriptor that is readable when Read has something (a frame or an
    // error) to report; -1 when there is none to wait on (savefiles).
    virtual int Descriptor() = 0;
    // As pcap_next_ex: 1 with a frame (valid until the next Read), 0 when
    // nothing is waiting, negative when reading failed. Called by one thread
    // at a time.
    virtual int Read(pcap_pkthdr** header, const u_char** data) = 0;
    // Transmits one frame; 0 when it went out, non-zero when it did not.
    // Only a PADI with a unicast, non-zero source MAC is ever sent. Through
    // the helper the outcome arrives with the captured frames: a Send waits
    // while another thread reads.
    virtual int Send(const uint8_t* frame, size_t length) = 0;
};

// The in-process way: a capture handle and a sending handle (or the capture
// handle for both, as with savefiles and handles set up by tests).
class PcapCaptureChannel final : public CaptureChannel {
  public:
    PcapCaptureChannel(PcapHandle capture, PcapHandle sender);
    int Descriptor() override;
    int Read(pcap_pkthdr** header, const u_char** data) override;
    int Send(const uint8_t* frame, size_t length) override;

  private:
    PcapHandle capture_;
    PcapHandle sender_;  // null: frames go out through capture_
};

struct CaptureChannelOpening {
    std::unique_ptr<CaptureChannel> channel;  // open and filtered, or null
    std::string errorText;                    // why it could not be opened
    bool permissionDenied = false;            // the user may not capture
};

// Opens `device` for discovery frames: in this process when it holds or may
// raise CAP_NET_RAW (capture_permission.h), through linewatch-capture
// otherwise. Writes the debug text of the failing step on failure.
CaptureChannelOpening OpenCaptureChannel(const std::string& device, bool promiscuous);

// The helper the second way starts: $LW_CAPTURE_HELPER when set (a build
// tree, a test), else the installed path fixed at build time.
std::string CaptureHelperPath();
