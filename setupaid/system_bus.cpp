#include "setupaid/system_bus.h"

#include <dbus/dbus.h>

#include <cstdlib>

namespace setupaid {
namespace {

// Reads a text, object path or boolean, looking inside a variant.
void ReadValue(DBusMessageIter* iter, BusReply& reply) {
    switch (dbus_message_iter_get_arg_type(iter)) {
        case DBUS_TYPE_STRING:
        case DBUS_TYPE_OBJECT_PATH: {
            const char* value = nullptr;
            dbus_message_iter_get_basic(iter, &value);
            reply.text = value != nullptr ? value : "";
            break;
        }
        case DBUS_TYPE_BOOLEAN: {
            dbus_bool_t value = FALSE;
            dbus_message_iter_get_basic(iter, &value);
            reply.flag = value != FALSE;
            break;
        }
        case DBUS_TYPE_VARIANT: {
            DBusMessageIter inner;
            dbus_message_iter_recurse(iter, &inner);
            ReadValue(&inner, reply);
            break;
        }
        default:
            break;
    }
}

}  // namespace

bool SystemBus::Connect() {
    Close();
    DBusError error;
    dbus_error_init(&error);
    // The address is read on every connect: libdbus's own lookup keeps the
    // first address it saw for the life of the process.
    const char* variable = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    const char* address = variable != nullptr && *variable != '\0'
                              ? variable
                              : "unix:path=/run/dbus/system_bus_socket";
    connection_ = dbus_connection_open_private(address, &error);
    if (connection_ != nullptr) {
        dbus_connection_set_exit_on_disconnect(connection_, FALSE);
        if (!dbus_bus_register(connection_, &error)) Close();
    }
    dbus_error_free(&error);
    return connection_ != nullptr;
}

void SystemBus::Close() {
    if (connection_ == nullptr) return;
    dbus_connection_close(connection_);
    dbus_connection_unref(connection_);
    connection_ = nullptr;
}

bool SystemBus::HasOwner(const std::string& name) {
    if (connection_ == nullptr) return false;
    DBusError error;
    dbus_error_init(&error);
    const bool owned = dbus_bus_name_has_owner(connection_, name.c_str(), &error) != FALSE;
    dbus_error_free(&error);
    return owned;
}

BusReply SystemBus::Call(const std::string& destination, const std::string& path,
                         const std::string& interface, const std::string& method,
                         const std::vector<BusArgument>& arguments) {
    BusReply reply;
    if (connection_ == nullptr) {
        reply.errorName = DBUS_ERROR_DISCONNECTED;
        return reply;
    }
    if (!dbus_validate_path(path.c_str(), nullptr)) {
        reply.errorName = DBUS_ERROR_INVALID_ARGS;
        return reply;
    }
    DBusMessage* message = dbus_message_new_method_call(destination.c_str(), path.c_str(),
                                                        interface.c_str(), method.c_str());
    if (message == nullptr) {
        reply.errorName = DBUS_ERROR_NO_MEMORY;
        return reply;
    }
    dbus_message_set_auto_start(message, FALSE);
    DBusMessageIter iter;
    dbus_message_iter_init_append(message, &iter);
    bool appended = true;
    for (const BusArgument& argument : arguments) {
        if (const auto* text = std::get_if<std::string>(&argument)) {
            // libdbus ends the process on a text that is not UTF-8.
            if (!dbus_validate_utf8(text->c_str(), nullptr)) {
                dbus_message_unref(message);
                reply.errorName = DBUS_ERROR_INVALID_ARGS;
                return reply;
            }
            const char* value = text->c_str();
            appended = appended && dbus_message_iter_append_basic(&iter, DBUS_TYPE_STRING, &value);
        } else {
            const dbus_int32_t value = std::get<int32_t>(argument);
            appended = appended && dbus_message_iter_append_basic(&iter, DBUS_TYPE_INT32, &value);
        }
    }
    if (!appended) {
        dbus_message_unref(message);
        reply.errorName = DBUS_ERROR_NO_MEMORY;
        return reply;
    }

    DBusError error;
    dbus_error_init(&error);
    DBusMessage* answer = dbus_connection_send_with_reply_and_block(
        connection_, message, DBUS_TIMEOUT_USE_DEFAULT, &error);
    dbus_message_unref(message);
    if (answer == nullptr) {
        reply.errorName = error.name != nullptr ? error.name : DBUS_ERROR_FAILED;
        reply.errorMessage = error.message != nullptr ? error.message : "";
        dbus_error_free(&error);
        return reply;
    }
    reply.ok = true;
    DBusMessageIter values;
    if (dbus_message_iter_init(answer, &values)) ReadValue(&values, reply);
    dbus_message_unref(answer);
    return reply;
}

BusReply SystemBus::GetProperty(const std::string& destination, const std::string& path,
                                const std::string& interface, const std::string& property) {
    return Call(destination, path, DBUS_INTERFACE_PROPERTIES, "Get",
                {BusArgument(interface), BusArgument(property)});
}

}  // namespace setupaid
