#include "setupaid/nic_list.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "setupaid/netbios_setup.h"
#include "setupaid/setupaid.h"
#include "setupaid/utf8_text.h"

namespace setupaid {
namespace {

constexpr const char* kNetworkManager = "org.freedesktop.NetworkManager";
constexpr const char* kNetworkManagerPath = "/org/freedesktop/NetworkManager";
constexpr const char* kDeviceInterface = "org.freedesktop.NetworkManager.Device";
constexpr const char* kActiveInterface = "org.freedesktop.NetworkManager.Connection.Active";

// Names are shown to a person, one per line: control characters become spaces.
std::string Printable(std::string text) {
    for (char& c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) c = ' ';
    }
    return text;
}

}  // namespace

bool ListAddressedInterfaces(std::vector<std::string>& names) {
    names.clear();
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    std::vector<std::pair<unsigned, std::string>> found;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_name == nullptr) continue;
        const int family = entry->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6) continue;
        // Every interface that is up has an IPv6 link-local address; only
        // an address that reaches beyond the link makes it IP-enabled.
        if (family == AF_INET6 &&
            IN6_IS_ADDR_LINKLOCAL(
                &reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr)->sin6_addr)) {
            continue;
        }
        if ((entry->ifa_flags & IFF_LOOPBACK) != 0) continue;
        const std::string name = entry->ifa_name;
        const bool known = std::any_of(found.begin(), found.end(),
                                       [&](const auto& item) { return item.second == name; });
        if (!known) found.emplace_back(if_nametoindex(name.c_str()), name);
    }
    freeifaddrs(list);
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& item : found) names.push_back(std::move(item.second));
    return true;
}

int NicList::Open() {
    Close();
    // NetworkManager is asked only where it runs; without a system bus the
    // connections are named by their interfaces.
    bus_.Connect();
    open_ = true;
    return SETUPAID_DONE;
}

int NicList::Enumerate() {
    if (!open_) return SETUPAID_FAILED;
    entries_.clear();
    std::vector<std::string> interfaces;
    if (!ListAddressedInterfaces(interfaces)) {
        Close();
        return SETUPAID_FAILED;
    }
    const bool askNetworkManager = bus_.HasOwner(kNetworkManager);
    for (const std::string& interfaceName : interfaces) {
        std::string name = askNetworkManager ? ConnectionIdOf(interfaceName) : std::string();
        if (name.empty()) name = interfaceName;
        entries_.push_back({interfaceName, Printable(std::move(name))});
    }
    return SETUPAID_DONE;
}

std::string NicList::ConnectionIdOf(const std::string& interfaceName) {
    const BusReply device = bus_.Call(kNetworkManager, kNetworkManagerPath, kNetworkManager,
                                      "GetDeviceByIpIface", {interfaceName});
    if (!device.ok || !device.text) return {};
    const BusReply active =
        bus_.GetProperty(kNetworkManager, *device.text, kDeviceInterface, "ActiveConnection");
    if (!active.ok || !active.text || *active.text == "/") return {};
    const BusReply id = bus_.GetProperty(kNetworkManager, *active.text, kActiveInterface, "Id");
    if (!id.ok || !id.text) return {};
    return *id.text;
}

const char* NicList::Name(int index) {
    nameBuffer_[0] = '\0';
    if (index < 0 || index >= Count()) return nameBuffer_;
    const std::string_view name =
        Utf8Prefix(entries_[static_cast<size_t>(index)].displayName, kNameBytes);
    std::memcpy(nameBuffer_, name.data(), name.size());
    nameBuffer_[name.size()] = '\0';
    return nameBuffer_;
}

int NicList::Enable(int index) {
    if (!open_ || index < 0 || index >= Count()) return SETUPAID_FAILED;
    return EnableNetbios(entries_[static_cast<size_t>(index)].interfaceName);
}

void NicList::Close() {
    bus_.Close();
    entries_.clear();
    open_ = false;
}

}  // namespace setupaid
