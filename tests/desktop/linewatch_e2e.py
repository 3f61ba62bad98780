#!/usr/bin/python3
"""End-to-end scenarios of the desktop program `linewatch` on a real desktop
(the desktop lab) against real access concentrators (the network lab). Run
through linewatch_e2e.sh, which builds both labs around it:

    linewatch_e2e.py SCENARIO LINEWATCH ARTIFACTS_DIR

SCENARIO is "monitor" (the window lists the concentrators; a second start
brings the minimised window back), "tray" (the tray icon, notifications,
sounds) or "alarm" (a looping sound stops when the sound options are switched
off). Exit status 0 when every check held.
"""
import os
import re
import shutil
import sys
import tempfile
import time

import pyatspi

import e2e_harness as h


def lab_acs():
    """(MAC text as the program shows it, AC-Name) of the two concentrators."""
    return [(os.environ[f"LW_LAB_AC{n}_MAC"].upper(), os.environ[f"LW_LAB_AC{n}_NAME"])
            for n in (1, 2)]


def listed(access):
    return {(row.get("MAC Address"), row.get("AC Name")) for row in access.table_rows()}


def click_cell(access, row, column):
    """Clicks the middle of a table cell where it is on the screen."""
    cell = access.table().queryTable().getAccessibleAt(row, column)
    extents = cell.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    h.click_at(extents.x + extents.width // 2, extents.y + extents.height // 2)


def scenario_monitor(binary, artifacts, checks):
    program = h.Linewatch(binary, {
        "MonPADISendInterval": 1,
        "LogGenWriteToFile": 1,
        "LogACWriteToFile": 1,
    })
    try:
        pid, access, window = h.start_window(program, checks)

        # Both real concentrators, in the window and in the general log.
        expected = set(lab_acs())
        checks.check(h.wait_for(lambda: expected <= listed(access)),
                     "the AC list shows both concentrators (MAC Address, AC Name)",
                     str(access.table_rows()))
        for mac, name in sorted(expected):
            checks.check(h.wait_for(lambda: f"AC: NEW:  {mac} {name}" in program.general_log()),
                         f"monitor.log tells of {mac} {name}")
        print(program.general_log(), end="", flush=True)
        for mac, _ in sorted(expected):
            name = mac.lower().replace(":", "-") + ".log"
            checks.check(h.wait_for(lambda: os.path.exists(os.path.join(program.log_dir, name))),
                         f"the AC log {name} is written")

        # A screen reader can name the list and the log.
        table, log = access.table(), access.log_box()
        checks.require(log is not None, "the log box is on the accessibility bus")
        for what, control in (("AC list", table), ("log box", log)):
            checks.check(bool(control.name), f"the {what} has an accessible name",
                         repr(control.name))

        # A click on a row that is not selected selects it, and the graphs
        # follow it.
        data = access.table().queryTable()
        row = 1 if data.isRowSelected(0) else 0
        click_cell(access, row, 2)
        chosen = access.table_rows()[row]
        caption = f"{chosen['MAC Address']}  {chosen['AC Name']}"
        checks.check(h.wait_for(lambda: access.table().queryTable().isRowSelected(row)),
                     f"a click selects row {row}")
        checks.check(h.wait_for(lambda: access.find(pyatspi.ROLE_PANEL, caption)),
                     "the graphs show the selected concentrator", caption)
        # A few more probes, so that the graphs have something to draw.
        sent = int(chosen["Pkt send"])
        h.wait_for(lambda: int(access.table_rows()[row]["Pkt send"]) >= sent + 3)
        h.screenshot(h.artifact(artifacts, "monitor.png"), window)

        # Minimised, then a second start: it ends at once and brings the
        # first window back. Without a tray, so that minimising does not
        # hide the window in the tray (the tray scenario covers that).
        h.desktop_lab("tray-stop")
        h.sh(["xdotool", "windowminimize", "--sync", window])
        checks.check(h.wait_for(lambda: not h.window_viewable(window)),
                     "the window is minimised", h.window_report(window))
        status, seconds = program.start_again(hang_guard=10.0)
        print(f"      second start returned after {seconds:.3f} s with status {status}",
              flush=True)
        checks.check(status == 0, "a second start ends with status 0", str(status))
        checks.check(h.wait_for(lambda: h.window_viewable(window)
                                and not h.window_hidden_state(window)),
                     "the second start restores the first window", h.window_report(window))
        checks.check(program.running(), "the first instance still runs")
        windows = h.sh(["xdotool", "search", "--name", "^Line Watchman$"]).split()
        checks.check(len(windows) == 1, "one monitor window only", str(windows))
    finally:
        program.stop_and_check(checks)
        program.cleanup()


def tray_click(checks, pid, button=1):
    icon = h.tray_icon_window(pid)
    checks.require(icon is not None, "the tray icon is there to click")
    h.sh(["xdotool", "mousemove", "--window", icon, "8", "8", "click", str(button)],
         check=True)


def icon_is(icon, colour):
    """Whether the icon is mostly green, or mostly red/orange ("warm")."""
    if icon is None:
        return False
    green, warm = h.colour_pixels(icon)
    return green > 20 and warm < green / 4 if colour == "green" else warm > 20 and green < warm / 4


def shown(window):
    return h.window_viewable(window) and not h.window_hidden_state(window)


def check_sound(checks, recorder, start_s, what, frequency, loops):
    """The sound that started after start_s: loud, of the file's tone, and
    (when loops) heard for longer than the file lasts."""
    recorder.wait_until(start_s + 0.1)
    heard = h.wait_for(lambda: recorder.sounding(start_s))
    checks.check(heard is not None, f"{what} is heard", f"peak {recorder.peak(start_s):.3f}")
    if heard is None:
        return
    recorder.wait_until(heard[0] + 1.0)
    tone = recorder.frequency(heard[0])
    # The two files' tones lie a factor of three apart.
    checks.check(abs(tone - frequency) < frequency * 0.2, f"{what} is the configured file",
                 f"{tone:.0f} Hz, the file's {frequency} Hz")
    if loops:
        # Three lengths of the file: it plays again and again.
        recorder.wait_until(heard[0] + 3 * SOUND_S + 0.3)
        again = recorder.sounding(start_s)
        checks.check(again[1] - again[0] > 3 * SOUND_S, f"{what} repeats",
                     f"heard {again[1] - again[0]:.2f} s of a {SOUND_S} s file")


def check_silence_after(checks, recorder, what):
    """Nothing is heard from a moment after now on."""
    quiet_from = recorder.seconds() + 0.3
    recorder.wait_until(quiet_from + 1.5)
    checks.check(recorder.peak(quiet_from) < 0.01, what,
                 f"peak {recorder.peak(quiet_from):.3f} after {quiet_from:.1f} s")


SOUND_S = 0.3


def tray_program(binary, new_ac_sound, **settings):
    """The program as the tray scenarios set it up: a probe a second, the
    general log written, tooltips on the icon, a sound for a new AC and
    events that wait for the user; more settings as given."""
    return h.Linewatch(binary, {
        "MonPADISendInterval": 1,
        "LogGenWriteToFile": 1,
        "MonTrayShowTooltips": 1,
        "SndEvtEnabled": 1,
        "SndEvtNewACFileName": new_ac_sound,
        "MonEvtWaitUserAction": 1,
        **settings,
    })


def scenario_tray(binary, artifacts, checks):
    work = tempfile.mkdtemp(prefix="lwe2e-sounds.")
    new_ac_sound, cable_sound = os.path.join(work, "newac.wav"), os.path.join(work, "cable.wav")
    h.write_sine_wav(new_ac_sound, frequency=440, seconds=SOUND_S)
    h.write_sine_wav(cable_sound, frequency=1320, seconds=SOUND_S)
    program = tray_program(binary, new_ac_sound, SndEvtCableUnplugFileName=cable_sound)
    recorder = h.Recorder(os.path.join(work, "sink.raw"))
    (one_mac, one_name), (two_mac, two_name) = lab_acs()
    try:
        recorder.start()
        notices = h.Notices()
        # The second concentrator comes later, so that it is new with a sound.
        h.net_lab("ac-stop", "2")
        pid = program.start()
        window = h.wait_for(program.window_id)
        checks.require(window is not None, "the monitor window appears",
                       program.program_output())

        # The icon sits in the tray, green while a concentrator answers.
        icon = h.wait_for(lambda: h.tray_icon_window(pid))
        panel = h.tray_panel()
        checks.require(icon is not None, "the tray icon is embedded in trayer",
                       f"icon {icon}" if icon else
                       h.sh(["xwininfo", "-tree", "-id", panel]) if panel else "no tray")
        checks.check(h.wait_for(lambda: icon_is(icon, "green")), "the tray icon is green",
                     str(h.colour_pixels(icon)))

        # AC NEW at start: a notice, no sound.
        checks.check(h.wait_for(lambda: h.dunst_displayed() >= 1), "a notice shows")
        h.screenshot(h.artifact(artifacts, "notification.png"))
        h.screenshot(h.artifact(artifacts, "tray.png"))
        notices.expect(checks, "AC NEW at start reaches dunst once",
                       [f"AC NEW:|{one_mac} {one_name}|NORMAL"])
        checks.check(recorder.sounding(0) is None, "the concentrators of the first probe are "
                     "new without a sound", f"peak {recorder.peak(0):.3f}")

        # A concentrator heard later: AC NEW with the looping new-AC sound; a
        # click on the tray icon stops it (and hides the window, a second
        # click shows it again).
        started = recorder.seconds()
        h.net_lab("ac-start", "2")
        notices.expect(checks, "AC NEW of a later concentrator reaches dunst once",
                       [f"AC NEW:|{two_mac} {two_name}|NORMAL"], settle_s=0.5)
        check_sound(checks, recorder, started, "the new-AC sound", 440, loops=True)
        checks.check(shown(window), "the window is shown")
        tray_click(checks, pid)
        checks.check(h.wait_for(lambda: not h.window_viewable(window)),
                     "a click on the tray icon hides the window")
        check_silence_after(checks, recorder, "the click on the tray icon stops the sound")
        tray_click(checks, pid)
        checks.check(h.wait_for(lambda: shown(window)),
                     "another click on the tray icon shows the window")

        # Down and up again.
        h.net_lab("ac-stop", "2")
        notices.expect(checks, "AC DOWN reaches dunst once",
                       [f"AC DOWN:|{two_mac} {two_name}|NORMAL"])
        h.net_lab("ac-start", "2")
        notices.expect(checks, "AC UP reaches dunst once",
                       [f"AC UP:|{two_mac} {two_name}|LOW"])

        # The cable, with both concentrators down first so that its notices
        # stand alone.
        h.net_lab("ac-stop", "1")
        h.net_lab("ac-stop", "2")
        checks.check(h.wait_for(lambda: program.general_log().count("AC: DOWN:  ") == 3),
                     "both concentrators go down",
                     f"{program.general_log().count('AC: DOWN:  ')} AC DOWN lines in monitor.log")
        # Their two notices came together; the second may have replaced the
        # first on the screen, so they are not counted here.
        notices.skip()
        checks.check(h.wait_for(lambda: icon_is(h.tray_icon_window(pid), "warm")),
                     "with every concentrator down the tray icon turns orange",
                     str(h.colour_pixels(h.tray_icon_window(pid))))
        started = recorder.seconds()
        h.net_lab("cable-down")
        notices.expect(checks, "cable unplugged reaches dunst once",
                       ["WARNING:|Network cable unplugged|NORMAL"], settle_s=0.5)
        check_sound(checks, recorder, started, "the cable sound", 1320, loops=True)
        tray_click(checks, pid)
        check_silence_after(checks, recorder, "the click on the tray icon stops the cable sound")
        checks.check(h.wait_for(lambda: not h.window_viewable(window)),
                     "the click hid the window")

        # Restore from the tray menu: a right click, then its first item.
        # The menu is no child of the window on the accessibility bus, so it
        # is found as the process's other visible window.
        icon = h.tray_icon_window(pid)
        tray_click(checks, pid, button=3)
        menu = h.wait_for(lambda: [w for w in h.sh(["xdotool", "search", "--onlyvisible",
                                                     "--pid", str(pid)]).split()
                                   if w not in (icon, window)])
        checks.require(len(menu) == 1, "a right click on the tray icon opens its menu", str(menu))
        h.screenshot(h.artifact(artifacts, "tray-menu.png"))
        x, y, width, _ = h.window_geometry(menu[0])
        h.click_at(x + width // 2, y + 12)
        checks.check(h.wait_for(lambda: shown(window)), "Restore shows the window")

        h.net_lab("cable-up")
        notices.expect(checks, "cable connected reaches dunst once",
                       ["INFO:|Network cable is connected|LOW"])
        print(program.general_log(), end="", flush=True)

        # With a tray, minimising hides the window into it (withdrawn: no
        # task-bar entry is left); a click on the icon brings it back.
        h.sh(["xdotool", "windowminimize", window])
        checks.check(h.wait_for(lambda: not h.window_viewable(window)
                                and "WM_STATE: not found" in h.window_report(window)),
                     "minimising hides the window into the tray", h.window_report(window))
        tray_click(checks, pid)
        checks.check(h.wait_for(lambda: shown(window)), "a click on the icon brings it back")

        # Without a tray: a minimised window comes back with a second start.
        h.desktop_lab("tray-stop")
        h.sh(["xdotool", "windowminimize", "--sync", window])
        checks.check(h.wait_for(lambda: not shown(window)), "minimised without a tray")
        status, seconds = program.start_again(hang_guard=10.0)
        print(f"      second start returned after {seconds:.3f} s with status {status}",
              flush=True)
        checks.check(status == 0, "a second start ends with status 0", str(status))
        checks.check(h.wait_for(lambda: shown(window)),
                     "without a tray, a second start brings the window back")
        # The tray comes back: so does the icon.
        began = time.monotonic()
        h.desktop_lab("tray-start")
        print(f"      the tray started again in {time.monotonic() - began:.1f} s", flush=True)
        checks.check(h.wait_for(lambda: h.tray_icon_window(pid)) is not None,
                     "the icon returns to a restarted tray")
    finally:
        recorder.stop()
        program.stop_and_check(checks)
        program.cleanup()
        shutil.rmtree(work, ignore_errors=True)


def set_option(checks, access, page, name, checked):
    """Options > Settings, the check box `name` of `page` set to `checked`
    through its accessible action (as a screen reader does), then OK."""
    import linewatch_e2e_commands as c
    items = c.open_menu_bar_menu(checks, access, "Options")
    settings = [item for item in items if item.name == "Settings"]
    checks.require(bool(settings), "the Options menu shows Settings",
                   str([item.name for item in items]))
    c.do_action(settings[0], "Press", "Toggle", "click")
    options = h.wait_for(lambda: access.frame("Options"))
    checks.require(options is not None, "Settings opens the options window")
    tree = h.wait_for(lambda: c.descendants(options, pyatspi.ROLE_TREE)
                      or c.descendants(options, pyatspi.ROLE_TREE_TABLE))
    checks.require(bool(tree), "the options window has its page tree on the bus")
    item = [i for i in c.descendants(tree[0]) if i.name == page]
    checks.require(bool(item), f"the tree lists the page \"{page}\"")
    c.click(item[0])
    box = c.shown_control(checks, options, pyatspi.ROLE_CHECK_BOX, name, f"the page {page} has")
    if box.getState().contains(pyatspi.STATE_CHECKED) != checked:
        c.do_action(box, "Toggle", "Press", "click")
    checks.check(h.wait_for(lambda: box.getState().contains(pyatspi.STATE_CHECKED) == checked,
                            timeout=5), f"\"{name}\" shows {'on' if checked else 'off'}")
    ok = [b for b in c.descendants(options, pyatspi.ROLE_PUSH_BUTTON, "OK") if c.showing(b)]
    checks.require(bool(ok), "the options window has OK on the bus")
    c.do_action(ok[0], "Press", "click")
    checks.check(h.wait_for(lambda: access.frame("Options") is None),
                 "OK closes the options window")


def scenario_alarm(binary, artifacts, checks):
    """A sound that loops until the user reacts (the cable sound with "Wait
    for an user action" on) stops at OK when either sound option is switched
    off, recorded from the sound server's null sink. The program runs under a
    locale whose decimal point is a comma: the table keeps its dots."""
    work = tempfile.mkdtemp(prefix="lwe2e-alarm.")
    # de_DE.UTF-8 compiled into a private folder: nothing is installed.
    locales = os.path.join(work, "locale")
    os.makedirs(locales)
    h.sh(["localedef", "-i", "de_DE", "-f", "UTF-8", os.path.join(locales, "de_DE.UTF-8")],
         timeout=120)
    checks.require(os.path.isfile(os.path.join(locales, "de_DE.UTF-8", "LC_NUMERIC")),
                   "localedef compiles de_DE.UTF-8")
    cable_sound = os.path.join(work, "cable.wav")
    h.write_sine_wav(cable_sound, frequency=1320, seconds=SOUND_S)
    program = h.Linewatch(binary, {
        "MonPADISendInterval": 1,
        "LogGenWriteToFile": 1,
        "SndEvtEnabled": 1,
        "SndEvtCableUnplugFileName": cable_sound,
        "MonEvtWaitUserAction": 1,
    })
    recorder = h.Recorder(os.path.join(work, "sink.raw"))
    enable = ("Sound events", "Enable sound events")
    wait = ("Monitor", "Wait for an user action for stopping sound events")
    try:
        recorder.start()
        comma = {"LANG": "de_DE.UTF-8", "LC_ALL": "de_DE.UTF-8", "LOCPATH": locales}
        saved = {name: os.environ.get(name) for name in comma}
        os.environ.update(comma)
        try:
            _, access, _ = h.start_window(program, checks)
        finally:
            for name, value in saved.items():
                if value is None:
                    os.environ.pop(name, None)
                else:
                    os.environ[name] = value
        checks.check(h.wait_for(lambda: len(access.table_rows()) == 2),
                     "both concentrators are listed", str(access.table_rows()))
        rtts = [row.get("RTT, ms") for row in access.table_rows()]
        checks.check(all(re.fullmatch(r"\d+\.\d{3}", rtt or "") for rtt in rtts),
                     "under a comma locale the RTT column keeps its dot", str(rtts))
        for round_, (option, restore) in enumerate(((enable, None), (wait, enable)), 1):
            if restore:
                set_option(checks, access, *restore, True)
            started = recorder.seconds()
            h.net_lab("cable-down")
            check_sound(checks, recorder, started, "the cable sound", 1320, loops=True)
            set_option(checks, access, *option, False)
            check_silence_after(checks, recorder,
                                f"switching \"{option[1]}\" off stops the looping sound at OK")
            h.screenshot(h.artifact(artifacts, f"alarm-{option[0].split()[0].lower()}-off.png"))
            h.net_lab("cable-up")
            checks.check(h.wait_for(lambda: program.general_log().count(
                "INFO: Network cable is connected") == round_), "the cable is connected again")
    finally:
        recorder.stop()
        program.stop_and_check(checks)
        program.cleanup()
        shutil.rmtree(work, ignore_errors=True)


SCENARIOS = {"monitor": scenario_monitor, "tray": scenario_tray, "alarm": scenario_alarm}
# The monitor window's commands (options window, connection entries).
SCENARIOS.update(__import__("linewatch_e2e_commands").SCENARIOS)


def main():
    return h.scenario_main(__doc__, SCENARIOS,
                           lambda play, binary, artifacts, checks:
                           play(binary, artifacts, checks))


if __name__ == "__main__":
    sys.exit(main())
