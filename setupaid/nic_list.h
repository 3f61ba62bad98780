#pragma once

#include <string>
#include <vector>

#include "setupaid/system_bus.h"

namespace setupaid {

// One listed connection: the kernel interface and the name shown for it.
struct NicEntry {
    std::string interfaceName;
    std::string displayName;
};

// The IP-enabled connections of the machine: every interface with an IPv4 or
// IPv6 address (IPv6 link-local addresses, which every interface that is up
// has, do not count) except loopback, in interface index order, named by the
// NetworkManager connection active on it where NetworkManager runs, else by
// the interface name.
//
// Closed -> open (Open) -> listed (Enumerate, may be repeated) -> closed
// (Close). Calls out of that order answer "other failure" (or an empty name,
// or a count of 0) and change nothing.
class NicList {
  public:
    // Maximum bytes of a name handed out by Name().
    static constexpr size_t kNameBytes = 64;

    int Open();
    int Enumerate();
    int Count() const { return static_cast<int>(entries_.size()); }
    // The name at index cut to kNameBytes on a character boundary, or an
    // empty text for an index out of range. Valid until the next call.
    const char* Name(int index);
    int Enable(int index);
    void Close();

    bool IsOpen() const { return open_; }
    const std::vector<NicEntry>& Entries() const { return entries_; }

  private:
    std::string ConnectionIdOf(const std::string& interfaceName);

    bool open_ = false;
    SystemBus bus_;
    std::vector<NicEntry> entries_;
    char nameBuffer_[kNameBytes + 1] = {};
};

// Names of the interfaces that have an IPv4 or IPv6 address (not counting
// IPv6 link-local ones), loopback left out, in interface index order. False when the kernel cannot
// be asked.
bool ListAddressedInterfaces(std::vector<std::string>& names);

}  // namespace setupaid
