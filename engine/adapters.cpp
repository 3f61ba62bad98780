#include "engine/adapters.h"

#include <net/if.h>
#include <net/if_arp.h>
#include <pcap/pcap.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstring>
#include <fstream>
#include <string_view>

#include "core/debug_output.h"
#include "core/unique_fd.h"
#include "engine/net_interface_info.h"
#include "engine/network_text.h"

namespace {

std::string CutText(std::string text, size_t maxLength) {
    if (text.size() > maxLength) {
        text.resize(maxLength);
    }
    return text;
}

}  // namespace

bool IsWiredEthernetInterface(const AdapterSources& sources, const std::string& name) {
    const std::optional<std::string> type =
        ReadInterfaceAttribute(sources.sysfsNetRoot, name, "type");
    if (!type || *type != std::to_string(ARPHRD_ETHER)) {
        return false;
    }
    return !InterfaceEntryExists(sources.sysfsNetRoot, name, "wireless") &&
           !InterfaceEntryExists(sources.sysfsNetRoot, name, "phy80211");
}

std::optional<MacAddress> QueryInterfaceMac(const std::string& name) {
    if (!IsPlainInterfaceName(name)) {
        return std::nullopt;
    }
    const UniqueFd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        return std::nullopt;
    }
    ifreq request{};
    std::memcpy(request.ifr_name, name.data(), name.size());
    const int result = ioctl(fd.Get(), SIOCGIFHWADDR, &request);
    if (result != 0 || request.ifr_hwaddr.sa_family != ARPHRD_ETHER) {
        return std::nullopt;
    }
    MacAddress mac{};
    std::memcpy(mac.data(), request.ifr_hwaddr.sa_data, mac.size());
    return mac;
}

std::string AdapterDescription(const AdapterSources& sources, const std::string& name) {
    if (!IsPlainInterfaceName(name)) {
        return CutText(name, kMaxAdapterDescription);
    }
    // udev keeps the properties of network device N in "n<ifindex>".
    const std::optional<std::string> index =
        ReadInterfaceAttribute(sources.sysfsNetRoot, name, "ifindex");
    if (index && !index->empty() && index->find_first_not_of("0123456789") == std::string::npos) {
        std::ifstream file(sources.udevDataRoot + "/n" + *index);
        constexpr std::string_view kModelKey = "E:ID_MODEL_FROM_DATABASE=";
        std::string line;
        while (file && std::getline(file, line)) {
            if (line.starts_with(kModelKey) && line.size() > kModelKey.size()) {
                // The database text is outside our control; show it escaped.
                const std::string model =
                    DisplayNetworkText(std::string_view(line).substr(kModelKey.size()));
                return CutText(model + " (" + name + ")", kMaxAdapterDescription);
            }
        }
    }
    return CutText(name, kMaxAdapterDescription);
}

std::vector<AdapterEntry> ListEthernetAdapters(const AdapterSources& sources) {
    std::vector<AdapterEntry> adapters;
    char errorBuffer[PCAP_ERRBUF_SIZE] = {};
    pcap_if_t* devices = nullptr;
    if (pcap_findalldevs(&devices, errorBuffer) != 0) {
        DebugOutput(std::string("adapterlist(): Error in pcap_findalldevs(): ") + errorBuffer +
                    "\n");
        return adapters;
    }
    for (pcap_if_t* device = devices; device != nullptr; device = device->next) {
        if (device->name == nullptr || (device->flags & PCAP_IF_LOOPBACK) != 0) {
            continue;
        }
        const std::string name = device->name;
        if (name == "any" || name.size() > kMaxAdapterDeviceName ||
            !IsWiredEthernetInterface(sources, name)) {
            continue;
        }
        const std::optional<MacAddress> mac = QueryInterfaceMac(name);
        if (!mac) {
            continue;
        }
        adapters.push_back({name, AdapterDescription(sources, name), *mac});
    }
    pcap_freealldevs(devices);
    return adapters;
}
