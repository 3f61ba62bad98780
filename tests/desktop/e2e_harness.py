"""Drives the real desktop program `linewatch` as a user would, inside both
labs at once: the desktop lab (display, window manager, tray, notification
and sound servers, accessibility bus) and the network lab (real access
concentrators), with the program in the network lab's monitor namespace.

Windows, clicks and keys go through xdotool; widgets are read by accessible
name and role over the accessibility bus (pyatspi), as a screen reader does.
Every wait ends as soon as its condition holds; the time limits only guard
against hangs.
"""
import array
import math
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import wave

import pyatspi

HANG_GUARD_S = 30.0
DESKTOP_DIR = os.path.dirname(os.path.abspath(__file__))


class Failure(Exception):
    pass


class Checks:
    """Collects failed checks so that one run reports all of them."""

    def __init__(self):
        self.failed = []
        self.began = time.monotonic()

    def check(self, condition, what, detail=""):
        print(f"{time.monotonic() - self.began:6.1f} s " + ("ok    " if condition else "FAIL  ")
              + what + (f": {detail}" if detail else ""), flush=True)
        if not condition:
            self.failed.append(what)
        return condition

    def require(self, condition, what, detail=""):
        if not self.check(condition, what, detail):
            raise Failure(what)


def wait_for(condition, timeout=HANG_GUARD_S, step=0.1):
    """Polls condition() until it returns something true; returns that value
    (or the last false one after the hang guard)."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(step)


def sh(command, check=False, timeout=HANG_GUARD_S):
    result = subprocess.run(command, shell=isinstance(command, str), capture_output=True,
                            text=True, timeout=timeout)
    if check and result.returncode != 0:
        raise Failure(f"{command}: exit {result.returncode}: {result.stderr.strip()}")
    return result.stdout


# --- the labs ------------------------------------------------------------

def net_lab(*args):
    """A command of the network lab (ac-stop 2, cable-down, ...)."""
    sh([os.environ["LW_LAB_SCRIPT"], *args], check=True)


def desktop_lab(*args):
    """A command of the desktop lab (tray-stop, tray-start)."""
    sh([os.environ["LW_DESKTOP_LAB_SCRIPT"], *args], check=True)


def artifact(directory, name):
    os.makedirs(directory, exist_ok=True)
    return os.path.join(directory, name)


def screenshot(path, window="root"):
    sh(["import", "-window", str(window), path], check=True)
    print(f"      screenshot {path}", flush=True)


# --- the program -----------------------------------------------------------

class Linewatch:
    """A portable copy of the program (binary, language folder and a
    linewatch.ini beside it) in a temporary folder, started in the network
    lab's monitor namespace with the desktop lab's environment."""

    def __init__(self, binary, settings):
        self.work = tempfile.mkdtemp(prefix="lwe2e.")
        self.program_dir = os.path.join(self.work, "program")
        self.log_dir = os.path.join(self.work, "logs")
        os.makedirs(self.program_dir)
        os.makedirs(self.log_dir)
        self.program = os.path.join(self.program_dir, "linewatch")
        shutil.copy(binary, self.program)
        shutil.copytree(os.path.join(os.path.dirname(binary), "language"),
                        os.path.join(self.program_dir, "language"))
        lines = ["[Options]", f"PcapDeviceName={os.environ['LW_LAB_MON_IF']}",
                 f"LogDirectory={self.log_dir}"]
        lines += [f"{key}={value}" for key, value in settings.items()]
        with open(os.path.join(self.program_dir, "linewatch.ini"), "w") as ini:
            ini.write("\n".join(lines) + "\n")
        self.process = None
        self.output = open(os.path.join(self.work, "linewatch.out"), "w")

    def command(self):
        # ip netns exec keeps the environment: DISPLAY, the session bus, the
        # sound server and the runtime folder are socket files, which every
        # network namespace reaches.
        return ["ip", "netns", "exec", os.environ["LW_LAB_MON_NS"], self.program]

    @staticmethod
    def environment(accessible=True):
        env = dict(os.environ)
        env["QT_QPA_PLATFORM"] = "xcb"
        if accessible:
            env["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = "1"
        return env

    def start(self, accessible=True):
        """Starts the program; accessible: on the accessibility bus."""
        self.process = subprocess.Popen(self.command(), env=self.environment(accessible),
                                        stdout=self.output, stderr=subprocess.STDOUT)
        return self.process.pid

    def start_again(self, hang_guard=10.0):
        """A second start: returns (exit status or None when it hung,
        seconds it took)."""
        began = time.monotonic()
        try:
            result = subprocess.run(self.command(), env=self.environment(),
                                    stdout=self.output, stderr=subprocess.STDOUT,
                                    timeout=hang_guard)
            return result.returncode, time.monotonic() - began
        except subprocess.TimeoutExpired:
            return None, time.monotonic() - began

    def running(self):
        return self.process is not None and self.process.poll() is None

    def stop(self):
        """Ends the program the way a session end does (SIGTERM closes the
        window); returns its exit status."""
        if self.process is None:
            return None
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.output.close()
        return self.process.returncode

    def stop_and_check(self, checks):
        """Ends the program (stop) and checks that it ended with status 0."""
        status = self.stop()
        checks.check(status == 0, "the program ends with status 0 on SIGTERM", str(status))

    def general_log(self):
        try:
            with open(os.path.join(self.log_dir, "monitor.log"), errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def program_output(self):
        self.output.flush()
        with open(os.path.join(self.work, "linewatch.out"), errors="replace") as f:
            return f.read()

    def window_id(self):
        """The X id of the monitor window (the one titled "Line Watchman")."""
        ids = sh(["xdotool", "search", "--name", "^Line Watchman$"]).split()
        return ids[0] if ids else None

    def cleanup(self):
        shutil.rmtree(self.work, ignore_errors=True)


# --- X windows -------------------------------------------------------------

def window_report(window):
    """The window's map state, its states and the windows of its title, for
    a failed check's message."""
    info = sh(["xwininfo", "-id", str(window)])
    state = [line.strip() for line in info.splitlines() if "Map State" in line]
    props = sh(["xprop", "-id", str(window), "_NET_WM_STATE", "WM_STATE", "WM_NAME"])
    same = sh(["xdotool", "search", "--name", "^Line Watchman$"]).split()
    state_dir = os.environ.get("LW_DESKTOP_LAB_STATE", "")
    wm = "?"
    try:
        with open(os.path.join(state_dir, "openbox.pid")) as f:
            wm_pid = int(f.read())
        os.kill(wm_pid, 0)
        wm = "running"
    except (OSError, ValueError):
        wm = "not running"
    try:
        with open(os.path.join(state_dir, "openbox.log"), errors="replace") as f:
            wm += ": " + " ".join(f.read().split()[-40:])
    except OSError:
        pass
    return f"{state} {' '.join(props.split())} windows titled so: {same}; window manager {wm}"


def window_viewable(window):
    return "IsViewable" in sh(["xwininfo", "-id", str(window)])


def window_hidden_state(window):
    """True when the window manager marks the window hidden (iconic)."""
    return "_NET_WM_STATE_HIDDEN" in sh(["xprop", "-id", str(window), "_NET_WM_STATE"])


def window_geometry(window):
    """(x, y, width, height) of the window on the screen."""
    values = {}
    for line in sh(["xdotool", "getwindowgeometry", "--shell", str(window)]).splitlines():
        key, _, value = line.partition("=")
        values[key] = int(value) if value.lstrip("-").isdigit() else value
    return values["X"], values["Y"], values["WIDTH"], values["HEIGHT"]


def click_at(x, y, button=1):
    sh(["xdotool", "mousemove", str(x), str(y), "click", str(button)], check=True)


def tray_panel():
    """The id of trayer's panel window, or None."""
    for line in sh(["xwininfo", "-root", "-tree"]).splitlines():
        if '"panel": ("panel" "trayer")' in line:
            return line.split()[0]
    return None


def tray_icon_window(pid):
    """The id (decimal) of the process's window embedded in trayer, or None."""
    panel = tray_panel()
    if panel is None:
        return None
    tree = sh(["xwininfo", "-tree", "-id", panel])
    for window in sh(["xdotool", "search", "--pid", str(pid)]).split():
        if f"{int(window):#x} " in tree:
            return window
    return None


def colour_counts(rgb):
    """(clearly green, clearly red or orange) pixels of packed RGB bytes."""
    green = warm = 0
    for i in range(0, len(rgb) - 2, 3):
        r, g, b = rgb[i], rgb[i + 1], rgb[i + 2]
        if g > r + 40 and g > b + 40:
            green += 1
        elif r > g + 40 and r > b + 40:
            warm += 1
    return green, warm


def colour_pixels(window):
    """(clearly green, clearly red or orange) pixels of a window."""
    raw = subprocess.run(["import", "-window", str(window), "-depth", "8", "rgb:-"],
                         capture_output=True, timeout=HANG_GUARD_S).stdout
    return colour_counts(raw)


# --- the accessibility bus ---------------------------------------------------

class Accessible:
    """Reads the program's widgets over the accessibility bus."""

    def __init__(self, pid):
        self.pid = pid

    def application(self):
        desktop = pyatspi.Registry.getDesktop(0)
        for index in range(desktop.childCount):
            app = desktop.getChildAtIndex(index)
            try:
                if app is not None and app.get_process_id() == self.pid:
                    # Names and children are read afresh, not from the cache.
                    app.clear_cache()
                    return app
            except Exception:  # an application that just went away
                continue
        return None

    def find(self, role, name=None):
        """Every accessible of the role (a pyatspi ROLE_ constant), with the
        name when given, in the program's tree."""
        app = self.application()
        if app is None:
            return []
        found = []
        # A window that is closing leaves null or dead children behind for a
        # moment (pyatspi's own walk fails on them): they are passed over.
        stack = [app]
        while stack:
            node = stack.pop()
            try:
                if node is not app and node.getRole() == role and (
                        name is None or node.name == name):
                    found.append(node)
                children = [node.getChildAtIndex(i) for i in range(node.childCount)]
            except Exception:  # the object went away while it was read
                continue
            stack.extend(reversed([child for child in children if child is not None]))
        return found

    def frame(self, title="Line Watchman"):
        frames = self.find(pyatspi.ROLE_FRAME, title)
        return frames[0] if frames else None

    def table(self):
        tables = self.find(pyatspi.ROLE_TABLE)
        return tables[0] if tables else None

    def table_rows(self):
        """The concentrator list as ({header: cell text}, ...)."""
        table = self.table()
        if table is None:
            return []
        data = table.queryTable()
        headers = [data.getColumnHeader(c).name for c in range(data.nColumns)]
        return [{headers[c]: data.getAccessibleAt(r, c).name for c in range(data.nColumns)}
                for r in range(data.nRows)]

    def log_box(self):
        """The log: the one multi-line text of the monitor window."""
        texts = [t for t in self.find(pyatspi.ROLE_TEXT)
                 if t.getState().contains(pyatspi.STATE_MULTI_LINE)]
        return texts[0] if texts else None


# --- notifications -----------------------------------------------------------

def start_window(program, checks):
    """Starts the program and waits for its monitor window, on the screen
    and on the accessibility bus: (pid, Accessible, X window id)."""
    pid = program.start()
    access = Accessible(pid)
    window = wait_for(program.window_id)
    checks.require(window is not None, "the monitor window appears", program.program_output())
    checks.require(wait_for(access.frame) is not None, "the window is on the accessibility bus")
    return pid, access, window


def dunst_history():
    """What dunst received, oldest first, as "summary|body|urgency" lines.
    The shown notices are closed into the history first."""
    sh(["dunstctl", "close-all"], check=True)
    history = sh(["dunstctl", "history"], check=True)
    return subprocess.run(["/usr/bin/python3", os.path.join(DESKTOP_DIR, "dunst_history.py")],
                          input=history, capture_output=True, text=True,
                          check=True).stdout.splitlines()


def dunst_displayed():
    return int(sh(["dunstctl", "count", "displayed"]).strip() or 0)


# --- sounds ------------------------------------------------------------------

RATE = 44100


def write_sine_wav(path, frequency=880.0, seconds=0.4, amplitude=0.8):
    """A 16-bit mono sine wave file."""
    count = int(RATE * seconds)
    samples = array.array("h", (int(amplitude * 32767 * math.sin(2 * math.pi * frequency * i / RATE))
                                for i in range(count)))
    with wave.open(path, "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(RATE)
        out.writeframes(samples.tobytes())


class Recorder:
    """Records the lab's null sink (its monitor source) with parec."""

    def __init__(self, path):
        self.path = path
        self.process = None

    def start(self):
        sink = os.environ.get("LW_DESKTOP_LAB_SINK", "lwsink")
        self.process = subprocess.Popen(
            ["parec", "-d", sink + ".monitor", "--raw", "--format=s16le", f"--rate={RATE}",
             "--channels=1", "--latency-msec=20", self.path],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # The stream runs once the first samples arrive.
        wait_for(lambda: os.path.exists(self.path) and self.seconds() > 0.1)

    def stop(self):
        if self.process is not None:
            self.process.terminate()
            self.process.wait(timeout=10)
            self.process = None

    def samples(self, start_s=0.0):
        """The samples recorded from start_s seconds on."""
        with open(self.path, "rb") as f:
            f.seek(int(start_s * RATE) * 2)
            raw = f.read()
        data = array.array("h")
        data.frombytes(raw[:len(raw) // 2 * 2])
        return data

    def seconds(self):
        return os.path.getsize(self.path) / (2 * RATE)

    def wait_until(self, seconds):
        """Waits until the recording is that long."""
        wait_for(lambda: self.seconds() >= seconds)

    def peak(self, start_s=0.0):
        """The peak amplitude (0..1) from start_s seconds on."""
        return max((abs(v) for v in self.samples(start_s)), default=0) / 32768.0

    def sounding(self, start_s=0.0, level=0.1, window_s=0.05):
        """(first, last) time in seconds of the windows whose peak reaches
        level, from start_s on; None when there is none."""
        data = self.samples(start_s)
        step = int(RATE * window_s)
        times = [start_s + i / RATE for i in range(0, len(data), step)
                 if max((abs(v) for v in data[i:i + step]), default=0) >= level * 32768]
        return (times[0], times[-1] + window_s) if times else None

    def frequency(self, start_s, length_s=1.0, level=0.1):
        """The frequency (Hz) of the tone heard from start_s on, from the zero
        crossings in the pieces of 10 ms that it fills, within length_s."""
        data = self.samples(start_s)[:int(length_s * RATE)]
        step = RATE // 100
        crossings = samples = 0
        for i in range(0, len(data) - step + 1, step):
            piece = data[i:i + step]
            # Only pieces loud in both halves: the tone fills them.
            if min(max(abs(v) for v in piece[:step // 2]),
                   max(abs(v) for v in piece[step // 2:])) < level * 32768:
                continue
            crossings += sum(1 for a, b in zip(piece, piece[1:]) if (a < 0) != (b < 0))
            samples += step
        return crossings / 2 / (samples / RATE) if samples else 0.0


class Notices:
    """Follows dunst's history: what arrived since the last look."""

    def __init__(self):
        self.seen = len(dunst_history())

    def fresh(self):
        return dunst_history()[self.seen:]

    def expect(self, checks, what, expected, settle_s=2.5):
        """Waits for the expected notices ("title|body|URGENCY" lines), then
        a while longer, and checks that exactly these arrived, once each."""
        wait_for(lambda: len(self.fresh()) >= len(expected))
        time.sleep(settle_s)
        got = self.fresh()
        checks.check(got == expected, what, " / ".join(got))
        self.seen += len(got)
        return got

    def skip(self, settle_s=1.5):
        """Takes what arrived (after a while) as seen, unchecked."""
        time.sleep(settle_s)
        self.seen = len(dunst_history())


def scenario_main(doc, scenarios, run):
    """The command line of a scenario script: SCENARIO BINARY ARTIFACTS.

    run(scenarios[SCENARIO], binary, artifacts, checks) plays it; the exit
    status is 0 when every check passed, 1 when one failed, 2 for a wrong
    command line (doc is printed)."""
    if len(sys.argv) != 4 or sys.argv[1] not in scenarios:
        print(doc, file=sys.stderr)
        return 2
    scenario, binary, artifacts = sys.argv[1:]
    checks = Checks()
    began = time.monotonic()
    try:
        run(scenarios[scenario], binary, artifacts, checks)
    except Failure as failure:
        print(f"stopped: {failure}", file=sys.stderr)
    print(f"scenario {scenario}: {len(checks.failed)} failed check(s) in "
          f"{time.monotonic() - began:.1f} s", flush=True)
    return 1 if checks.failed else 0
