"""Resident memory of the panel over 1,000 answered checks, each dialog closed with Enter, in a
private X server.

Run through `bench/run.sh --dialogs`. Comm1 is a pseudo-terminal that the bench holds and
answers each probe on; the pointer rests on Check Connection, every check is a click through
XTEST, and every responding dialog is closed with the Return key through XTEST once it is
mapped. With --output, the section below replaces the one of the same title in that file, or
is added at its end.
"""
import os
import sys

from Xlib import X, XK
from Xlib.ext import xtest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

import bench  # noqa: E402
from harness import PROBE  # noqa: E402

TITLE = "## Result dialogs shown again and again"
DIALOGS = 1000
SAMPLES_AT = (200, 400, 600, 800, 1000)


def rss_kib(pid):
    return bench.status_kib(pid, "VmRSS")


def close_with_enter(b, dialog):
    d = b.screen.d
    d.set_input_focus(dialog, X.RevertToParent, X.CurrentTime)
    code = d.keysym_to_keycode(XK.string_to_keysym("Return"))
    xtest.fake_input(d, X.KeyPress, code)
    xtest.fake_input(d, X.KeyRelease, code)
    d.flush()


def answered_check(b):
    """Clicks Check Connection, answers the probe, closes the dialog with Enter."""
    probe = bytes.fromhex(PROBE)
    mark = len(b.screen.events)
    b.line.take()
    b.screen.click()
    b.screen.flush()
    b.pump(lambda: len(b.line.received) >= len(probe), 5, "the probe")
    if b.line.take() != probe:
        raise RuntimeError("the probe was not the probe frame")
    os.write(b.line.controller, bench.REPLY)
    _, dialog = b.next_map(mark, timeout=5, what="the responding dialog")
    close_with_enter(b, dialog)
    b.wait_unmap(dialog, mark)
    del b.screen.events[:]  # bounded over 1,000 dialogs


def measure(args):
    b = bench.Bench(args)
    failed = True
    try:
        process, window, _ = b.start(args.panel)
        try:
            b.wait_idle(process.pid)
            b.screen.move(*b.key_centres(window)["CHECK_CONNECTION"])
            b.pause(bench.SETTLE_S)
            rss = [(0, rss_kib(process.pid))]
            for n in range(1, DIALOGS + 1):
                answered_check(b)
                if n in SAMPLES_AT:
                    b.wait_idle(process.pid)
                    rss.append((n, rss_kib(process.pid)))
            hwm = bench.status_kib(process.pid, "VmHWM")
        finally:
            b.stop(process, window)
        failed = False
        return rss, hwm
    finally:
        b.close(failed)


def run(args):
    results = []
    for r in range(args.runs):
        print(f"bench: run {r + 1} of {args.runs}", file=sys.stderr, flush=True)
        results.append(measure(args))
    return results


def section(results, args, started, others):
    mib = lambda kib: f"{kib / 1024:.1f} MiB"  # noqa: E731
    points = [n for n, _ in results[0][0]]
    rows = ""
    for i, n in enumerate(points):
        values = [rss[i][1] for rss, _ in results]
        rows += f"| {'at start' if n == 0 else f'after {n}'} | {mib(bench.median(values))} | " \
                f"{bench.spread(values, mib)} |\n"
    growth = [(rss[-1][1] - rss[1][1]) / (points[-1] - points[1]) for rss, _ in results]
    hwm = [h for _, h in results]
    return (f"{TITLE}\n\n"
            f"Measured by `bench/run.sh --dialogs` on {started:%Y-%m-%d %H:%M} UTC: {args.runs} "
            f"runs of {DIALOGS} answered checks, each responding dialog closed with Enter; other "
            f"processes used {others:.0%} of the machine's CPU time while it ran.\n\n"
            f"| resident memory (VmRSS) | median | range |\n|---|---|---|\n{rows}\n"
            f"From the {points[1]}th dialog to the {points[-1]}th: "
            f"{bench.median(growth):.2f} KiB a dialog (median); peak (VmHWM) "
            f"{mib(bench.median(hwm))}.\n\n"
            f"The pointer rests on Check Connection; each check is a click through XTEST, the "
            f"bench answers the probe on Comm1 (its pseudo-terminal) with one byte, and once the "
            f"dialog is mapped it gets the input focus and a Return key through XTEST; the next "
            f"check starts when the dialog is unmapped. VmRSS is read from /proc/<pid>/status "
            f"once the panel has used no CPU for 0.3 s.\n")


def main():
    return bench.section_main(__doc__, TITLE, run, section)


if __name__ == "__main__":
    sys.exit(main())
