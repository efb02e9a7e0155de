"""CPU time of the panel over 10 s of retrying a lost port, a local device and a network address,
in a private X server.

Run through `bench/run.sh --retry`. Device: Comm1 is socat's pseudo-terminal behind a link of the
bench's own; socat ends, and the panel tries the name twice a second. Network: Comm1 is a
tcp:// address on 127.0.0.1 whose listener accepts the panel once and then closes, so every try
is refused. With --output, the section below replaces the one of the same title in that file, or
is added at its end.
"""
import os
import socket
import sys
import tempfile
import shutil
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

import bench  # noqa: E402
from harness import Display, Panel, Socat  # noqa: E402

TITLE = "## Retrying a lost port"


def is_try(line):
    """A quiet try in the panel's debug log: a device open that failed, or a connection begun."""
    return "cannot open COM1" in line or ("connecting to" in line and line.endswith(" again"))
WINDOW_S = 10.0
MODES = ("device", "network")


def lose(mode, folder):
    """The Comm1 name, and what takes the port away once the panel has it open."""
    if mode == "device":
        socat = Socat(os.path.join(folder, "projector"))
        return socat.link, socat.stop
    listener = socket.create_server(("127.0.0.1", 0))
    address = f"tcp://127.0.0.1:{listener.getsockname()[1]}"

    def close():
        conn, _ = listener.accept()
        conn.close()
        listener.close()  # every later try is refused
    return address, close


def measure(mode, panel_program, display):
    folder = tempfile.mkdtemp(prefix="tolvane-bench-")
    try:
        name, take_away = lose(mode, folder)
        panel = Panel(panel_program, display, {1: name},
                      {"QT_LOGGING_RULES": "tolvane.ui.debug=true;tolvane.serial.debug=true"})
        try:
            panel.wait_window()
            take_away()
            panel.wait_log("lost COM1")
            before, start = bench.cpu_ns(panel.process.pid), time.monotonic()
            tries_before = sum(map(is_try, panel.log()))
            time.sleep(WINDOW_S)  # the stretch measured
            spent_ms = (bench.cpu_ns(panel.process.pid) - before) / 1e6
            took = time.monotonic() - start
            tries = sum(map(is_try, panel.log())) - tries_before
            if panel.messages():
                raise RuntimeError(f"the panel showed {panel.messages()} while it retried")
            return spent_ms * WINDOW_S / took, tries
        finally:
            panel.end()
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def section(results, args, started, others):
    names = {"device": "a device (socat's pseudo-terminal ended; tried every 500 ms)",
             "network": "a network address (tcp://, refused; pauses 1 s, 2 s, 4 s, ...)"}
    ms = lambda v: f"{v:.1f} ms"  # noqa: E731
    rows = "".join(
        f"| {names[mode]} | {ms(bench.median([c for c, _ in r]))} | "
        f"{bench.spread([c for c, _ in r], ms)} | "
        f"{100 * bench.median([c for c, _ in r]) / (WINDOW_S * 1000):.3f} % | "
        f"{bench.median([t for _, t in r]):.0f} | {len(r)} |\n"
        for mode, r in results.items())
    return (f"{TITLE}\n\n"
            f"Measured by `bench/run.sh --retry` on {started:%Y-%m-%d %H:%M} UTC: {args.runs} runs "
            f"of each; other processes used {others:.0%} of the machine's CPU time while it ran.\n\n"
            f"| port lost | CPU time over 10 s of retrying (median) | range | of one core "
            f"| tries in the 10 s | samples |\n|---|---|---|---|---|---|\n{rows}\n"
            f"User plus system time of all the panel's threads (/proc/<pid>/task/*/schedstat) "
            f"over the 10 s after the panel logged the loss, scaled to exactly 10 s; the tries "
            f"are its failed quiet opens (for the address, the connections it began), counted "
            f"from its debug log. No message was shown.\n")


def run(args):
    display = Display()
    results = {mode: [] for mode in MODES}
    try:
        for r in range(args.runs):
            print(f"bench: run {r + 1} of {args.runs}", file=sys.stderr, flush=True)
            for mode in MODES:
                results[mode].append(measure(mode, args.panel, display))
    finally:
        display.close()
    return results


def main():
    return bench.section_main(__doc__, TITLE, run, section)


if __name__ == "__main__":
    sys.exit(main())
