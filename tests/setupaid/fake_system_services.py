#!/usr/bin/python3
# Stand-ins for NetworkManager and firewalld on a private bus, so that the
# library's D-Bus code runs against a real bus. Prints "ready" once its names
# are owned; appends every change it is asked for to the log file.
#
#   fake_system_services.py --log FILE [--nm-devices JSON] [--firewalld]
#                           [--firewalld-deny] [--firewalld-deny-permanent]
#                           [--samba-enabled]
#
# --nm-devices maps interface names to the Id of their active connection
# (null: a device without an active connection).

import argparse
import json
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

NM = "org.freedesktop.NetworkManager"
NM_PATH = "/org/freedesktop/NetworkManager"
FW = "org.fedoraproject.FirewallD1"
FW_PATH = "/org/fedoraproject/FirewallD1"
PROPERTIES = "org.freedesktop.DBus.Properties"


class NmError(dbus.DBusException):
    _dbus_error_name = NM + ".UnknownDevice"


class NotAuthorized(dbus.DBusException):
    _dbus_error_name = FW + ".NotAuthorizedException"


class FirewallError(dbus.DBusException):
    _dbus_error_name = FW + ".Exception"


class PropertyObject(dbus.service.Object):
    def __init__(self, bus, path, interface, properties):
        super().__init__(bus, path)
        self.interface = interface
        self.properties = properties

    @dbus.service.method(PROPERTIES, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        if interface != self.interface or name not in self.properties:
            raise dbus.DBusException("no such property", name="org.freedesktop.DBus.Error.UnknownProperty")
        return self.properties[name]


class NetworkManager(dbus.service.Object):
    def __init__(self, bus, devices):
        super().__init__(bus, NM_PATH)
        self.devices = {}
        self.children = []
        for number, (interface, connection_id) in enumerate(devices.items()):
            device_path = "%s/Devices/%d" % (NM_PATH, number)
            active_path = dbus.ObjectPath("/")
            if connection_id is not None:
                active_path = dbus.ObjectPath("%s/ActiveConnection/%d" % (NM_PATH, number))
                self.children.append(PropertyObject(
                    bus, active_path, NM + ".Connection.Active", {"Id": dbus.String(connection_id)}))
            self.children.append(PropertyObject(
                bus, device_path, NM + ".Device", {"ActiveConnection": active_path}))
            self.devices[interface] = dbus.ObjectPath(device_path)

    @dbus.service.method(NM, in_signature="s", out_signature="o")
    def GetDeviceByIpIface(self, interface):
        if interface not in self.devices:
            raise NmError("No device found for the requested iface.")
        return self.devices[interface]


class Firewalld(dbus.service.Object):
    def __init__(self, bus, log, deny, deny_permanent, enabled):
        super().__init__(bus, FW_PATH)
        self.log = log
        self.deny = deny
        self.deny_permanent = deny_permanent
        self.runtime = {"samba"} if enabled else set()
        self.config = FirewalldConfig(bus, self)

    def record(self, text):
        with open(self.log, "a") as out:
            out.write(text + "\n")

    @dbus.service.method(FW, in_signature="", out_signature="s")
    def getDefaultZone(self):
        return "public"

    @dbus.service.method(FW + ".zone", in_signature="ss", out_signature="b")
    def queryService(self, zone, service):
        return service in self.runtime

    @dbus.service.method(FW + ".zone", in_signature="ssi", out_signature="s")
    def addService(self, zone, service, timeout):
        if self.deny:
            raise NotAuthorized("authorization failed")
        if service in self.runtime:
            raise FirewallError("ALREADY_ENABLED: " + service)
        self.runtime.add(service)
        self.record("runtime %s %s %d" % (zone or "public", service, timeout))
        return zone or "public"

    @dbus.service.method(FW + ".zone", in_signature="ss", out_signature="s")
    def removeService(self, zone, service):
        if service not in self.runtime:
            raise FirewallError("NOT_ENABLED: " + service)
        self.runtime.discard(service)
        self.record("runtime removed %s %s" % (zone or "public", service))
        return zone or "public"


class FirewalldConfig(dbus.service.Object):
    def __init__(self, bus, owner):
        super().__init__(bus, FW_PATH + "/config")
        self.zone = FirewalldZone(bus, owner)

    @dbus.service.method(FW + ".config", in_signature="s", out_signature="o")
    def getZoneByName(self, name):
        if name != "public":
            raise FirewallError("INVALID_ZONE: " + name)
        return dbus.ObjectPath(FW_PATH + "/config/zone/0")


class FirewalldZone(dbus.service.Object):
    def __init__(self, bus, owner):
        super().__init__(bus, FW_PATH + "/config/zone/0")
        self.owner = owner
        self.services = set(owner.runtime)

    @dbus.service.method(FW + ".config.zone", in_signature="s", out_signature="b")
    def queryService(self, service):
        return service in self.services

    @dbus.service.method(FW + ".config.zone", in_signature="s", out_signature="")
    def addService(self, service):
        if self.owner.deny or self.owner.deny_permanent:
            raise NotAuthorized("authorization failed")
        self.services.add(service)
        self.owner.record("permanent public " + service)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--log", required=True)
    parser.add_argument("--nm-devices")
    parser.add_argument("--firewalld", action="store_true")
    parser.add_argument("--firewalld-deny", action="store_true")
    parser.add_argument("--firewalld-deny-permanent", action="store_true")
    parser.add_argument("--samba-enabled", action="store_true")
    options = parser.parse_args()

    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()
    keep = []
    if options.nm_devices is not None:
        keep.append(NetworkManager(bus, json.loads(options.nm_devices)))
        keep.append(dbus.service.BusName(NM, bus))
    if options.firewalld:
        keep.append(Firewalld(bus, options.log, options.firewalld_deny,
                              options.firewalld_deny_permanent, options.samba_enabled))
        keep.append(dbus.service.BusName(FW, bus))
    print("ready", flush=True)
    GLib.MainLoop().run()


if __name__ == "__main__":
    sys.exit(main())
