"""Measures the panel against a bare Qt window and against the wire, in a private X server.

Run through bench/run.sh, which builds the programs first. Every time is taken in this one
process with time.monotonic(), as close to the event as it can be seen from outside:
  - X events (a window mapped) through a connection of our own that watches the root window;
  - bytes on the line at the controller end of a pseudo-terminal that we hold, the panel's
    Comm1 being its other end;
  - clicks made through XTEST, the same way a real pointer's are delivered.
One loop waits on both the X connection and the terminal, so neither hides the other.
"""
import argparse
import datetime
import os
import platform
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import tty

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # no __pycache__ left in the source tree
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

from Xlib import X, display as xdisplay, protocol  # noqa: E402
from Xlib.ext import xtest  # noqa: E402

import harness  # noqa: E402
from harness import KEY_FRAMES, LEAD_INS, PROBE  # noqa: E402

REPLY = b"\x06"
BURST_CLICKS = 500
# Pauses that let the panel go idle between two timed actions, so each starts from rest.
SETTLE_S = 0.05
IDLE_QUIET_S = 0.3
STOP_TIMEOUT_S = 10
# The section that bench/net.py writes into the same file.
NET_TITLE = "## Through a serial device server"


def frames_for(key):
    return bytes.fromhex(LEAD_INS[key]) + bytes.fromhex(KEY_FRAMES[key])


def cpu_ns(pid):
    """CPU time of every thread of a live process, in nanoseconds (/proc/<pid>/task/*/schedstat)."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            pass
    return total


def status_kib(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/{pid}/status")


class Line:
    """A pseudo-terminal: the panel opens its terminal end, we read and write the other."""

    def __init__(self):
        self.controller, self.terminal = os.openpty()
        tty.setraw(self.terminal)
        self.path = os.ttyname(self.terminal)
        os.set_blocking(self.controller, False)
        # We keep the terminal end open as well, so the panel closing it never hangs the line up.
        self.received = bytearray()
        self.last_byte_at = None

    def read_ready(self):
        while True:
            try:
                chunk = os.read(self.controller, 4096)
            except BlockingIOError:
                return
            if not chunk:
                return
            self.received += chunk
            self.last_byte_at = time.monotonic()

    def take(self):
        got = bytes(self.received)
        self.received.clear()
        return got

    def close(self):
        os.close(self.controller)
        os.close(self.terminal)


class Screen:
    """Our connection to the private X server: map events of top-level windows, XTEST input."""

    def __init__(self, name):
        self.d = xdisplay.Display(name)
        self.root = self.d.screen().root
        self.root.change_attributes(event_mask=X.SubstructureNotifyMask)
        self.d.sync()
        self.events = []  # (time, type, window id)

    def read_ready(self):
        while self.d.pending_events():
            e = self.d.next_event()
            now = time.monotonic()
            # Menus and other pop-ups are override-redirect: not top-level windows of interest.
            if (e.type == X.MapNotify and not e.override) or e.type == X.UnmapNotify:
                self.events.append((now, e.type, e.window.id))

    def origin(self, window):
        g = self.d.create_resource_object("window", window).get_geometry()
        return g.x, g.y, g.width, g.height

    def move(self, x, y):
        xtest.fake_input(self.d, X.MotionNotify, x=x, y=y)
        self.d.sync()

    def click(self, x=None, y=None):
        """Queues a click (with a move first when x, y are given); sent at the next flush."""
        if x is not None:
            xtest.fake_input(self.d, X.MotionNotify, x=x, y=y)
        xtest.fake_input(self.d, X.ButtonPress, 1)
        xtest.fake_input(self.d, X.ButtonRelease, 1)

    def flush(self):
        self.d.flush()

    def close_window(self, window):
        """Asks a window to close (WM_DELETE_WINDOW)."""
        w = self.d.create_resource_object("window", window)
        event = protocol.event.ClientMessage(
            window=w, client_type=self.d.intern_atom("WM_PROTOCOLS"),
            data=(32, [self.d.intern_atom("WM_DELETE_WINDOW"), X.CurrentTime, 0, 0, 0]))
        w.send_event(event, event_mask=X.NoEventMask)
        self.d.flush()

    def close(self):
        self.d.close()


class Bench:
    def __init__(self, args):
        self.args = args
        self.folder = tempfile.mkdtemp(prefix="tolvane-bench-")
        self.display = harness.Display()
        self.screen = Screen(self.display.name)
        self.line = Line()

    def close(self, failed=False):
        self.screen.close()
        self.line.close()
        self.display.close()
        if failed:
            # What the programs printed helps to tell why.
            for name in sorted(os.listdir(self.folder)):
                if name.endswith(".log"):
                    with open(os.path.join(self.folder, name), errors="replace") as f:
                        tail = f.read()[-2000:]
                    if tail.strip():
                        print(f"bench: {name}:\n{tail}", file=sys.stderr)
        shutil.rmtree(self.folder, ignore_errors=True)

    # Waiting on the X connection and the line at once.
    def pump(self, until, timeout, what):
        deadline = time.monotonic() + timeout
        while True:
            self.screen.read_ready()
            self.line.read_ready()
            value = until()
            if value:
                return value
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise TimeoutError(f"timed out after {timeout}s waiting for {what}")
            select.select([self.screen.d.fileno(), self.line.controller], [], [], remaining)

    def pause(self, seconds):
        try:
            self.pump(lambda: False, seconds, "a pause")
        except TimeoutError:
            pass

    def next_map(self, since_index, timeout=10.0, what="a window to be mapped"):
        def find():
            for t, kind, window in self.screen.events[since_index:]:
                if kind == X.MapNotify:
                    return t, window
            return None
        return self.pump(find, timeout, what)

    def wait_unmap(self, window, since_index, timeout=5.0):
        self.pump(lambda: any(k == X.UnmapNotify and w == window
                              for _, k, w in self.screen.events[since_index:]),
                  timeout, "a window to be unmapped")

    def wait_idle(self, pid, quiet=IDLE_QUIET_S, timeout=10.0):
        """Until the process has used no CPU for `quiet` seconds."""
        deadline = time.monotonic() + timeout
        last, since = cpu_ns(pid), time.monotonic()
        while time.monotonic() < deadline:
            self.pause(0.05)
            now = cpu_ns(pid)
            if now != last:
                last, since = now, time.monotonic()
            elif time.monotonic() - since >= quiet:
                return
        raise TimeoutError("the program never went idle")

    # Programs.
    def env(self):
        env = dict(os.environ, DISPLAY=self.display.name)
        env.pop("QT_QPA_PLATFORM", None)
        env.pop("QT_LOGGING_RULES", None)
        # Comm1 is our line; the others name paths in our own folder that do not exist.
        env["TOLVANE_COM1"] = self.line.path
        for n in range(2, 5):
            env[f"TOLVANE_COM{n}"] = os.path.join(self.folder, f"no-com{n}")
        return env

    def start(self, program):
        """Starts a program and returns (process, top-level window, seconds to its map)."""
        self.screen.events.clear()
        log = open(os.path.join(self.folder, os.path.basename(program) + ".log"), "ab")
        t0 = time.monotonic()
        process = subprocess.Popen([program], env=self.env(), stdout=log, stderr=log)
        log.close()
        t_map, window = self.next_map(0, what=f"{os.path.basename(program)}'s window")
        return process, window, t_map - t0

    def stop(self, process, window):
        """Closes the program's window as a window manager's close control does, so that it
        ends the usual way: a panel killed instead leaves its port's lock file behind, and
        the next start would pay for clearing it."""
        if process.poll() is None:
            self.screen.close_window(window)
            try:
                process.wait(timeout=STOP_TIMEOUT_S)
            except subprocess.TimeoutExpired:
                print(f"bench: {process.args[0]} did not end when its window was closed",
                      file=sys.stderr)
                process.send_signal(signal.SIGTERM)
                process.wait(timeout=STOP_TIMEOUT_S)
            if process.returncode != 0:
                print(f"bench: {process.args[0]} ended with status {process.returncode}",
                      file=sys.stderr)
        self.line.read_ready()
        self.line.take()

    def start_and_size_up(self, program):
        """(process, window, start seconds, VmHWM KiB once idle)."""
        process, window, seconds = self.start(program)
        self.wait_idle(process.pid)
        return process, window, seconds, status_kib(process.pid, "VmHWM")

    # The panel's keys.
    def key_centres(self, window):
        x, y, _, height = self.screen.origin(window)
        menu = height - harness.CLIENT_HEIGHT
        centres = {}
        for name, (frame, left, top, width, h) in harness.CONTROLS.items():
            fx, fy = harness.FRAMES[frame]
            centres[name] = (x + harness.px(fx + left + width // 2),
                             y + menu + harness.px(fy + top + h // 2))
        return centres

    def timed_clicks(self, centres, results):
        """Each key once: from the click to the last byte of its key frame on the line."""
        for key in harness.KEYS:
            self.screen.move(*centres[key])
            self.pause(SETTLE_S)
            self.line.take()
            want = frames_for(key)
            t0 = time.monotonic()
            self.screen.click()
            self.screen.flush()
            self.pump(lambda: len(self.line.received) >= len(want), 5, f"the frames of {key}")
            results["click_ms"].append((self.line.last_byte_at - t0) * 1e3)
            got = self.line.take()
            if got != want:
                raise RuntimeError(f"{key}: sent {got.hex(' ')}, expected {want.hex(' ')}")

    def check(self, centres, pid, answer):
        """One Check Connection: (seconds from the probe, or from the reply when `answer`, to
        the result dialog's map; CPU nanoseconds the panel used from the click to the map)."""
        self.screen.move(*centres["CHECK_CONNECTION"])
        self.pause(SETTLE_S)
        self.line.take()
        probe = bytes.fromhex(PROBE)
        mark = len(self.screen.events)
        cpu0 = cpu_ns(pid)
        self.screen.click()
        self.screen.flush()
        self.pump(lambda: len(self.line.received) >= len(probe), 5, "the probe")
        t_probe = self.line.last_byte_at
        if self.line.take() != probe:
            raise RuntimeError("the probe was not the probe frame")
        t_reply = None
        if answer:
            os.write(self.line.controller, REPLY)
            t_reply = time.monotonic()
        t_map, dialog = self.next_map(mark, timeout=5, what="the result dialog")
        cpu = cpu_ns(pid) - cpu0
        x, y, _, _ = self.screen.origin(dialog)
        expected = harness.RESPONDING if answer else harness.NOT_RESPONDING
        if (x, y) != (harness.px(expected["at"][0]), harness.px(expected["at"][1])):
            raise RuntimeError(f"{'an answered' if answer else 'an unanswered'} check showed "
                               f"the wrong dialog (at {x},{y})")
        # Close it with its OK button, as a user would.
        self.pause(SETTLE_S)
        ok = expected["ok"]
        self.screen.click(x + harness.px(ok[0]), y + harness.px(ok[1]))
        self.screen.flush()
        self.wait_unmap(dialog, mark)
        return (t_map - (t_reply if answer else t_probe)), cpu

    def send_burst(self, centres, clicks):
        """Clicks `clicks` keys (the 36 in turn) as fast as XTEST takes them.

        Returns when the clicks were sent and the bytes they should put on the line."""
        keys = [harness.KEYS[i % len(harness.KEYS)] for i in range(clicks)]
        self.line.take()
        t0 = time.monotonic()
        for key in keys:
            self.screen.click(*centres[key])
        self.screen.flush()
        return t0, keys, b"".join(frames_for(k) for k in keys)

    def burst(self, centres, clicks):
        """A burst on our line: (seconds to its last byte, the bytes read, the bytes expected)."""
        t0, _, want = self.send_burst(centres, clicks)
        try:
            self.pump(lambda: len(self.line.received) >= len(want), 60, "the burst's bytes")
        except TimeoutError:
            pass
        end = self.line.last_byte_at
        # Bytes beyond those expected would be a fault too: give them a moment to show.
        self.pause(0.2)
        got = self.line.take()
        return (end - t0) if end else float("nan"), got, want


def median(values):
    return statistics.median(values) if values else float("nan")


def spread(values, fmt):
    return f"{fmt(min(values))}–{fmt(max(values))}" if values else "–"


def run(args):
    results = {k: [] for k in ("start_s", "base_start_s", "hwm_kib", "base_hwm_kib", "click_ms",
                               "check_cpu_ms", "timeout_ms", "reply_ms", "burst_s")}
    burst_faults = []
    bench = Bench(args)
    failed = True
    try:
        # One unmeasured start of each, so both find the same warm caches.
        for program in (args.panel, args.baseline):
            process, window, _, _ = bench.start_and_size_up(program)
            bench.stop(process, window)

        for r in range(args.runs):
            print(f"bench: run {r + 1} of {args.runs}", file=sys.stderr, flush=True)
            # Starts take turns, so a change in the machine's load touches both alike; the
            # panel's last start goes on to the rest of the run.
            for k in range(args.starts):
                process, window, seconds, hwm = bench.start_and_size_up(args.baseline)
                bench.stop(process, window)
                results["base_start_s"].append(seconds)
                results["base_hwm_kib"].append(hwm)
                process, window, seconds, hwm = bench.start_and_size_up(args.panel)
                results["start_s"].append(seconds)
                results["hwm_kib"].append(hwm)
                if k < args.starts - 1:
                    bench.stop(process, window)
            try:
                centres = bench.key_centres(window)
                bench.timed_clicks(centres, results)
                for _ in range(args.checks):
                    latency, cpu = bench.check(centres, process.pid, answer=False)
                    results["timeout_ms"].append(latency * 1e3)
                    results["check_cpu_ms"].append(cpu / 1e6)
                for _ in range(args.checks):
                    latency, _ = bench.check(centres, process.pid, answer=True)
                    results["reply_ms"].append(latency * 1e3)
                bench.wait_idle(process.pid)
                seconds, got, want = bench.burst(centres, args.burst)
                results["burst_s"].append(seconds)
                if got != want:
                    burst_faults.append(f"run {r + 1}: {len(got)} of {len(want)} bytes, "
                                        f"{'in order' if want.startswith(got) else 'differing'}")
            finally:
                bench.stop(process, window)
        simulator_note, fault = simulator_burst(bench, args)
        if fault:
            burst_faults.append(fault)
        failed = False
    finally:
        bench.close(failed)
    return results, burst_faults, simulator_note


def simulator_burst(bench, args):
    """One more burst with tolvane-projector at the far end: does its decoder see every frame
    as clicked? Returns (note, fault or None)."""
    link = os.path.join(bench.folder, "projector")
    projector = harness.Projector(args.projector, link)
    saved = bench.line.path
    bench.line.path = link
    try:
        process, window, _, _ = bench.start_and_size_up(args.panel)
        try:
            _, keys, want = bench.send_burst(bench.key_centres(window), args.burst)
            lines = projector.next_lines(2 * len(keys), timeout=60)
            lines += projector.drain(0.3)
        finally:
            bench.stop(process, window)
    finally:
        bench.line.path = saved
        projector.stop()
    frames = [harness.parse(line) for line in lines]
    keys_seen = [name for kind, name, _ in frames if kind == "key"]
    wire = bytes.fromhex(" ".join(hex_text for _, _, hex_text in frames))
    bad = sum(1 for kind, _, _ in frames if kind not in ("lead-in", "key"))
    note = (f"tolvane-projector, at the far end of one more burst, decoded {len(frames)} "
            f"frames ({len(wire)} bytes), {bad} of them bad")
    if keys_seen == keys and wire == want and not bad:
        return note + ": every frame as clicked.", None
    return note + ": NOT the frames clicked.", "tolvane-projector did not see the frames clicked"


class MachineShare:
    """How much of the machine's CPU time went to processes other than the bench's own."""

    def __init__(self):
        self.start = self._sample()

    @staticmethod
    def _sample():
        with open("/proc/stat") as f:
            fields = [int(v) for v in f.readline().split()[1:9]]
        user, nice, system, idle, iowait, irq, softirq, steal = fields
        ticks = os.sysconf("SC_CLK_TCK")
        busy = (user + nice + system + irq + softirq + steal) / ticks
        mine = os.times()  # this process and every child it has waited for
        own = mine.user + mine.system + mine.children_user + mine.children_system
        return busy, busy + (idle + iowait) / ticks, own

    def others(self):
        """The share of all CPU time (0 to 1) that others used since the start."""
        busy0, total0, own0 = self.start
        busy1, total1, own1 = self._sample()
        return max(0.0, (busy1 - busy0) - (own1 - own0)) / max(total1 - total0, 1e-9)


def section_main(doc, title, run, section):
    """The command line of a bench that writes one section (`title`) of a markdown file:
    --panel, --runs, --output. run(args) measures; section(results, args, started, others)
    writes the text. Only that section of the file changes; sections around it stay."""
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("--panel", required=True)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--output", help="replace the section of this markdown file")
    args = parser.parse_args()
    if args.runs < 1:
        parser.error("--runs must be at least 1")
    started = datetime.datetime.now(datetime.timezone.utc)
    share = MachineShare()
    text = section(run(args), args, started, share.others())
    print(text)
    if args.output:
        with open(args.output) as f:
            page = f.read()
        at = page.find(title)
        if at < 0:
            page = page.rstrip("\n") + "\n\n" + text
        else:
            end = page.find("\n## ", at + len(title))
            page = page[:at] + text + ("" if end < 0 else page[end:])
        partial = args.output + ".partial"
        with open(partial, "w") as f:
            f.write(page)
        os.replace(partial, args.output)
        print(f"bench: wrote {args.output}", file=sys.stderr)
    return 0


def machine_facts():
    model, virtual = "unknown", False
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name") and model == "unknown":
                model = line.split(":", 1)[1].strip()
            elif line.startswith("flags"):
                virtual = virtual or "hypervisor" in line.split()
    package = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "libqt6core6"],
                             capture_output=True, text=True).stdout.strip()
    qt = f"{package.split('+')[0].split('-')[0]} (Debian {package})" if package else "unknown"
    return {"cpu": model + (" (virtual machine)" if virtual else ""), "cores": os.cpu_count(),
            "qt": qt, "kernel": platform.release()}


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def burst_bytes(clicks):
    return sum(len(frames_for(harness.KEYS[i % len(harness.KEYS)])) for i in range(clicks))


def table(results, args):
    r = results
    ms = lambda v: f"{v:.1f} ms"  # noqa: E731
    whole_ms = lambda v: f"{v:.0f} ms"  # noqa: E731
    mib = lambda v: f"{v / 1024:.1f} MiB"  # noqa: E731
    ratio = lambda a, b: f"{median(a) / median(b):.2f} ×"  # noqa: E731
    start = [s * 1e3 for s in r["start_s"]]
    base_start = [s * 1e3 for s in r["base_start_s"]]
    burst = [s * 1e3 for s in r["burst_s"]]
    none = ("–", "–")
    rows = [
        ("start to window mapped", "≤ 1.15 × baseline", ms(median(start)), spread(start, ms),
         ms(median(base_start)), ratio(start, base_start), len(start)),
        ("peak resident memory at idle after start (VmHWM)", "≤ 1.15 × baseline",
         mib(median(r["hwm_kib"])), spread(r["hwm_kib"], mib), mib(median(r["base_hwm_kib"])),
         ratio(r["hwm_kib"], r["base_hwm_kib"]), len(r["hwm_kib"])),
        ("click (XTEST) to last byte of the key frame at the far end", "≤ 2 ms median",
         ms(median(r["click_ms"])), spread(r["click_ms"], ms), *none, len(r["click_ms"])),
        ("CPU time of the panel over an unanswered check", "≤ 20 ms",
         ms(median(r["check_cpu_ms"])), spread(r["check_cpu_ms"], ms), *none,
         len(r["check_cpu_ms"])),
        ("probe received to not-responding dialog mapped", "1000 ms, +0 to +20 ms",
         ms(median(r["timeout_ms"])), spread(r["timeout_ms"], ms), *none,
         len(r["timeout_ms"])),
        ("reply byte sent to responding dialog mapped", "≤ 15 ms median",
         ms(median(r["reply_ms"])), spread(r["reply_ms"], ms), *none, len(r["reply_ms"])),
        (f"{args.burst}-key burst: clicks to all {burst_bytes(args.burst)} bytes received",
         "no byte lost; time reported", whole_ms(median(burst)), spread(burst, whole_ms), *none,
         len(burst)),
    ]
    head = ("| measure | target | Tolvane (median) | range | baseline (median) | ratio "
            "| samples |\n|---|---|---|---|---|---|---|\n")
    return head + "".join("| " + " | ".join(str(c) for c in row) + " |\n" for row in rows)


HOW = """\
How each figure is taken (bench/bench.py). Every time is read from one monotonic clock in
the bench, which watches the X server and the line in one loop. The programs run in a
private Xvfb (1024×768, 24 bits, no window manager); Comm1 of the panel is a
pseudo-terminal that the bench holds, Comm2 to Comm4 name paths that do not exist.

- **start to window mapped**: from just before the program is started to the X server's
  MapNotify for its top-level window, seen on the root window. The panel opens Comm1
  before it shows, as it always does. One unmeasured start of each program comes first.
- **peak resident memory**: VmHWM from /proc/<pid>/status once the program has used no CPU
  for 0.3 s after its window was mapped.
- **click to last byte**: the pointer is moved onto a key through XTEST and left there
  50 ms; then a press and a release go through XTEST, and the time runs until the key
  frame's last byte is read at the far end of the pseudo-terminal. Every key once per run;
  the bytes read must be the key's two frames. For scale: at 9600 baud a key's 24 or 25
  bytes take 25 ms on a wire, its key frame alone 12.5 ms.
- **CPU time over an unanswered check**: user plus system time of all the panel's threads
  (/proc/<pid>/task/*/schedstat, in nanoseconds) from the click on Check Connection until
  the not-responding dialog is mapped; the bench never answers the probe.
- **probe received to not-responding dialog mapped**: from reading the probe's last byte
  at the far end to the dialog's MapNotify.
- **reply byte sent to responding dialog mapped**: the bench writes one reply byte (06) as
  soon as it has read the probe; from that write to the dialog's MapNotify.
- **burst**: a pointer move and a click for each of {clicks} keys (the 36 in turn) go
  through XTEST at once; from just before the first of them to the last byte read at the
  far end. The bytes read must equal the keys' frames in click order. A pseudo-terminal
  has no baud rate, so this is the panel's own pace; at 9600 baud the same {nbytes} bytes
  take {wire:.1f} s on a wire. One more burst goes to tolvane-projector instead, whose
  decoder must see every frame as clicked.
"""


def report(results, burst_faults, simulator_note, args, facts, started, loads, others):
    text = table(results, args)
    lost = ("; ".join(burst_faults) if burst_faults
            else f"no byte lost or changed in {len(results['burst_s'])} bursts")
    load_note = (f"other processes used {others:.0%} of the machine's CPU time while it ran "
                 f"(load average {loads[0]} before, {loads[1]} after).")
    if others >= 0.1:
        load_note = ("**The machine was busy with other work**: " + load_note +
                     " Times are then higher than on a quiet machine.")
    else:
        load_note = "The machine was quiet: " + load_note
    nbytes = burst_bytes(args.burst)
    doc = (f"# Benchmarks\n\n"
           f"Measured by `bench/run.sh` on {started:%Y-%m-%d %H:%M} UTC: {args.runs} runs; each "
           f"starts the baseline window (bench/baseline/) and the panel {args.starts} times in "
           f"turn, then clicks each key once, checks the connection {2 * args.checks} times and "
           f"sends a burst.\n\n"
           f"- CPU: {facts['cpu']}, {facts['cores']} cores; Linux {facts['kernel']}\n"
           f"- Qt {facts['qt']}; Release builds\n"
           f"- {load_note}\n\n"
           f"Targets are what we aim for; this reports what was seen.\n\n"
           f"{text}\n"
           f"Burst: {lost}. {simulator_note}\n\n"
           + HOW.format(clicks=args.burst, nbytes=nbytes, wire=nbytes * 10 / 9600))
    return text, lost, load_note, doc


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--panel", required=True)
    parser.add_argument("--projector", required=True)
    parser.add_argument("--baseline", required=True)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--starts", type=int, default=5, help="starts of each program per run")
    parser.add_argument("--checks", type=int, default=2, help="checks of each kind per run")
    parser.add_argument("--burst", type=int, default=BURST_CLICKS)
    parser.add_argument("--output", help="also write the report here (markdown)")
    args = parser.parse_args()
    if min(args.runs, args.starts, args.checks, args.burst) < 1:
        parser.error("--runs, --starts, --checks and --burst must be at least 1")
    for program in (args.panel, args.projector, args.baseline):
        if not os.access(program, os.X_OK):
            parser.error(f"not a program: {program}")

    started = datetime.datetime.now(datetime.timezone.utc)
    load_before = load_average()
    share = MachineShare()
    results, burst_faults, simulator_note = run(args)
    others = share.others()
    facts = machine_facts()
    text, lost, load_note, doc = report(results, burst_faults, simulator_note, args, facts,
                                        started, (load_before, load_average()), others)
    print(text)
    print(f"Burst: {lost}. {simulator_note}")
    print(load_note.replace("**", ""))
    if args.output:
        # Written whole or not at all; the figures through a serial device server (bench/net.py)
        # are kept as they were.
        if os.path.exists(args.output):
            with open(args.output) as f:
                kept = f.read()
            at = kept.find(NET_TITLE)
            if at >= 0:
                doc = doc.rstrip("\n") + "\n\n" + kept[at:]
        partial = args.output + ".partial"
        with open(partial, "w") as f:
            f.write(doc)
        os.replace(partial, args.output)
        print(f"bench: wrote {args.output}", file=sys.stderr)
    return 1 if burst_faults else 0


if __name__ == "__main__":
    sys.exit(main())
