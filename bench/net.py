"""Click to last byte through ser2net, raw TCP and RFC 2217, beside the same click on a direct
pseudo-terminal, in a private X server.

Run through `bench/run.sh --net`. The bench holds the controller end of a pseudo-terminal; the
panel's Comm1 is either its terminal end (direct) or an address of ser2net, which drives that
terminal end. The three take turns in every run, so a change in the machine's load touches all
alike. With --output, the section below replaces the one of the same title in that file, or is
added at its end.
"""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(HERE, "..", "tests", "net"))

import bench  # noqa: E402
from test_net import Ser2net  # noqa: E402

TITLE = "## Through a serial device server"
MODES = ("direct", "tcp", "rfc2217")


class NetBench(bench.Bench):
    comm1 = None

    def env(self):
        env = super().env()
        if self.comm1:
            env["TOLVANE_COM1"] = self.comm1
        return env


def run(args):
    results = {mode: {"click_ms": []} for mode in MODES}
    b = NetBench(args)
    server = Ser2net(b.folder, b.line.path)
    failed = True
    try:
        for r in range(args.runs):
            print(f"bench: run {r + 1} of {args.runs}", file=sys.stderr, flush=True)
            for mode in MODES:
                b.comm1 = None if mode == "direct" else server.address(mode)
                process, window, _, _ = b.start_and_size_up(args.panel)
                try:
                    b.timed_clicks(b.key_centres(window), results[mode])
                finally:
                    b.stop(process, window)
        failed = False
    finally:
        server.stop()
        b.close(failed)
    return {mode: values["click_ms"] for mode, values in results.items()}


def section(clicks, args, started, others):
    ms = lambda v: f"{v:.2f} ms"  # noqa: E731
    direct = bench.median(clicks["direct"])
    names = {"direct": "direct pseudo-terminal", "tcp": "ser2net, raw TCP (tcp://)",
             "rfc2217": "ser2net, RFC 2217 (rfc2217://)"}
    rows = "".join(
        f"| {names[mode]} | {ms(bench.median(v))} | {bench.spread(v, ms)} | "
        f"{'–' if mode == 'direct' else '+' + ms(bench.median(v) - direct)} | {len(v)} |\n"
        for mode, v in clicks.items())
    load = (f"other processes used {others:.0%} of the machine's CPU time while it ran"
            + (" (busy: times are higher than on a quiet machine)" if others >= 0.1 else ""))
    return (f"{TITLE}\n\n"
            f"Measured by `bench/run.sh --net` on {started:%Y-%m-%d %H:%M} UTC: {args.runs} runs; "
            f"in each the panel starts three times in turn, Comm1 being the bench's "
            f"pseudo-terminal itself, then ser2net's raw TCP port, then its RFC 2217 port (both "
            f"on 127.0.0.1, driving that pseudo-terminal), and every key is clicked once. "
            f"Target: within 2 ms of the direct figure; {load}.\n\n"
            f"| Comm1 | click (XTEST) to last byte at the far end (median) | range "
            f"| beyond direct | samples |\n|---|---|---|---|---|\n{rows}\n"
            f"Taken as the click figure above: the pointer rests on the key 50 ms, the click "
            f"goes through XTEST, the time runs until the key frame's last byte is read at the "
            f"controller end of the pseudo-terminal, and the bytes read must be the key's two "
            f"frames exactly (so every 0xFF doubled on the way to ser2net came out single).\n")


def main():
    return bench.section_main(__doc__, TITLE, run, section)


if __name__ == "__main__":
    sys.exit(main())
