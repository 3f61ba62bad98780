#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// One pppd peers entry aimed at an access concentrator: what we write into it
// and what we read back out of an existing one.

// An AC-Name is at most this long (one PPPoE tag value).
constexpr size_t kMaxAcNameBytes = 255;
constexpr size_t kMaxEntryNameBytes = 255;
constexpr std::string_view kPppoeDeviceType = "PPPoE";

// The entry-name rules: not empty, not "." or "..", no leading dot, none of
// / \ : * ? " < > |, no control characters, at most 255 bytes. A valid name is
// a plain file name in the peers folder and a plain word after `pppd call`.
bool IsValidEntryName(std::string_view name);

// An adapter name pppd's PPPoE plugin takes after "nic-": 1 to 15 bytes of
// printable ASCII without white space, quotes, backslash, '/' or '#'.
bool IsValidInterfaceName(std::string_view name);

// What the program puts into an entry. Everything else is fixed: no
// authentication demanded of the peer, the peer's name servers, no fixed
// address, the password hidden in logs, the default route through the link,
// CHAP only (PAP, EAP and MS-CHAP refused), no redial (nopersist).
struct PeersEntryFields {
    std::string acName;     // the target: the whole AC-Name, 1..255 bytes
    std::string interface;  // the adapter the PPPoE device runs on
};

// The entry's text, every value quoted and escaped by pppd's word rules.
// Nothing when a field cannot be written so: an empty or overlong AC-Name, a
// NUL byte, an invalid adapter name.
std::optional<std::string> BuildPeersEntry(const PeersEntryFields& fields,
                                           std::string_view pluginName);

// The PPPoE plugin's file name as installed: "rp-pppoe.so" where pppd ships it
// under that name, else "pppoe.so" where only that one exists (newer pppd),
// else "rp-pppoe.so".
std::string InstalledPppoePlugin(const std::string& pluginRoot = "/usr/lib/pppd");

// What a peers entry is aimed at, read with pppd's word rules.
struct PeersEntryTarget {
    // "PPPoE" for the PPPoE plugin (rp-pppoe.so or pppoe.so, any letter
    // case, any folder), the plugin's file name for another plugin, "modem"
    // when the entry loads no plugin.
    std::string deviceType = "modem";
    std::optional<std::string> acName;  // the last pppoe-ac / rp_pppoe_ac value
    std::string serviceName;            // the last pppoe-service / rp_pppoe_service value
};

PeersEntryTarget ReadPeersEntry(std::string_view text);

// Whether an entry is aimed at acName with the given device type: the device
// type equal ignoring letter case, the target exactly acName and no
// Service-Name (the target form is the AC-Name alone).
bool IsAimedAt(const PeersEntryTarget& target, std::string_view deviceType,
               std::string_view acName);
