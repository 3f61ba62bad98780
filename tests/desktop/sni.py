"""The program's tray icon as a StatusNotifierItem, read and driven over the
session bus the way a panel does: found through the
org.kde.StatusNotifierWatcher, its icon read from IconPixmap (or the file
IconName names), Activate called, and its menu read and clicked through
com.canonical.dbusmenu.
"""
import subprocess
import time

import dbus

from e2e_harness import colour_counts

WATCHER = "org.kde.StatusNotifierWatcher"
ITEM = "org.kde.StatusNotifierItem"
MENU = "com.canonical.dbusmenu"
PROPERTIES = "org.freedesktop.DBus.Properties"


def image_colours(path, geometry=None):
    """(green, warm) pixels of an image file, or of a part of it
    ("WxH+X+Y")."""
    command = ["convert", path]
    if geometry:
        command += ["-crop", geometry, "+repage"]
    raw = subprocess.run(command + ["-depth", "8", "rgb:-"], capture_output=True,
                         check=True, timeout=30).stdout
    return colour_counts(raw)


def is_colour(counts, colour):
    """Whether (green, warm) counts say mostly green, or mostly red/orange."""
    green, warm = counts
    if colour == "green":
        return green > 20 and warm < green / 4
    return warm > 20 and green < warm / 4


class TrayItem:
    """One registered item, by its bus name and object path."""

    def __init__(self, bus, service, path):
        self.bus, self.service, self.path = bus, service, path

    def _object(self, path=None):
        return self.bus.get_object(self.service, path or self.path, introspect=False)

    def prop(self, name):
        return dbus.Interface(self._object(), PROPERTIES).Get(ITEM, name)

    def pixmap_colours(self):
        """(green, warm) pixels of the largest IconPixmap, else of the file
        that IconName names; None when the item shows neither."""
        pixmaps = self.prop("IconPixmap")
        if pixmaps:
            width, height, data = max(pixmaps, key=lambda p: int(p[0]) * int(p[1]))
            argb = bytes(data)
            # ARGB32 in network byte order: drop alpha, keep the opaque pixels.
            rgb = bytearray()
            for i in range(0, int(width) * int(height) * 4, 4):
                if argb[i] > 128:
                    rgb += argb[i + 1:i + 4]
            return colour_counts(bytes(rgb))
        name = str(self.prop("IconName"))
        if name.startswith("/"):
            return image_colours(name)
        return None

    def activate(self):
        """What a left click on the icon does in a panel."""
        dbus.Interface(self._object(), ITEM).Activate(0, 0)

    def menu_path(self):
        return str(self.prop("Menu"))

    def menu_entries(self):
        """[(id, label)] of the menu's visible items that are no separator,
        labels without mnemonic marks."""
        menu = dbus.Interface(self._object(self.menu_path()), MENU)
        menu.AboutToShow(0)
        _, layout = menu.GetLayout(0, -1, dbus.Array([], signature="s"))
        entries = []
        for child in layout[2]:
            item_id, props = int(child[0]), child[1]
            if str(props.get("type", "")) == "separator" or not props.get("visible", True):
                continue
            entries.append((item_id, str(props.get("label", "")).replace("_", "")))
        return entries

    def click(self, label):
        """Clicks the menu item with the label, as a panel does."""
        menu = dbus.Interface(self._object(self.menu_path()), MENU)
        for item_id, text in self.menu_entries():
            if text == label:
                menu.Event(item_id, "clicked", dbus.Int32(0, variant_level=1),
                           dbus.UInt32(int(time.time()) & 0xFFFFFFFF))
                return True
        return False


def registered(bus):
    """The items the watcher holds, as (service, path)."""
    watcher = bus.get_object(WATCHER, "/StatusNotifierWatcher", introspect=False)
    entries = dbus.Interface(watcher, PROPERTIES).Get(WATCHER, "RegisteredStatusNotifierItems")
    items = []
    for entry in map(str, entries):
        service, slash, path = entry.partition("/")
        items.append((service, "/" + path if slash else "/StatusNotifierItem"))
    return items


def item_of(pid, bus=None):
    """The registered item of the process, or None."""
    bus = bus or dbus.SessionBus()
    try:
        items = registered(bus)
    except dbus.DBusException:
        return None
    driver = dbus.Interface(bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus"),
                            "org.freedesktop.DBus")
    for service, path in items:
        try:
            if int(driver.GetConnectionUnixProcessID(service)) == pid:
                return TrayItem(bus, service, path)
        except dbus.DBusException:
            continue
    return None
