#pragma once

#include <optional>
#include <string>
#include <vector>

#include "engine/discovery_frames.h"

// The Ethernet adapters the monitor offers: capture devices that are wired
// Ethernet interfaces, in the capture library's order.

struct AdapterEntry {
    std::string deviceName;   // capture device name (the interface name), up to 255 characters
    std::string description;  // shown to the user, up to 127 characters
    MacAddress mac{};         // the adapter's own MAC
};

constexpr size_t kMaxAdapterDeviceName = 255;
constexpr size_t kMaxAdapterDescription = 127;

// Where adapter facts are read; tests point these at a planted tree.
struct AdapterSources {
    std::string sysfsNetRoot = "/sys/class/net";
    std::string udevDataRoot = "/run/udev/data";
};

// Lists the devices of pcap_findalldevs, in that order, that are wired
// Ethernet (type ARPHRD_ETHER, neither "wireless" nor "phy80211" present)
// and whose MAC can be read; loopback, "any" and capture sources that are no
// network interface are left out. On failure of pcap_findalldevs writes
// "adapterlist(): Error in pcap_findalldevs(): <text>\n" and lists nothing.
std::vector<AdapterEntry> ListEthernetAdapters(const AdapterSources& sources = {});

// True for an interface of type ARPHRD_ETHER that is not a wireless one.
bool IsWiredEthernetInterface(const AdapterSources& sources, const std::string& name);
// The interface's hardware address (SIOCGIFHWADDR), when it is an Ethernet one.
std::optional<MacAddress> QueryInterfaceMac(const std::string& name);
// udev's model name of the device ("<model> (<name>)") when udev knows it,
// else the interface name; cut to kMaxAdapterDescription characters.
std::string AdapterDescription(const AdapterSources& sources, const std::string& name);
