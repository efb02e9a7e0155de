"""A press over the session bus to the last byte on the line, beside a click's, in a private X
server and on a private session bus.

Run through `bench/run.sh --bus`. The panel's Comm1 is a pseudo-terminal that the bench holds.
In every run the panel starts once; every key is clicked once and pressed once over the bus
(Press with that one name), in turns, so a change in the machine's load touches both alike.
The call is made from a thread of the bench that waits for its reply, while the main thread
watches the line: the time runs from just before the call is handed to that thread to the key
frame's last byte read at the far end. With --output, the section below replaces the one of the
same title in that file, or is added at its end.
"""
import os
import queue
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True

import dbus  # noqa: E402

import bench  # noqa: E402
import harness  # noqa: E402

TITLE = "## Through the session bus"
NAME = "io.github.tolvane.Tolvane"
PATH = "/io/github/tolvane/Tolvane"


class BusBench(bench.Bench):
    address = None

    def env(self):
        env = super().env()
        env["DBUS_SESSION_BUS_ADDRESS"] = self.address
        return env


class Caller:
    """A thread that makes each Press call it is handed and waits for the reply."""

    def __init__(self, address):
        self.connection = dbus.bus.BusConnection(address)
        self.requests, self.replies = queue.Queue(), queue.Queue()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while (key := self.requests.get()) is not None:
            try:
                panel = self.connection.get_object(NAME, PATH, introspect=False)
                panel.Press([key], dbus_interface=NAME)
                self.replies.put(None)
            except dbus.DBusException as e:
                self.replies.put(e)

    def wait_for_panel(self):
        harness.wait_for(lambda: self.connection.name_has_owner(NAME), 10, "the panel's bus name")

    def close(self):
        self.requests.put(None)
        self.thread.join(timeout=10)
        self.connection.close()


def timed_presses(b, caller, results):
    for key in harness.KEYS:
        b.pause(bench.SETTLE_S)
        b.line.take()
        want = bench.frames_for(key)
        t0 = time.monotonic()
        caller.requests.put(key)
        b.pump(lambda: len(b.line.received) >= len(want), 5, f"the frames of {key}")
        results.append((b.line.last_byte_at - t0) * 1e3)
        error = caller.replies.get(timeout=10)
        if error is not None:
            raise RuntimeError(f"Press {key}: {error}")
        got = b.line.take()
        if got != want:
            raise RuntimeError(f"{key}: sent {got.hex(' ')}, expected {want.hex(' ')}")


def run(args):
    results = {"click": [], "bus": []}
    bus = harness.SessionBus()
    b = BusBench(args)
    b.address = bus.address
    caller = Caller(bus.address)
    failed = True
    try:
        for r in range(args.runs):
            print(f"bench: run {r + 1} of {args.runs}", file=sys.stderr, flush=True)
            process, window, _, _ = b.start_and_size_up(args.panel)
            try:
                caller.wait_for_panel()
                clicks = {"click_ms": []}
                b.timed_clicks(b.key_centres(window), clicks)
                results["click"] += clicks["click_ms"]
                timed_presses(b, caller, results["bus"])
            finally:
                b.stop(process, window)
        failed = False
    finally:
        caller.close()
        b.close(failed)
        bus.close()
    return results


def section(results, args, started, others):
    ms = lambda v: f"{v:.2f} ms"  # noqa: E731
    click = bench.median(results["click"])
    names = {"click": "click (XTEST)", "bus": "Press over the session bus"}
    rows = "".join(
        f"| {names[kind]} | {ms(bench.median(v))} | {bench.spread(v, ms)} | "
        f"{'–' if kind == 'click' else f'{bench.median(v) - click:+.2f} ms'} | {len(v)} |\n"
        for kind, v in results.items())
    load = (f"other processes used {others:.0%} of the machine's CPU time while it ran"
            + (" (busy: times are higher than on a quiet machine)" if others >= 0.1 else ""))
    return (f"{TITLE}\n\n"
            f"Measured by `bench/run.sh --bus` on {started:%Y-%m-%d %H:%M} UTC: {args.runs} runs; "
            f"in each the panel starts once on a private session bus, with Comm1 the bench's "
            f"pseudo-terminal, and every key is clicked once and then pressed once over the bus. "
            f"Target: a press over the bus within 2 ms of a click; {load}.\n\n"
            f"| press | to last byte at the far end (median) | range | beside a click "
            f"| samples |\n|---|---|---|---|---|\n{rows}\n"
            f"The click is taken as above. A press over the bus is a call of Press with the "
            f"key's one name, made by a thread of the bench (dbus-python) that waits for the "
            f"reply; the time runs from just before the call is handed to that thread until the "
            f"key frame's last byte is read at the controller end, and the bytes read must be "
            f"the key's two frames exactly. The call goes through the bus daemon both ways, and "
            f"the panel asks the daemon for the caller's user before it presses.\n")


def main():
    return bench.section_main(__doc__, TITLE, run, section)


if __name__ == "__main__":
    sys.exit(main())
