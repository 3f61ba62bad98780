#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The one frame this program transmits (the probe PADI), the reading of the
// PADO and PADI frames it captures, and the text forms of a MAC address.
// Everything here is a pure function of its arguments: the probe engine owns
// the probe buffer, its lock, the flags, the times and the logging.

constexpr size_t kProbeFrameSize = 45;
constexpr uint16_t kEtherTypeDiscovery = 0x8863;
constexpr uint8_t kCodePado = 0x07;
constexpr uint8_t kCodePadi = 0x09;
constexpr uint16_t kTagServiceName = 0x0101;
constexpr uint16_t kTagAcName = 0x0102;
constexpr uint16_t kTagHostUniq = 0x0103;
// Characters, as CutNetworkText counts them: a cut never splits a UTF-8
// sequence.
constexpr size_t kMaxAcNameLength = 25;
// The AC-Name kept whole as the target of a connection entry; pppd and the
// AC compare it in full, so the cut display name would never connect.
constexpr size_t kMaxTargetAcNameLength = 255;

// Ethernet header (14) plus PPPoE header (6); tags start here.
constexpr size_t kDiscoveryHeaderSize = 20;
// Host-Uniq of the probe: the instance marker followed by the 4-byte stamp.
constexpr std::string_view kInstanceMarker = "Line Watchman";
constexpr size_t kHostUniqLength = 17;
constexpr size_t kProbeMarkerOffset = 28;
constexpr size_t kProbeStampOffset = 41;
constexpr std::string_view kDefaultServiceName = "Default";

using MacAddress = std::array<uint8_t, 6>;
using ProbeFrame = std::array<uint8_t, kProbeFrameSize>;

// Display form "00:1A:2B:3C:4D:5E" (upper-case, colons).
std::string FormatMacText(const MacAddress& mac);
// Log-file form "00-1a-2b-3c-4d-5e" (lower-case, hyphens), used in file names.
std::string FormatMacFileText(const MacAddress& mac);
// Input form: six fields of one or two hexadecimal digits joined by colons
// ("0:1a:2B:3:4:5e"), read exactly as sscanf(text, "%2x:%2x:%2x:%2x:%2x:%2x")
// reads it when it fills all six: white space before a field is skipped; a
// field is at most two characters of an optional sign, an optional "0x" and
// hexadecimal digits (its low byte counts: "-1" is FF); anything after the
// sixth field is ignored ("...:55x" and "...:556" end in 55). Another
// separator (hyphens), white space before a colon or a field without a digit
// rejects the text.
std::optional<MacAddress> ParseMacText(std::string_view text);

// The custom source MAC of the settings counts only in its exact form: 17
// characters (six two-digit fields and five colons) that ParseMacText reads.
constexpr size_t kCustomSourceMacTextLength = 17;
std::optional<MacAddress> ParseCustomSourceMac(std::string_view text);

// Fills the probe PADI: broadcast destination, zero source MAC, Service-Name
// tag of length 0, Host-Uniq tag holding the marker and the stamp big-endian.
void BuildProbeFrame(ProbeFrame& frame, uint32_t instanceStamp);
// Writes the source MAC into the probe, or zeroes it when mac is null.
void SetProbeSourceMac(ProbeFrame& frame, const MacAddress* mac);
// The source MAC the probe currently carries.
MacAddress ProbeSourceMac(const ProbeFrame& frame);

// One matched offer, passed from the receive thread to the window. The names
// are raw network bytes: pass them through DisplayNetworkText before showing
// or logging them.
struct KtPadoReply {
    MacAddress acMac{};
    std::string acName;
    std::string fullAcName;  // at most kMaxTargetAcNameLength bytes
    std::string serviceName;
    double rtt = 0.0;          // milliseconds, filled by the engine
    uint32_t frameLength = 0;  // wire length of the PADO, filled by the engine
    uint32_t probe = 0;        // number of the own probe it followed, filled by the engine
};

enum class FrameKind {
    Ignored,            // not for us, malformed, or dropped by a rule
    PadoMatched,        // an offer carrying this instance's stamp, sent to our MAC
    OwnProbe,           // this instance's probe, seen leaving by the capture
    ForeignPadi,        // a PADI from another station (another source MAC)
    OtherInstancePadi,  // a probe of another instance using our source MAC
};

struct FrameReading {
    FrameKind kind = FrameKind::Ignored;
    MacAddress sourceMac{};  // source MAC of the frame, set for every kind but Ignored
    // Set for PadoMatched only: raw bytes, AC-Name cut to kMaxAcNameLength
    // characters; Service-Name "Default" for an empty tag and empty when the
    // tag is absent.
    std::string acName;
    // The same AC-Name cut to kMaxTargetAcNameLength instead.
    std::string fullAcName;
    std::string serviceName;
};

// Reads one captured discovery frame of capturedLength bytes. sourceMac is the
// MAC the probe currently carries, instanceStamp the stamp it was built with.
// Reads nothing beyond the captured bytes nor beyond the PPPoE payload length
// the frame declares; Ethernet padding after the payload is never looked at.
// A tag whose header or value does not fit ends the walk with what was read
// so far, except that a Host-Uniq that does not fit drops the whole frame.
FrameReading ReadDiscoveryFrame(const uint8_t* data, size_t capturedLength,
                                const MacAddress& sourceMac, uint32_t instanceStamp);
