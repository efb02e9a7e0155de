"""Drives the real panel in a private X server against the simulated projector.

Everything here waits for a condition (a window mapped, a line printed, a process gone) with a
deadline; nothing sleeps a fixed time and hopes.
"""
import glob
import json
import os
import queue
import random
import re
import resource
import shutil
import signal
import subprocess
import tempfile
import threading
import time

TWIPS_PER_PIXEL = 15
CLIENT_HEIGHT = 5295 // TWIPS_PER_PIXEL

# The frames and the keypad layout, written down once and shared with the C++ tests.
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "keypad.json"),
          encoding="utf-8") as _file:
    _DATA = json.load(_file)

# Frame origins in twips, inside the window's client area.
FRAMES = {"window": (0, 0)}
FRAMES.update({f["name"]: tuple(f["twips"][:2]) for f in _DATA["frames"]})

# Controls of the keypad in focus order: container, left, top, width, height in twips.
CONTROLS = {c["name"]: (c["in"], *c["twips"]) for c in _DATA["controls"]}
KEYS = [c["name"] for c in _DATA["controls"] if "keyFrame" in c]

# The computer keys that press a remote key, as X key names: the shortcut column of the data
# file, with the digits and * also from the number pad.
_X_NAMES = {"*": ["asterisk", "KP_Multiply"], "#": ["numbersign"], "Return": ["Return", "KP_Enter"],
            "Esc": ["Escape"]}
_X_NAMES.update({d: [d, f"KP_{d}"] for d in "0123456789"})
SHORTCUTS = {c["name"]: _X_NAMES.get(c["shortcut"], [c["shortcut"]])
             for c in _DATA["controls"] if "shortcut" in c}

# Wire bytes as hex text: each key's lead-in and key frame, and the connection check's probe.
LEAD_INS = {c["name"]: c["leadIn"] for c in _DATA["controls"] if "keyFrame" in c}
KEY_FRAMES = {c["name"]: c["keyFrame"] for c in _DATA["controls"] if "keyFrame" in c}
PROBE = _DATA["probe"]

# Result dialogs: client top-left on the screen (twips) and their OK button's centre (twips).
NOT_RESPONDING = {"at": (5340, 3360), "ok": (1680 + 1215 // 2, 2400 + 495 // 2)}
RESPONDING = {"at": (5340, 3435), "ok": (1440 + 1455 // 2, 2040 + 615 // 2)}

OPEN_FAILED = "Error while opening comm port. Ensure that a valid comm port is selected"

HEX_PAIR = re.compile(r"^[0-9A-F]{2}$")


def px(twips):
    return twips // TWIPS_PER_PIXEL


def binary(name):
    """Path of a built program, from the environment ctest gives us."""
    path = os.environ.get(name)
    if not path or not os.access(path, os.X_OK):
        raise RuntimeError(f"{name} does not name a built program: {path!r}")
    return path


def command(name):
    """Full path of a program the tests run. The system folders are searched too: a Debian user's
    PATH lacks /usr/sbin, where ser2net lives. tools/packages says which package brings each."""
    search = os.pathsep.join([os.environ.get("PATH", os.defpath), "/usr/sbin", "/sbin"])
    path = shutil.which(name, path=search)
    if path is None:
        raise RuntimeError(f"{name} is not installed; ./run --test installs what the tests need")
    return path


def remove_locks(pid):
    """Removes the lock files (/var/lock/LCK..*) of a program the test killed: it had no chance
    to remove them itself."""
    for path in glob.glob("/var/lock/LCK..*"):
        try:
            with open(path, errors="replace") as f:
                if f.readline().strip() == str(pid):
                    os.unlink(path)
        except OSError:
            pass


def wait_for(condition, timeout, what, interval=0.01):
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise TimeoutError(f"timed out after {timeout}s waiting for {what}")
        time.sleep(interval)


def cpu_seconds(pid):
    """User plus system CPU time of a live process, from /proc."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    return (int(fields[11]) + int(fields[12])) / ticks


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class Display:
    """A private X server.

    Its number is picked at random from a high range rather than by Xvfb from 0 up: servers that
    start and stop at the same time (ours under ctest -j, other programs' on the same machine)
    otherwise all go for the lowest free numbers, and now and then a panel could not reach the
    server it was given. -noreset: by default the server starts afresh whenever its last client
    leaves, and refuses a program that connects just then, as the next panel of a test does.
    """

    def __init__(self, size="1024x768x24"):
        chooser = random.SystemRandom()
        for _ in range(20):
            number = chooser.randrange(200, 30000)
            if os.path.lexists(f"/tmp/.X{number}-lock"):
                continue
            read_end, write_end = os.pipe()
            self.log = tempfile.TemporaryFile(mode="w+")
            self.process = subprocess.Popen(
                [command("Xvfb"), f":{number}", "-displayfd", str(write_end), "-screen", "0", size,
                 "-nolisten", "tcp", "-noreset"],
                pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=self.log)
            os.close(write_end)
            with os.fdopen(read_end) as f:
                ready = f.readline().strip()
            if ready == str(number):
                self.name = f":{number}"
                return
            self.process.wait(timeout=10)  # the number was taken after all: try another
            self.log.close()
        raise RuntimeError("Xvfb did not start")

    def env(self):
        return {"DISPLAY": self.name}

    def state(self):
        """Whether the server still runs, and what it printed: for reports of failures."""
        status = self.process.poll()
        self.log.seek(0)
        said = " ".join(self.log.read().split())[-300:]
        return (f"X server {self.name} " + ("running" if status is None else f"gone ({status})")
                + (f", it printed: {said}" if said else ""))

    def close(self):
        self.process.terminate()
        self.process.wait(timeout=10)
        self.log.close()


class Compositor:
    """A private headless Wayland compositor (weston) that logs every request its clients make,
    so a test can see what a window told it (its title, its app id)."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="tolvane-wayland-")  # mode 0700, as Wayland wants
        self.socket = "wayland-tolvane"
        self.log_path = os.path.join(self.folder, "weston.log")
        self.process = subprocess.Popen(
            [command("weston"), "--backend=headless-backend.so", f"--socket={self.socket}",
             "--idle-time=0", "--no-config", "--logger-scopes=log,proto", f"--log={self.log_path}"],
            env=dict(os.environ, XDG_RUNTIME_DIR=self.folder), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        wait_for(lambda: os.path.exists(os.path.join(self.folder, self.socket)), 10,
                 "weston's socket")

    def env(self):
        env = {"XDG_RUNTIME_DIR": self.folder, "WAYLAND_DISPLAY": self.socket,
               "QT_QPA_PLATFORM": "wayland"}
        drivers = glob.glob("/usr/lib/*/dri/swrast_dri.so")
        if os.environ.get("TOLVANE_SANITIZED") and drivers:
            # On Wayland Qt sets up EGL, which loads Mesa's software driver and unloads it at
            # exit, before LeakSanitizer looks: a leak of the driver's then lies in no module and
            # no suppression matches it. Loaded from the start, the driver stays and
            # tests/lsan.supp can name it. (ASan is then not first among the libraries loaded,
            # which is harmless here: it is linked into the program.)
            env["LD_PRELOAD"] = drivers[0]
            env["ASAN_OPTIONS"] = os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
        return env

    def requests(self):
        """The clients' requests logged so far, one a line."""
        with open(self.log_path, errors="replace") as f:
            return [line for line in f if "[proto]" in line and " rq " in line]

    def close(self):
        self.process.terminate()
        self.process.wait(timeout=10)
        shutil.rmtree(self.folder, ignore_errors=True)


class SessionBus:
    """A private D-Bus session bus, so that screen-reader plumbing (AT-SPI, started by the bus on
    demand) is the test's own and ends with it."""

    def __init__(self):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            [command("dbus-daemon"), "--session", "--nofork", f"--print-address={write_end}"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            start_new_session=True)
        os.close(write_end)
        with os.fdopen(read_end) as f:
            self.address = f.readline().strip()
        if not self.address:
            raise RuntimeError("dbus-daemon did not start")

    def env(self):
        return {"DBUS_SESSION_BUS_ADDRESS": self.address}

    def close(self):
        # The bus and what it started (the accessibility bus and its registry) are one group.
        try:
            os.killpg(self.process.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        self.process.wait(timeout=10)


class X:
    """Window lookups and real input through XTEST (xdotool)."""

    def __init__(self, display):
        self.env = dict(os.environ, DISPLAY=display.name)

    def run(self, *args, check=True):
        result = subprocess.run([command("xdotool"), *args], env=self.env, capture_output=True, text=True,
                                timeout=10)
        if check and result.returncode != 0:
            raise RuntimeError(f"xdotool {' '.join(args)}: {result.stderr.strip()}")
        return result.stdout

    def windows(self, name_regex, pid=None):
        args = ["search", "--onlyvisible"]
        if pid is not None:
            # --all: xdotool otherwise takes a window that matches the name OR the process.
            args += ["--all", "--pid", str(pid)]
        out = self.run(*args, "--name", name_regex, check=False)
        return [int(w) for w in out.split()]

    def geometry(self, window):
        out = self.run("getwindowgeometry", "--shell", str(window), check=False)
        values = dict(line.split("=", 1) for line in out.split() if "=" in line)
        if not values:
            return None
        return (int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"]))

    def click(self, window, x, y):
        # Raised first: another program's window may lie on top at that place. No --sync: it
        # waits for the pointer to move, which is forever when it is already there.
        self.run("windowraise", str(window), "mousemove", "--window", str(window),
                 str(x), str(y), "click", "1")

    def key(self, window, key):
        self.run("windowfocus", "--sync", str(window), "key", "--clearmodifiers", key)

    def close_window(self, window):
        """Asks the window to close (WM_DELETE_WINDOW), as a window manager's close control does."""
        with Input(self.env["DISPLAY"]) as keys_and_mouse:
            keys_and_mouse.close_window(window)
            keys_and_mouse.send()

    def title(self, window):
        result = subprocess.run([command("xprop"), "-id", str(window), "_NET_WM_NAME"], env=self.env,
                                capture_output=True, text=True, timeout=10)
        match = re.search(r'= "(.*)"', result.stdout)
        return match.group(1) if match else None


class Input:
    """Real input through XTEST on one connection of its own. Nothing reaches the X server until
    send(), and then all of it in order, as fast as the server takes it: a burst no person could
    type, with no test code running in between.
    """

    def __init__(self, display_name):
        from Xlib import display as xdisplay
        self.d = xdisplay.Display(display_name)
        if not self.d.has_extension("XTEST"):
            self.d.close()
            raise RuntimeError("the X server has no XTEST extension")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.d.close()

    def click(self, x, y):
        """Left click at (x, y) on the screen."""
        from Xlib import X as XL
        from Xlib.ext import xtest
        xtest.fake_input(self.d, XL.MotionNotify, x=x, y=y)
        xtest.fake_input(self.d, XL.ButtonPress, 1)
        xtest.fake_input(self.d, XL.ButtonRelease, 1)

    def key(self, name):
        """Press and release the key with this keysym name, e.g. "Down" or "Return"."""
        from Xlib import X as XL, XK
        from Xlib.ext import xtest
        code = self.d.keysym_to_keycode(XK.string_to_keysym(name))
        if not code:
            raise RuntimeError(f"no key for {name!r}")
        xtest.fake_input(self.d, XL.KeyPress, code)
        xtest.fake_input(self.d, XL.KeyRelease, code)

    def close_window(self, window):
        """WM_DELETE_WINDOW, as a window manager's close control sends it."""
        from Xlib import X as XL, protocol
        w = self.d.create_resource_object("window", window)
        delete = self.d.intern_atom("WM_DELETE_WINDOW")
        event = protocol.event.ClientMessage(window=w,
                                             client_type=self.d.intern_atom("WM_PROTOCOLS"),
                                             data=(32, [delete, XL.CurrentTime, 0, 0, 0]))
        w.send_event(event, event_mask=XL.NoEventMask)

    def send(self):
        """Everything so far, to the server; returns once the server has handled it."""
        self.d.sync()


class Projector:
    """The simulated projector, linked at a path in our own folder."""

    def __init__(self, program, link, *options):
        self.link = link
        self.process = subprocess.Popen([program, "--link", link, *options],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True, bufsize=1)
        self.lines = queue.Queue()
        self.notes = ""  # standard error, once stopped
        self.device = self.process.stdout.readline().strip()
        if not self.device:
            raise RuntimeError("projector did not start: " + self.process.stderr.read())
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            self.lines.put(line.rstrip("\n"))

    def next_lines(self, count, timeout=5.0):
        got = []
        deadline = time.monotonic() + timeout
        while len(got) < count:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise TimeoutError(f"projector printed {len(got)} of {count} lines: {got}")
            try:
                got.append(self.lines.get(timeout=remaining))
            except queue.Empty:
                pass
        return got

    def drain(self, quiet=0.2):
        """Lines printed until the projector has been quiet for `quiet` seconds."""
        got = []
        while True:
            try:
                got.append(self.lines.get(timeout=quiet))
            except queue.Empty:
                return got

    def stop(self):
        """Stops it (its end of the line closes, as a pulled cable) and keeps its notes."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            self.process.wait(timeout=5)
        if not self.process.stderr.closed:
            self.notes = self.process.stderr.read()
        for pipe in (self.process.stdin, self.process.stdout, self.process.stderr):
            pipe.close()
        return self.process.returncode


class Socat:
    """A pseudo-terminal pair made by socat: one end linked at `link`, for the panel; the other
    is socat's standard input and output, whose bytes the test reads as they come. Ending socat
    closes its end, as a pulled cable would."""

    def __init__(self, link):
        self.link = link
        # wait-slave: socat starts reading once the panel has opened its end (looked at every
        # 20 ms), not at once, when reading would fail and end it.
        self.process = subprocess.Popen(
            [command("socat"), f"PTY,link={link},rawer,wait-slave,pty-interval=0.02", "STDIO"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self._bytes = bytearray()
        self._lock = threading.Lock()
        threading.Thread(target=self._read, daemon=True).start()
        wait_for(lambda: os.path.lexists(link), 5, f"socat's link {link}")

    def _read(self):
        while chunk := self.process.stdout.read1(4096):
            with self._lock:
                self._bytes += chunk

    def received(self, count, timeout=5.0):
        """The first `count` bytes the panel wrote, as hex text, once they are there."""
        def enough():
            with self._lock:
                return len(self._bytes) >= count and bytes(self._bytes[:count]).hex(" ").upper()
        return wait_for(enough, timeout, f"{count} bytes at socat's end")

    def everything(self):
        with self._lock:
            return bytes(self._bytes).hex(" ").upper()

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=5)
        self.process.stdin.close()
        self.process.stdout.close()


def parse(line):
    """('key', 'mVolume', '01 08 ...') from a projector line."""
    words = line.split()
    hex_start = next((i for i, w in enumerate(words) if HEX_PAIR.match(w)), len(words))
    head = words[:hex_start]
    return head[0] if head else "", " ".join(head[1:]), " ".join(words[hex_start:])


class Panel:
    """The real program, its ports pointed at paths of the test's own.

    Its standard error is read as it comes, with every message box and result dialog logged
    (tolvane.ui), so a test can tell which message the user is looking at.
    """

    def __init__(self, program, display, ports, extra_env=None, prefix=()):
        env = dict(os.environ, DISPLAY=display.name, QT_LOGGING_RULES="tolvane.ui.debug=true")
        env.pop("QT_QPA_PLATFORM", None)
        for n in range(1, 5):
            env[f"TOLVANE_COM{n}"] = ports.get(n, f"/nonexistent/tolvane-test-com{n}")
        env.update(extra_env or {})
        self.process = subprocess.Popen([*prefix, program], env=env, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE, text=True, errors="replace")
        self.x = X(display)
        self.display = display
        self.window = None
        self._log = []
        self._log_lock = threading.Lock()
        self._log_reader = threading.Thread(target=self._read_log, daemon=True)
        self._log_reader.start()

    def _read_log(self):
        for line in self.process.stderr:
            with self._log_lock:
                self._log.append(line.rstrip("\n"))

    def log(self):
        """Lines printed on standard error so far."""
        with self._log_lock:
            return list(self._log)

    def messages(self):
        """Texts of the message boxes opened so far, in order."""
        marker = "tolvane.ui: message box: "
        return [line.split(marker, 1)[1] for line in self.log() if marker in line]

    def results(self):
        """Result dialogs opened so far: "responding" or "not responding"."""
        marker = "tolvane.ui: result dialog: "
        return [line.split(marker, 1)[1] for line in self.log() if marker in line]

    def _wait_for(self, condition, timeout, what):
        """wait_for, telling on a time-out whether the program still runs and what it printed."""
        try:
            return wait_for(condition, timeout, what)
        except TimeoutError as e:
            status = self.process.poll()
            state = "still running" if status is None else f"ended with status {status}"
            log = "\n    ".join(self.log()[-20:])
            raise TimeoutError(f"{e}; the panel is {state}; {self.display.state()}; "
                               f"the panel printed:\n    {log}") from None

    def wait_log(self, text, timeout=5.0):
        """The first line containing text, once printed."""
        return wait_for(lambda: next((line for line in self.log() if text in line), None),
                        timeout, f"the panel to print {text!r}")

    def wait_window(self, timeout=10.0):
        """The keypad window: named "Tolvane" and as tall as the keypad plus its menu bar."""
        def find():
            for w in self.x.windows("^Tolvane$", self.process.pid):
                g = self.x.geometry(w)
                if g and g[2] == 457 and g[3] > CLIENT_HEIGHT:
                    return w
            return None
        self.window = self._wait_for(find, timeout, "the keypad window")
        return self.window

    def menu_height(self):
        return self.x.geometry(self.window)[3] - CLIENT_HEIGHT

    def centre(self, control):
        frame, left, top, width, height = CONTROLS[control]
        fx, fy = FRAMES[frame]
        return (px(fx + left + width // 2), self.menu_height() + px(fy + top + height // 2))

    def click(self, control):
        x, y = self.centre(control)
        self.x.click(self.window, x, y)

    def on_screen(self, control):
        """The centre of a control in screen coordinates, for Input."""
        left, top = self.x.geometry(self.window)[:2]
        x, y = self.centre(control)
        return left + x, top + y

    def choose_port(self, n):
        """Comm Port menu, item n, with real clicks."""
        self.x.click(self.window, 30, self.menu_height() // 2)
        menu = wait_for(lambda: [w for w in self.x.windows(".*", self.process.pid)
                                 if w != self.window and (g := self.x.geometry(w)) and g[3] > 60
                                 and g[2] < 300], 5, "the Comm Port menu")[0]
        item_height = (self.x.geometry(menu)[3] - 4) // 4
        self.x.click(menu, 20, 2 + item_height * (n - 1) + item_height // 2)

    def find_dialog(self, dialog, timeout=5.0):
        """A result dialog, found by its place on the screen."""
        want = (px(dialog["at"][0]), px(dialog["at"][1]))

        def find():
            for w in self.x.windows(".*", self.process.pid):
                g = self.x.geometry(w)
                if g and (g[0], g[1]) == want and g[2] == 312:
                    return w
            return None
        return self._wait_for(find, timeout, f"the dialog at {want}")

    def dialog_shown(self, dialog):
        want = (px(dialog["at"][0]), px(dialog["at"][1]))
        return any((g := self.x.geometry(w)) and (g[0], g[1]) == want
                   for w in self.x.windows(".*", self.process.pid))

    def close_dialog(self, dialog, window):
        ok = dialog["ok"]
        self.x.click(window, px(ok[0]), px(ok[1]))
        wait_for(lambda: window not in self.x.windows(".*", self.process.pid), 5,
                 "the dialog to close")

    def type(self, window, key):
        """A real key press (X key name) into one of our windows, focused first."""
        self.x.key(window, key)

    def find_message_box(self, timeout=5.0):
        """The message box: titled "Tolvane" like the keypad, but not keypad-sized."""
        def find():
            for w in self.x.windows("^Tolvane$", self.process.pid):
                g = self.x.geometry(w)
                if g and not (g[2] == 457 and g[3] > CLIENT_HEIGHT):
                    return w
            return None
        return self._wait_for(find, timeout, "a message box")

    def dismiss_message_box(self, box):
        self.x.key(box, "Return")
        wait_for(lambda: box not in self.x.windows(".*", self.process.pid), 5,
                 "the message box to close")

    def close(self, timeout=5.0):
        """Closes the keypad window as the window system's close control does."""
        self.x.close_window(self.window)
        return self.wait_exit(timeout)

    def wait_exit(self, timeout=5.0):
        try:
            self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            remove_locks(self.process.pid)
            raise
        return self.process.returncode

    def stderr(self):
        """All of standard error, once the program has ended."""
        if self.process.poll() is None:
            return ""
        self._log_reader.join(timeout=5)
        return "\n".join(self.log())

    def end(self):
        """Kills the program if it still runs and closes its pipe."""
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
            remove_locks(self.process.pid)
        self._log_reader.join(timeout=5)
        self.process.stderr.close()


class Scene:
    """Display, projector and panel for one test, torn down in reverse."""

    def __init__(self, projector_options=(), start_projector=True, ports=None, extra_env=None,
                 panel_prefix=()):
        self.folder = tempfile.mkdtemp(prefix="tolvane-e2e-")
        self.link = os.path.join(self.folder, "projector")
        self.display = Display()
        self.projector = None
        if start_projector:
            self.projector = Projector(binary("TOLVANE_PROJECTOR"), self.link, *projector_options)
        ports = {1: self.link} if ports is None else ports
        self.panel = Panel(binary("TOLVANE_PANEL"), self.display, ports, extra_env, panel_prefix)

    def close(self):
        self.panel.end()
        if self.projector:
            self.projector.stop()
        self.display.close()
        shutil.rmtree(self.folder, ignore_errors=True)
