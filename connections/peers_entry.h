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

// The first line of every entry the program writes. The administrator's
// helper replaces an existing file without being told the user agreed only
// when it starts with this line.
constexpr std::string_view kPeersEntryHeader =
    "# PPPoE connection aimed at one access concentrator, written by Line Watchman.\n";

// pppd's plugin that reads the password from a descriptor. pppd loads a
// plugin only from a privileged source (root's command line, the system's
// options, a peers entry), so the entry loads it and the dial gives only
// `passwordfd N`.
constexpr std::string_view kPasswordPlugin = "passwordfd.so";

// The entry-name rules: not empty, not "." or "..", no leading dot or '-',
// none of / \ : * ? " < > |, valid UTF-8 without control characters and
// without invisible or direction-changing characters (bidi controls,
// zero-width and other format characters, default-ignorable code points, line
// and paragraph separators), at most 255 bytes. A valid name is a plain file
// name in the peers folder, a plain word after `pppd call` that no option
// parser takes for an option, and reads the same in the menu as on disk.
bool IsValidEntryName(std::string_view name);

// The base name the name dialog suggests for an AC-Name: the AC-Name without
// what IsValidEntryName refuses inside a name that is otherwise fine (invalid
// UTF-8, control, invisible and direction-changing characters) and without
// leading '-'. What is left may still be invalid (a '/', a leading dot).
std::string EntryNameSuggestionBase(std::string_view acName);

// Whether the text of an existing entry is one the program wrote.
bool IsWrittenByLineWatchman(std::string_view text);

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
    bool loadsPasswordPlugin = false;   // a `plugin passwordfd.so` line
};

PeersEntryTarget ReadPeersEntry(std::string_view text);

// Whether an entry is aimed at acName with the given device type: the device
// type equal ignoring letter case, the target exactly acName and no
// Service-Name (the target form is the AC-Name alone).
bool IsAimedAt(const PeersEntryTarget& target, std::string_view deviceType,
               std::string_view acName);
