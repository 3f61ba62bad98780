#!/usr/bin/python3
"""End-to-end scenarios of the desktop program `linewatch` on a real desktop
(the desktop lab) against real access concentrators (the network lab). Run
through linewatch_e2e.sh, which builds both labs around it:

    linewatch_e2e.py SCENARIO LINEWATCH ARTIFACTS_DIR

SCENARIO is "monitor" (the window lists the concentrators; a second start
brings the minimised window back). Exit status 0 when every check held.
"""
import os
import sys
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
        pid = program.start()
        access = h.Accessible(pid)
        window = h.wait_for(program.window_id)
        checks.require(window is not None, "the monitor window appears",
                       program.program_output())
        checks.require(h.wait_for(access.frame) is not None,
                       "the window is on the accessibility bus")

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

        # Every control carries the text the user sees for it as its
        # accessible name.
        table, log = access.table(), access.log_box()
        checks.check(log is not None, "the log box is on the accessibility bus")
        for what, control in (("AC list", table), ("log box", log)):
            if control is not None and not control.name:
                print(f"WARN  the {what} has no accessible name", flush=True)

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
        # first window back.
        h.sh(["xdotool", "windowminimize", "--sync", window])
        checks.check(h.wait_for(lambda: not h.window_viewable(window)),
                     "the window is minimised")
        status, seconds = program.start_again(hang_guard=10.0)
        print(f"      second start returned after {seconds:.3f} s with status {status}",
              flush=True)
        checks.check(status == 0, "a second start ends with status 0", str(status))
        checks.check(h.wait_for(lambda: h.window_viewable(window)
                                and not h.window_hidden_state(window)),
                     "the second start restores the first window",
                     h.sh(["xprop", "-id", window, "_NET_WM_STATE"]).strip())
        checks.check(program.running(), "the first instance still runs")
        windows = h.sh(["xdotool", "search", "--name", "^Line Watchman$"]).split()
        checks.check(len(windows) == 1, "one monitor window only", str(windows))
    finally:
        status = program.stop()
        checks.check(status == 0, "the program ends with status 0 on SIGTERM", str(status))
        program.cleanup()


SCENARIOS = {"monitor": scenario_monitor}


def main():
    if len(sys.argv) != 4 or sys.argv[1] not in SCENARIOS:
        print(__doc__, file=sys.stderr)
        return 2
    scenario, binary, artifacts = sys.argv[1:]
    checks = h.Checks()
    began = time.monotonic()
    try:
        SCENARIOS[scenario](binary, artifacts, checks)
    except h.Failure as failure:
        print(f"stopped: {failure}", file=sys.stderr)
    print(f"scenario {scenario}: {len(checks.failed)} failed check(s) in "
          f"{time.monotonic() - began:.1f} s", flush=True)
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main())
