"""End-to-end scenarios of the monitor window's commands, driven over the
accessibility bus as a screen reader user would, with xdotool where a mouse
or a keyboard is the user's only way:

- "options": Options > Settings opens the options window; every page is
  shown; a new probe interval and a new log folder take effect on OK (the
  probes on the wire and the general log file are checked, not the window).
- "connections": a right click on a concentrator creates a dial-up entry
  for it in the peers folder (a private folder bind-mounted over the
  machine's one, in a mount namespace of the program's own); the menu bar's
  "Connection" menu then lists it.

Run through linewatch_e2e.sh, which dispatches these names here.
"""
import grp
import os
import shlex
import stat
import tempfile
import time

import pyatspi

import e2e_harness as h

PEERS_FOLDER = "/etc/ppp/peers"


# --- the labs and the window ---------------------------------------------------

def lab_acs():
    """(MAC text as the program shows it, AC-Name) of the two concentrators."""
    return [(os.environ[f"LW_LAB_AC{n}_MAC"].upper(), os.environ[f"LW_LAB_AC{n}_NAME"])
            for n in (1, 2)]


def listed(access):
    return {(row.get("MAC Address"), row.get("AC Name")) for row in access.table_rows()}


def centre(accessible):
    extents = accessible.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    return extents.x + extents.width // 2, extents.y + extents.height // 2


def click(accessible, button=1):
    """Clicks the middle of the control where it is on the screen."""
    h.click_at(*centre(accessible), button=button)


def showing(accessible):
    try:
        return accessible.getState().contains(pyatspi.STATE_SHOWING)
    except Exception:  # gone meanwhile
        return False


def descendants(root, role=None, name=None):
    return list(pyatspi.findAllDescendants(
        root, lambda a: (role is None or a.getRole() == role)
        and (name is None or a.name == name)))


def do_action(accessible, *names):
    """Runs the accessible's action of one of the names (the first one that
    it offers); returns the name run, or None when it offers none of them."""
    actions = accessible.queryAction()
    offered = [actions.getName(i) for i in range(actions.nActions)]
    for name in names:
        if name in offered:
            actions.doAction(offered.index(name))
            return name
    print(f"      {accessible.getRoleName()} '{accessible.name}' offers actions {offered}",
          flush=True)
    return None


def menu_bar_item(access, name):
    """The menu bar's item of that name in the monitor window."""
    frame = access.frame()
    if frame is None:
        return None
    for bar in descendants(frame, pyatspi.ROLE_MENU_BAR):
        for item in descendants(bar, name=name):
            if item.getRole() in (pyatspi.ROLE_MENU, pyatspi.ROLE_MENU_ITEM):
                return item
    return None


def open_menu_bar_menu(checks, access, name):
    """Opens a menu of the menu bar with its accessible action; returns the
    items it shows (the menu stays open)."""
    item = h.wait_for(lambda: menu_bar_item(access, name))
    checks.require(item is not None, f"the menu bar has \"{name}\" on the accessibility bus")
    checks.require(do_action(item, "ShowMenu", "Toggle", "Press", "click") is not None,
                   f"\"{name}\" can be opened through its accessible action")
    return h.wait_for(lambda: showing_menu_items(access))


def showing_menu_items(access):
    """The items of the menus of the menu bar that are open now, in order."""
    items = []
    for menu in access.find(pyatspi.ROLE_MENU) + access.find(pyatspi.ROLE_POPUP_MENU):
        if not showing(menu):
            continue
        for index in range(menu.childCount):
            child = menu.getChildAtIndex(index)
            if child is not None and child.getRole() in (
                    pyatspi.ROLE_MENU_ITEM, pyatspi.ROLE_SEPARATOR, pyatspi.ROLE_MENU,
                    pyatspi.ROLE_CHECK_MENU_ITEM):
                items.append(child)
    return [item for item in items if showing(item)]


class EventWatch:
    """Listens on the accessibility bus as a screen reader does. A popup menu
    is no child of any window in the tree: it is known from its events."""

    def __init__(self, pid, *kinds):
        # Imported here: only the scenarios that listen need the main loop.
        from gi.repository import GLib
        self.context = GLib.MainContext.default()
        self.pid = pid
        self.kinds = kinds
        self.events = []
        pyatspi.Registry.registerEventListener(self.on_event, *self.kinds)

    def on_event(self, event):
        try:
            if event.source is not None and event.source.get_process_id() == self.pid:
                self.events.append((event.type, event.source))
        except Exception:  # a source that just went away
            pass

    def pump(self):
        while self.context.iteration(False):
            pass
        return self.events

    def close(self):
        pyatspi.Registry.deregisterEventListener(self.on_event, *self.kinds)

    def popup_menu(self):
        """The popup menu that has come on the screen, or None."""
        for kind, source in self.pump():
            if kind == "object:state-changed:showing" and \
                    source.getRole() == pyatspi.ROLE_POPUP_MENU and showing(source):
                return source
        return None


def menu_items(menu):
    """The items of a menu, in order (separators included)."""
    children = (menu.getChildAtIndex(i) for i in range(menu.childCount))
    return [child for child in children if child is not None]


def text_of(accessible):
    text = accessible.queryText()
    return text.getText(0, text.characterCount)


def require_found(checks, value, what, detail):
    """A required check whose detail (a call, for example a dump of the
    accessible tree) is only worked out when the check fails."""
    checks.require(bool(value), what, "" if value else detail())
    return value


def shown_control(checks, window, role, name, what):
    """The showing control of the role named name in window; a required
    check, with the window's accessible tree as detail when it is missing."""
    found = h.wait_for(lambda: [c for c in descendants(window, role, name) if showing(c)])
    require_found(checks, found, f"{what} \"{name}\"", lambda: "\n".join(dump(window)))
    return found[0]


def dump(root, depth=0, limit=6):
    """The accessible tree below root, one line per node (for failures)."""
    lines = []
    try:
        lines.append("  " * depth + f"{root.getRoleName()} '{root.name}'")
        if depth < limit:
            for index in range(root.childCount):
                lines += dump(root.getChildAtIndex(index), depth + 1, limit)
    except Exception as error:  # gone meanwhile
        lines.append("  " * depth + f"({error})")
    return lines


# --- probes on the wire ------------------------------------------------------------

def probe_times(capture, source_mac):
    """The times (epoch seconds) of the PADIs the MAC sent, from a capture."""
    out = h.sh(["tshark", "-r", capture, "-Y", f"pppoe.code == 0x09 && eth.src == {source_mac}",
                "-T", "fields", "-e", "frame.time_epoch"], check=True, timeout=60)
    return [float(line) for line in out.split()]


def mean_spacing(times):
    gaps = [b - a for a, b in zip(times, times[1:])]
    return sum(gaps) / len(gaps) if gaps else None


def monitor_mac():
    path = f"/sys/class/net/{os.environ['LW_LAB_MON_IF']}/address"
    return h.sh(["ip", "netns", "exec", os.environ["LW_LAB_MON_NS"], "cat", path],
                check=True).strip().lower()


def line_count(path):
    try:
        with open(path, errors="replace") as f:
            return sum(1 for _ in f)
    except FileNotFoundError:
        return 0


def read(path):
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


# --- scenario "options" ------------------------------------------------------------

OLD_INTERVAL_S = 1
NEW_INTERVAL_S = 3
# Probes counted on each side of the change.
PROBES_PER_SIDE = 5


def page_file_name(page):
    return "options-" + "-".join(page.lower().split()) + ".png"


def scenario_options(binary, artifacts, checks):
    # The general log starts off: the options switch it on together with
    # the new folder, so that monitor.log is opened there. (A folder change
    # applies to log files opened afterwards; open ones stay where they are.)
    program = h.Linewatch(binary, {
        "MonPADISendInterval": OLD_INTERVAL_S,
        "LogGenWriteToFile": 0,
        "LogACWriteToFile": 1,
    })
    new_logs = tempfile.mkdtemp(prefix="lwe2e-newlogs.")
    capture = os.path.join(program.work, "probes.pcapng")
    (one_mac, one_name), (two_mac, two_name) = lab_acs()
    one_log, two_log = (mac.lower().replace(":", "-") + ".log" for mac in (one_mac, two_mac))
    capturing = False
    try:
        # The second concentrator appears only after the change, so that the
        # new log folder has something to tell.
        h.net_lab("ac-stop", "2")
        h.net_lab("capture-start", capture)
        capturing = True
        started_at = time.time()
        pid, access, window = h.start_window(program, checks)
        checks.check(h.wait_for(lambda: os.path.exists(os.path.join(program.log_dir, one_log))),
                     f"the AC log of {one_name} is opened in the old folder")

        # Enough probes on the old schedule first.
        mac = monitor_mac()
        h.wait_for(lambda: len(probe_times(capture, mac)) >= PROBES_PER_SIDE + 1,
                   timeout=(PROBES_PER_SIDE + 4) * OLD_INTERVAL_S + h.HANG_GUARD_S, step=0.5)

        # Options > Settings, through the accessible actions of the menus.
        items = open_menu_bar_menu(checks, access, "Options")
        settings = [item for item in items if item.name == "Settings"]
        checks.require(bool(settings), "the Options menu shows Settings",
                       str([item.name for item in items]))
        do_action(settings[0], "Press", "Toggle", "click")
        options = h.wait_for(lambda: access.frame("Options"))
        require_found(checks, options is not None, "Settings opens the options window",
                      lambda: "\n".join(dump(access.application(), limit=3)))
        options_window = h.wait_for(
            lambda: (h.sh(["xdotool", "search", "--name", "^Options$"]).split() or [None])[0])

        # Every page, chosen in the tree with a click as a user does.
        tree = h.wait_for(lambda: descendants(options, pyatspi.ROLE_TREE)
                          or descendants(options, pyatspi.ROLE_TREE_TABLE))
        require_found(checks, tree, "the options window has its page tree on the bus",
                      lambda: "\n".join(dump(options)))
        tree_items = [item for item in descendants(tree[0])
                      if item.getRole() in (pyatspi.ROLE_TREE_ITEM, pyatspi.ROLE_TABLE_CELL,
                                            pyatspi.ROLE_LIST_ITEM) and item.name]
        groups = {"General", "Interface", "Behaviour"}
        pages = [item.name for item in tree_items if item.name not in groups]
        checks.check(set(pages) >= {"Monitor", "Logs"} and len(pages) >= 4,
                     "the tree lists the pages", str(pages))

        def show_page(page):
            click([i for i in tree_items if i.name == page][0])
            # The title band shows the page's title, which names the page.
            return h.wait_for(lambda: [label for label in descendants(
                options, pyatspi.ROLE_LABEL) if showing(label) and label.name
                and page.lower() in label.name.lower()], timeout=5)

        for page in pages:
            checks.check(bool(show_page(page)), f"the page \"{page}\" shows with its title")
            h.screenshot(h.artifact(artifacts, page_file_name(page)), options_window or "root")

        # Monitor page: the PADI interval, typed into its spin box.
        show_page("Monitor")
        spin = shown_control(checks, options, pyatspi.ROLE_SPIN_BUTTON,
                             "PADI send interval, sec:", "the Monitor page has the spin box")
        checks.check(text_of(spin) == str(OLD_INTERVAL_S), "the interval shows the stored value",
                     repr(text_of(spin)))
        # As a screen reader does: the value read and set through the
        # accessible Value interface.
        value = spin.queryValue()
        checks.check(value.currentValue == OLD_INTERVAL_S,
                     "the spin box's accessible value is the one it shows",
                     str(value.currentValue))
        value.currentValue = NEW_INTERVAL_S
        checks.check(h.wait_for(lambda: text_of(spin) == str(NEW_INTERVAL_S), timeout=5),
                     "the interval shows the value set", repr(text_of(spin)))

        # Logs page: the general log switched on, and the log folder set as
        # dictation and screen readers set text, through the edit's
        # accessible text interface, with no key pressed.
        show_page("Logs")
        general = shown_control(checks, options, pyatspi.ROLE_CHECK_BOX,
                                "Write general log to file (monitor.log)",
                                "the Logs page has the check box")
        checks.check(not general.getState().contains(pyatspi.STATE_CHECKED),
                     "the general log shows as off")
        # The check box's own accessible action, as a screen reader toggles it.
        actions = general.queryAction()
        toggle = [i for i in range(actions.nActions)
                  if actions.getName(i).lower() in ("toggle", "press", "click")]
        require_found(checks, toggle, "the check box offers a toggle action",
                      lambda: str([actions.getName(i) for i in range(actions.nActions)]))
        actions.doAction(toggle[0])
        checks.check(h.wait_for(lambda: general.getState().contains(pyatspi.STATE_CHECKED),
                                timeout=5), "its toggle action checks it")
        folder = shown_control(checks, options, pyatspi.ROLE_TEXT, "Log files directory",
                               "the Logs page has the edit")
        checks.check(text_of(folder) == program.log_dir, "the edit shows the stored folder",
                     text_of(folder))
        folder.queryEditableText().setTextContents(new_logs)
        checks.check(h.wait_for(lambda: text_of(folder) == new_logs, timeout=5),
                     "the edit shows the new folder", text_of(folder))
        h.screenshot(h.artifact(artifacts, "options-logs-changed.png"), options_window or "root")

        # OK, through its accessible action.
        ok = [b for b in descendants(options, pyatspi.ROLE_PUSH_BUTTON, "OK") if showing(b)]
        checks.require(bool(ok), "the options window has OK on the bus")
        changed_at = time.time()
        do_action(ok[0], "Press", "click")
        checks.check(h.wait_for(lambda: access.frame("Options") is None),
                     "OK closes the options window")

        # The new folder: monitor.log is opened there; it, and a new AC log
        # there, tell of the second concentrator, which comes up now. The
        # AC log that was open stays in the old folder.
        new_log = os.path.join(new_logs, "monitor.log")
        checks.check(h.wait_for(lambda: os.path.exists(new_log)),
                     "monitor.log appears in the new folder", str(os.listdir(new_logs)))
        lines_before = line_count(new_log)
        h.net_lab("ac-start", "2")
        checks.check(h.wait_for(lambda: f"AC: NEW:  {two_mac} {two_name}" in read(new_log)),
                     "monitor.log in the new folder tells of the concentrator that came up",
                     read(new_log))
        checks.check(line_count(new_log) > lines_before, "monitor.log in the new folder "
                     "gains lines", f"{lines_before} -> {line_count(new_log)}")
        checks.check(h.wait_for(lambda: os.path.exists(os.path.join(new_logs, two_log))),
                     f"the AC log of {two_name} is opened in the new folder")
        old = sorted(os.listdir(program.log_dir))
        checks.check(old == [one_log], "the old folder keeps only the AC log that was open",
                     str(old))

        # The probes on the wire: enough of them after the change, then the
        # spacing on each side of it.
        h.wait_for(lambda: len([t for t in probe_times(capture, mac) if t > changed_at])
                   >= PROBES_PER_SIDE + 2, timeout=(PROBES_PER_SIDE + 4) * NEW_INTERVAL_S,
                   step=1.0)
        h.net_lab("capture-stop")
        capturing = False
        times = probe_times(capture, mac)
        before = [t for t in times if t < changed_at]
        # The first probe after OK may still be on the old schedule.
        after = [t for t in times if t > changed_at][1:]
        old, new = mean_spacing(before[-PROBES_PER_SIDE:]), mean_spacing(after)
        print("      PADIs at " + " ".join(f"{t - changed_at:+.2f}" for t in times)
              + f" s from OK; started {started_at - changed_at:+.2f} s", flush=True)
        print(f"      PADIs: {len(before)} before OK, mean spacing {old} s; "
              f"{len(after)} after, mean spacing {new} s", flush=True)
        checks.check(old is not None and len(before) >= PROBES_PER_SIDE
                     and abs(old - OLD_INTERVAL_S) <= 0.4 * OLD_INTERVAL_S,
                     f"before OK the program probes every {OLD_INTERVAL_S} s",
                     f"{old} over {len(before)} probes")
        checks.check(new is not None and len(after) >= PROBES_PER_SIDE
                     and abs(new - NEW_INTERVAL_S) <= 0.4 * NEW_INTERVAL_S,
                     f"after OK the program probes every {NEW_INTERVAL_S} s",
                     f"{new} over {len(after)} probes")
        ini = read(os.path.join(program.program_dir, "linewatch.ini"))
        checks.check(f"MonPADISendInterval={NEW_INTERVAL_S}" in ini
                     and f"LogDirectory={new_logs}" in ini and "LogGenWriteToFile=1" in ini,
                     "the settings file keeps the changes", ini)
    finally:
        if capturing:
            h.net_lab("capture-stop")
        program.stop_and_check(checks)
        program.cleanup()
        h.shutil.rmtree(new_logs, ignore_errors=True)


# --- scenario "connections" --------------------------------------------------------

def dip_group():
    """The id of the group that may read and dial the entries (root's when
    the machine has no dip group)."""
    try:
        return grp.getgrnam("dip").gr_gid
    except KeyError:
        return 0


class PrivatePeersLinewatch(h.Linewatch):
    """The program in a mount namespace of its own, where a private folder
    stands in for the machine's peers folder, with the administrator's
    helper started through a launcher that counts its starts."""

    def __init__(self, binary, settings, helper):
        super().__init__(binary, settings)
        self.peers = os.path.join(self.work, "peers")
        os.makedirs(self.peers)
        # As the ppp package has it: root:dip, group-readable.
        os.chown(self.peers, 0, dip_group())
        os.chmod(self.peers, 0o2750)
        self.bind_source, self.bind_target = self.peers, PEERS_FOLDER
        if not os.path.isdir(PEERS_FOLDER):
            # No peers folder on this machine: a private /etc/ppp with one
            # in it, so that the machine's file system is left as it is.
            h.sh(["cp", "-a", "/etc/ppp", os.path.join(self.work, "etc-ppp")], check=True)
            os.rename(self.peers, os.path.join(self.work, "etc-ppp", "peers"))
            self.peers = os.path.join(self.work, "etc-ppp", "peers")
            self.bind_source, self.bind_target = os.path.join(self.work, "etc-ppp"), "/etc/ppp"
        self.launches = os.path.join(self.work, "launches")
        self.launcher = os.path.join(self.work, "elevate.sh")
        with open(self.launcher, "w") as script:
            # pkexec's place: one start is one consent prompt; the built
            # helper serves instead of the installed path it is given.
            script.write("#!/bin/sh\n"
                         f"echo \"$*\" >> '{self.launches}'\n"
                         "shift\n"
                         f"exec '{helper}' \"$@\"\n")
        os.chmod(self.launcher, 0o755)

    def command(self):
        mount = 'mount --bind "$0" "$1" && shift && exec "$@"'
        return ["unshare", "--mount", "--propagation", "private", "sh", "-c", mount,
                self.bind_source, self.bind_target] + super().command()

    def environment(self, accessible=True):
        env = h.Linewatch.environment(accessible)
        env["LW_ELEVATE_COMMAND"] = self.launcher
        return env

    def launch_count(self):
        return line_count(self.launches)


def table_row_of(access, ac_name):
    for index, row in enumerate(access.table_rows()):
        if row.get("AC Name") == ac_name:
            return index
    return None


def select_row(checks, access, row):
    cell = access.table().queryTable().getAccessibleAt(row, 2)
    click(cell)
    checks.check(h.wait_for(lambda: access.table().queryTable().isRowSelected(row)),
                 f"a click selects row {row}")
    return cell


def connection_menu(checks, access):
    """Opens the menu bar's Connection menu: (item names, the header item or
    None)."""
    items = [item for item in open_menu_bar_menu(checks, access, "Connection")
             if item.getRole() != pyatspi.ROLE_SEPARATOR]
    headers = [item for item in items if item.name == "Available connections:"]
    return [item.name for item in items], headers[0] if headers else None


def close_menus():
    h.sh(["xdotool", "key", "Escape"], check=True)


ENTRY_NAME = "LabOne-e2e"


def scenario_connections(binary, artifacts, checks):
    helper = os.environ.get("LW_E2E_ELEVATED_HELPER", "")
    checks.require(os.access(helper, os.X_OK),
                   "the built administrator's helper is given (LW_E2E_ELEVATED_HELPER)", helper)
    program = PrivatePeersLinewatch(binary, {"MonPADISendInterval": 1}, helper)
    (one_mac, one_name), (two_mac, two_name) = lab_acs()
    machine_peers = sorted(os.listdir(PEERS_FOLDER)) if os.path.isdir(PEERS_FOLDER) else None
    try:
        pid, access, window = h.start_window(program, checks)
        expected = {(one_mac, one_name), (two_mac, two_name)}
        checks.require(h.wait_for(lambda: expected <= listed(access)),
                       "the AC list shows both concentrators", str(access.table_rows()))

        # A right click on LabAC-One's row: the connection menu at the mouse.
        row = table_row_of(access, one_name)
        cell = select_row(checks, access, row)
        watch = EventWatch(pid, "object:state-changed:showing")
        try:
            click(cell, button=3)
            popup = h.wait_for(watch.popup_menu)
        finally:
            watch.close()
        require_found(checks, popup, "a right click on the row opens a popup menu on the bus",
                      lambda: "\n".join(dump(access.application(), limit=3)))
        items = menu_items(popup)
        names = [item.name for item in items if item.getRole() != pyatspi.ROLE_SEPARATOR]
        checks.check(names == ["Create new connection", "Remove"],
                     "the right-click menu offers Create new connection and Remove "
                     "(no entries yet)", str(names))
        create = [item for item in items if item.name == "Create new connection"]
        checks.require(bool(create), "the right-click menu has Create new connection")
        click(create[0])

        # The name dialog: the concentrator's name is suggested; a new name
        # is typed over it.
        dialog = h.wait_for(lambda: [d for d in access.find(pyatspi.ROLE_DIALOG, "Connection name")
                                     + access.find(pyatspi.ROLE_FRAME, "Connection name")
                                     if showing(d)])
        require_found(checks, dialog, "\"Create new connection\" opens the \"Connection name\" "
                      "dialog", lambda: "\n".join(dump(access.application(), limit=3)))
        dialog = dialog[0]
        edits = [e for e in descendants(dialog, pyatspi.ROLE_TEXT) if showing(e)]
        require_found(checks, len(edits) == 1, "the dialog has one edit",
                      lambda: "\n".join(dump(dialog)))
        edit = edits[0]
        checks.check(edit.name == "Enter a name for the new connection:",
                     "the name edit is named by its prompt", repr(edit.name))
        checks.check(text_of(edit) == one_name, "the dialog suggests the concentrator's name",
                     text_of(edit))
        checks.check(program.launch_count() == 0, "nothing is written before OK")
        edit.queryComponent().grabFocus()
        h.sh(["xdotool", "key", "--clearmodifiers", "ctrl+a"], check=True)
        h.sh(["xdotool", "type", "--delay", "20", ENTRY_NAME], check=True)
        checks.check(h.wait_for(lambda: text_of(edit) == ENTRY_NAME, timeout=5),
                     "the edit shows the typed name", text_of(edit))
        ok = [b for b in descendants(dialog, pyatspi.ROLE_PUSH_BUTTON, "OK") if showing(b)]
        checks.require(bool(ok), "the dialog has OK on the bus")
        do_action(ok[0], "Press", "click")
        checks.check(h.wait_for(lambda: not [d for d in access.find(pyatspi.ROLE_DIALOG,
                                                                    "Connection name")
                                             if showing(d)]),
                     "OK closes the dialog")

        # The entry, in the private peers folder.
        entry = os.path.join(program.peers, ENTRY_NAME)
        checks.check(h.wait_for(lambda: os.path.exists(entry)),
                     f"the peers entry {ENTRY_NAME} is written", str(os.listdir(program.peers)))
        text = read(entry)
        print(text, end="", flush=True)
        # pppd reads quoted words as the shell does.
        words = shlex.split(text, comments=True)
        checks.check("pppoe-ac" in words and words[words.index("pppoe-ac") + 1] == one_name,
                     f"the entry is aimed at {one_name}")
        checks.check(f"nic-{os.environ['LW_LAB_MON_IF']}" in words,
                     "the entry dials on the monitored adapter")
        checks.check(any(w in ("rp-pppoe.so", "pppoe.so") for w in words),
                     "the entry loads the PPPoE plugin")
        info = os.stat(entry) if os.path.exists(entry) else None
        checks.check(info is not None and stat.S_IMODE(info.st_mode) == 0o640,
                     "the entry has mode 0640", oct(stat.S_IMODE(info.st_mode)) if info else "")
        checks.check(info is not None and (info.st_uid, info.st_gid) == (0, dip_group()),
                     "the entry belongs to root and the dip group",
                     f"{info.st_uid}:{info.st_gid}" if info else "")
        launches = program.launch_count()
        if os.geteuid() == 0:
            # A program that runs as root writes the entry itself.
            checks.check(launches == 0, "as root, no consent prompt is needed",
                         f"{launches} launch(es): {read(program.launches).strip()}")
        else:
            checks.check(launches == 1, "one consent prompt writes the entry",
                         f"{launches} launch(es): {read(program.launches).strip()}")
        others = [n for n in os.listdir(program.peers) if n != ENTRY_NAME]
        checks.check(not others, "nothing else is left in the peers folder", str(others))

        # The menu bar's Connection menu lists the entry of the selected
        # concentrator after its own first item.
        checks.check(access.table().queryTable().isRowSelected(row),
                     f"{one_name} stays selected")
        names, header = connection_menu(checks, access)
        checks.check(names == ["Create new connection", "Available connections:", ENTRY_NAME],
                     "the Connection menu lists the new entry under its header", str(names))
        checks.check(header is not None
                     and not header.getState().contains(pyatspi.STATE_ENABLED),
                     "the header is grayed")
        h.screenshot(h.artifact(artifacts, "connections.png"))
        close_menus()
        h.wait_for(lambda: not showing_menu_items(access), timeout=5)

        # The other concentrator has no entry: its menu has the first item only.
        select_row(checks, access, table_row_of(access, two_name))
        names, _ = connection_menu(checks, access)
        checks.check(names == ["Create new connection"],
                     f"for {two_name} the Connection menu has no entries", str(names))
        close_menus()
    finally:
        program.stop_and_check(checks)
        if machine_peers is not None:
            checks.check(sorted(os.listdir(PEERS_FOLDER)) == machine_peers,
                         "the machine's peers folder is untouched")
        program.cleanup()


SCENARIOS = {"options": scenario_options, "connections": scenario_connections}
