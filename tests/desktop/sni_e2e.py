#!/usr/bin/python3
"""The desktop program's tray icon as a StatusNotifierItem, end to end, on
the desktops that host tray icons over D-Bus, against the network lab:

    sni_e2e.py SCENARIO LINEWATCH ARTIFACTS_DIR

SCENARIO "wayland": the Wayland lab (sway, waybar's tray, dunst), the
program on Qt's Wayland platform. "x11": the X11 lab with a StatusNotifier
host (gtk-sni-tray-standalone with its watcher) instead of the XEmbed tray,
the path Qt takes on X11 whenever a watcher is on the session bus.

Checked on both: the ACs listed; the item registered with the watcher;
its icon green while an AC answers and orange when all are down, read over
D-Bus and seen in a screenshot of the panel; Activate hiding and showing
the window and stopping a looping sound; the item's menu with Restore,
Change settings..., About and Exit working; the notices with their exact
texts; a second start bringing the hidden window back. Exit status 0 when
every check held.
"""
import json
import os
import sys
import tempfile
import time
import shutil

import pyatspi

import e2e_harness as h
import linewatch_e2e as x11
import sni

MENU = ["Restore", "Change settings...", "About", "Exit"]


class Sway:
    """Windows and screenshots on the Wayland lab's compositor."""

    name = "wayland"
    platform = "wayland"

    @staticmethod
    def windows(pid):
        """{title: visible} of the process's windows in sway's tree."""
        tree = json.loads(h.sh(["swaymsg", "-r", "-t", "get_tree"]) or "{}")
        found, stack = {}, [tree]
        while stack:
            node = stack.pop()
            if node.get("pid") == pid and node.get("name") is not None:
                found[node["name"]] = found.get(node["name"], False) or bool(node.get("visible"))
            stack += node.get("nodes", []) + node.get("floating_nodes", [])
        return found

    def rect(self, pid, title):
        tree = json.loads(h.sh(["swaymsg", "-r", "-t", "get_tree"]) or "{}")
        stack = [tree]
        while stack:
            node = stack.pop()
            if node.get("pid") == pid and node.get("name") == title:
                r = node["rect"]
                return r["x"], r["y"], r["width"], r["height"]
            stack += node.get("nodes", []) + node.get("floating_nodes", [])
        return None

    def shown(self, pid, title="Line Watchman"):
        return self.windows(pid).get(title, False)

    def report(self, pid, _title):
        return str(self.windows(pid))

    @staticmethod
    def launch_token():
        """A fresh activation token, as a launcher asks the compositor."""
        return h.sh(["/usr/bin/python3", os.path.join(h.DESKTOP_DIR, "wayland_token.py")],
                    check=True).strip()

    @staticmethod
    def focused(pid, title):
        """Whether the compositor's keyboard focus is on that window."""
        tree = json.loads(h.sh(["swaymsg", "-r", "-t", "get_tree"]) or "{}")
        stack = [tree]
        while stack:
            node = stack.pop()
            if node.get("pid") == pid and node.get("name") == title:
                return bool(node.get("focused"))
            stack += node.get("nodes", []) + node.get("floating_nodes", [])
        return False

    def screenshot(self, path, rect=None):
        geometry = ["-g", "{},{} {}x{}".format(*rect)] if rect else []
        h.sh(["grim", *geometry, path], check=True)
        print(f"      screenshot {path}", flush=True)

    @staticmethod
    def panel():
        """(x, y, width, height) of waybar's bar."""
        return 0, 0, 1024, int(os.environ.get("LW_WAYLAND_PANEL_HEIGHT", "28"))


class X11:
    """Windows and screenshots on the X11 lab (xdotool, ImageMagick)."""

    name = "x11"
    platform = "xcb"

    @staticmethod
    def ids(pid, title):
        return h.sh(["xdotool", "search", "--all", "--pid", str(pid), "--name",
                     f"^{title}$"]).split()

    def shown(self, pid, title="Line Watchman"):
        return any(h.window_viewable(w) and not h.window_hidden_state(w)
                   for w in self.ids(pid, title))

    def report(self, pid, title):
        return " / ".join(h.window_report(w) for w in self.ids(pid, title))

    @staticmethod
    def launch_token():
        """X11 window managers let a program raise itself: no token."""
        return ""

    def focused(self, pid, title):
        active = h.sh(["xdotool", "getactivewindow"]).strip()
        return active in self.ids(pid, title)

    def rect(self, pid, title):
        ids = [w for w in self.ids(pid, title) if h.window_viewable(w)]
        return h.window_geometry(ids[0]) if ids else None

    def screenshot(self, path, rect=None):
        command = ["import", "-window", "root"]
        if rect:
            command += ["-crop", "{2}x{3}+{0}+{1}".format(*rect), "+repage"]
        h.sh(command + [path], check=True)
        print(f"      screenshot {path}", flush=True)

    @staticmethod
    def panel():
        """The StatusNotifier host's bar along the top of the screen."""
        return 0, 0, 1024, 32


def tray_shot(desktop, artifacts, name):
    """A screenshot of the panel: its (green, warm) pixels."""
    path = h.artifact(artifacts, name)
    desktop.screenshot(path, desktop.panel())
    return sni.image_colours(path)


def press(access, role, name):
    """Presses the first button of that role and name in the program."""
    found = h.wait_for(lambda: access.find(role, name))
    if not found:
        return False
    actions = found[0].queryAction()
    names = [actions.getName(i) for i in range(actions.nActions)]
    actions.doAction(names.index("Press") if "Press" in names else 0)
    return True


def run(desktop, binary, artifacts, checks):
    work = tempfile.mkdtemp(prefix="lwsni.")
    new_ac_sound = os.path.join(work, "newac.wav")
    h.write_sine_wav(new_ac_sound, frequency=440, seconds=x11.SOUND_S)
    program = x11.tray_program(binary, new_ac_sound)
    program.environment = lambda accessible=True: dict(
        h.Linewatch.environment(accessible), QT_QPA_PLATFORM=desktop.platform)
    recorder = h.Recorder(os.path.join(work, "sink.raw"))
    (one_mac, one_name), (two_mac, two_name) = x11.lab_acs()
    prefix = desktop.name
    try:
        recorder.start()
        notices = h.Notices()
        h.net_lab("ac-stop", "2")
        pid = program.start()
        access = h.Accessible(pid)
        checks.require(h.wait_for(lambda: desktop.shown(pid)), "the monitor window appears",
                       program.program_output())
        checks.require(h.wait_for(access.frame) is not None,
                       "the window is on the accessibility bus")
        checks.check(h.wait_for(lambda: (one_mac, one_name) in x11.listed(access)),
                     "the AC list shows the concentrator", str(access.table_rows()))

        # The item: registered by this process, green while an AC answers,
        # in the panel too.
        item = h.wait_for(lambda: sni.item_of(pid))
        checks.require(item is not None, "the tray icon is registered as a StatusNotifierItem",
                       h.sh(["dbus-send", "--session", "--print-reply",
                             "--dest=org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                             "org.freedesktop.DBus.Properties.Get",
                             "string:org.kde.StatusNotifierWatcher",
                             "string:RegisteredStatusNotifierItems"]))
        print(f"      item {item.service}{item.path}, menu {item.menu_path()}", flush=True)
        checks.check(h.wait_for(lambda: sni.is_colour(item.pixmap_colours() or (0, 0), "green")),
                     "the item's icon is green", str(item.pixmap_colours()))
        shot = h.wait_for(lambda: sni.is_colour(
            tray_shot(desktop, artifacts, f"{prefix}-tray.png"), "green"))
        checks.check(shot, "the panel shows the green icon",
                     str(sni.image_colours(h.artifact(artifacts, f"{prefix}-tray.png"))))
        notices.expect(checks, "AC NEW at start reaches dunst once",
                       [f"AC NEW:|{one_mac} {one_name}|NORMAL"])

        # A later concentrator: a notice and the looping sound; Activate
        # stops the sound and hides the window, and shows it again.
        started = recorder.seconds()
        h.net_lab("ac-start", "2")
        notices.expect(checks, "AC NEW of a later concentrator reaches dunst once",
                       [f"AC NEW:|{two_mac} {two_name}|NORMAL"], settle_s=0.5)
        x11.check_sound(checks, recorder, started, "the new-AC sound", 440, loops=True)
        item.activate()
        checks.check(h.wait_for(lambda: not desktop.shown(pid)), "Activate hides the window")
        x11.check_silence_after(checks, recorder, "Activate stops the sound")
        item.activate()
        checks.check(h.wait_for(lambda: desktop.shown(pid)), "Activate shows the window again")
        checks.check(h.wait_for(lambda: {(one_mac, one_name), (two_mac, two_name)}
                                <= x11.listed(access)),
                     "the AC list shows both concentrators", str(access.table_rows()))
        time.sleep(1)
        desktop.screenshot(h.artifact(artifacts, f"{prefix}-monitor.png"),
                           desktop.rect(pid, "Line Watchman"))

        # Every concentrator down: the icon turns orange.
        h.net_lab("ac-stop", "1")
        h.net_lab("ac-stop", "2")
        checks.check(h.wait_for(lambda: sni.is_colour(item.pixmap_colours() or (0, 0), "warm")),
                     "with every concentrator down the item's icon turns orange",
                     str(item.pixmap_colours()))
        shot = h.wait_for(lambda: sni.is_colour(
            tray_shot(desktop, artifacts, f"{prefix}-tray-alarm.png"), "warm"))
        checks.check(shot, "the panel shows the orange icon",
                     str(sni.image_colours(h.artifact(artifacts, f"{prefix}-tray-alarm.png"))))
        # Both go down in the same probe cycle; the second notice may replace
        # the first on the screen, so they are not counted here.
        notices.skip()

        # The menu, exported over D-Bus.
        labels = [label.replace("\u2026", "...") for _, label in item.menu_entries()]

        def click(index):
            """Clicks the menu entry at index (by its expected label when the
            menu has fewer entries)."""
            item.click(labels[index] if len(labels) > index else MENU[index])

        checks.check(labels == MENU, "the item's menu holds Restore, Change settings..., "
                     "About, Exit", str(labels))
        item.activate()
        checks.require(h.wait_for(lambda: not desktop.shown(pid)), "Activate hides the window")
        click(0)
        checks.check(h.wait_for(lambda: desktop.shown(pid)), "Restore shows the window")
        def open_and_close(index, title, button, opens, window):
            """Opens the window titled title from the menu entry at index and
            closes it with its button; opens and window word the checks."""
            click(index)
            checks.check(h.wait_for(lambda: desktop.shown(pid, title)), opens)
            checks.check(press(access, pyatspi.ROLE_PUSH_BUTTON, button),
                         f"{window}'s {button} is pressed")
            checks.check(h.wait_for(lambda: not desktop.shown(pid, title)),
                         f"{window} closes with {button}", desktop.report(pid, title))

        open_and_close(1, "Options", "Cancel", "Change settings... opens the options window",
                       "the options window")
        open_and_close(2, "About Line Watchman", "OK", "About opens the About box",
                       "the About box")

        # With another of its windows in front, a second start brings the
        # monitor window to the front. On Wayland only the compositor gives
        # the focus, for an activation token: the launcher's, which the
        # second start hands to the running program.
        click(1)
        checks.check(h.wait_for(lambda: desktop.focused(pid, "Options")),
                     "the options window has the focus", desktop.report(pid, "Options"))
        token = desktop.launch_token()
        os.environ["XDG_ACTIVATION_TOKEN"] = token
        try:
            status, _ = program.start_again(hang_guard=10.0)
        finally:
            del os.environ["XDG_ACTIVATION_TOKEN"]
        checks.check(status == 0 and h.wait_for(lambda: desktop.focused(pid, "Line Watchman")),
                     "a second start gives the monitor window the focus",
                     f"status {status}; " + desktop.report(pid, "Line Watchman"))
        press(access, pyatspi.ROLE_PUSH_BUTTON, "Cancel")
        h.wait_for(lambda: not desktop.shown(pid, "Options"))

        # Hidden in the tray, a second start brings the window back.
        item.activate()
        checks.check(h.wait_for(lambda: not desktop.shown(pid)), "Activate hides the window")
        status, seconds = program.start_again(hang_guard=10.0)
        print(f"      second start returned after {seconds:.3f} s with status {status}",
              flush=True)
        checks.check(status == 0, "a second start ends with status 0", str(status))
        checks.check(h.wait_for(lambda: desktop.shown(pid)),
                     "a second start brings the window back")
        checks.check(program.running(), "the first instance still runs")

        # Exit from the menu ends the program.
        click(3)
        try:
            program.process.wait(timeout=h.HANG_GUARD_S)
        except Exception:  # still running: the check below fails
            pass
        checks.check(program.process.poll() == 0, "Exit ends the program with status 0",
                     str(program.process.poll()))
    finally:
        recorder.stop()
        program.stop()
        with open(os.path.join(program.work, "linewatch.out"), errors="replace") as out:
            print(out.read()[-2000:], end="", flush=True)
        program.cleanup()
        shutil.rmtree(work, ignore_errors=True)


SCENARIOS = {"wayland": Sway(), "x11": X11()}


def main():
    return h.scenario_main(__doc__, SCENARIOS, run)


if __name__ == "__main__":
    sys.exit(main())
