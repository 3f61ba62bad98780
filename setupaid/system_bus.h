#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

struct DBusConnection;

namespace setupaid {

// One argument of a method call: a text or a 32-bit integer.
using BusArgument = std::variant<std::string, int32_t>;

// The answer to a method call: the first value of the reply (a text, an
// object path or a boolean), or the error the service answered.
struct BusReply {
    bool ok = false;
    std::string errorName;
    std::string errorMessage;
    std::optional<std::string> text;  // a string or object path value
    std::optional<bool> flag;         // a boolean value
};

// A private connection to the system bus (DBUS_SYSTEM_BUS_ADDRESS where set,
// read at each Connect),
// used for NetworkManager and firewalld. Calls never start a service that is
// not running, and losing the bus never ends the process.
class SystemBus {
  public:
    SystemBus() = default;
    ~SystemBus() { Close(); }
    SystemBus(const SystemBus&) = delete;
    SystemBus& operator=(const SystemBus&) = delete;

    bool Connect();
    void Close();
    bool Connected() const { return connection_ != nullptr; }

    // True when some process owns the bus name (the service runs).
    bool HasOwner(const std::string& name);
    BusReply Call(const std::string& destination, const std::string& path,
                  const std::string& interface, const std::string& method,
                  const std::vector<BusArgument>& arguments = {});
    // A property read through org.freedesktop.DBus.Properties.Get.
    BusReply GetProperty(const std::string& destination, const std::string& path,
                         const std::string& interface, const std::string& property);

  private:
    DBusConnection* connection_ = nullptr;
};

}  // namespace setupaid
