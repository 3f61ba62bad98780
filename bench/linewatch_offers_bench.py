#!/usr/bin/python3
"""The desktop program end to end with one probe cycle of many offers: the
real `linewatch` in the network lab's monitor namespace on the desktop lab's
display, the lab's PADO responder answering its one PADI with N offers (the
two pppoe-servers stopped; all N reach the monitor interface within a few
milliseconds). Prints, for some PADO waiting times, how many rows the
window listed, the time from the responder's last offer (its "answered"
line) to the last row seen, and the program's CPU time. Rows are counted in
the general log ("AC: NEW:" lines), or over the accessibility bus (the
table's row count) for the runs with the program on that bus.

Run through linewatch_offers_bench.sh (it builds both labs):

    bench/linewatch_offers_bench.sh [LINEWATCH] [OFFERS] [RUNS]
"""
import os
import sys
import time

import e2e_harness as h

RESPONDER_LOG = "/run/lwlab/responder.log"


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def one_run(binary, offers, wait_ms, accessible):
    h.net_lab("responder", str(offers))
    program = h.Linewatch(binary, {"MonPADISendInterval": 3600, "MonPADOWaitTime": wait_ms,
                                   "LogGenWriteToFile": 1})
    try:
        pid = program.start(accessible=accessible)
        access = h.Accessible(pid)

        def rows():
            if accessible:
                table = access.table()
                return table.queryTable().nRows if table is not None else 0
            return program.general_log().count("AC: NEW:")

        # The responder's line comes once its last offer is sent.
        deadline = time.monotonic() + h.HANG_GUARD_S
        answered = None
        while answered is None and time.monotonic() < deadline:
            with open(RESPONDER_LOG) as f:
                if "answered PADI" in f.read():
                    answered = time.monotonic()
            time.sleep(0.002)
        if answered is None:
            raise h.Failure("the responder was never asked")
        # Until every offer is listed, or no row came for two seconds.
        count, last = 0, answered
        while count < offers and time.monotonic() - last < 2.0:
            now = rows()
            if now > count:
                count, last = now, time.monotonic()
            time.sleep(0.01)
        return count, (last - answered) * 1000, cpu_seconds(pid)
    finally:
        program.stop()
        program.cleanup()


def main():
    binary = sys.argv[1]
    offers = int(sys.argv[2]) if len(sys.argv) > 2 else 1000
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 2
    h.net_lab("ac-stop", "1")
    h.net_lab("ac-stop", "2")
    for accessible in (False, True):
        for wait_ms in (100, 500, 1000):
            for run in range(runs):
                count, ms, cpu = one_run(binary, offers, wait_ms, accessible)
                print(f"{'on' if accessible else 'off'} the accessibility bus, PADO wait "
                      f"{wait_ms:4} ms, run {run + 1}: {count:4} of {offers} offers listed, the "
                      f"last {ms:6.0f} ms after the last offer; program CPU {cpu:.2f} s",
                      flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
