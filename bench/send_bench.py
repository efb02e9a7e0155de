"""Measures tolvane-send from process start to the last byte of one key at the far end, side by
side with a bare Qt Core program (bench/baseline/send_baseline.cpp) that opens the same
pseudo-terminal with QSerialPort and writes the same bytes.

Run through bench/run.sh, which builds the programs first. The bench holds the controller end
of a pseudo-terminal; the programs open its terminal end. Each start is timed with
time.monotonic() from just before the process is created to the moment the last of the key's
bytes is read; the bytes read must be exactly the key's two frames. The two programs take turns,
so a busy spell of the machine falls on both.
"""
import argparse
import datetime
import os
import select
import statistics
import subprocess
import sys
import time
import tty

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

from harness import KEY_FRAMES, LEAD_INS  # noqa: E402

KEY = "mVolume"
PLAIN = "volume"
TARGET = 1.3
SECTION = "## tolvane-send"
READ_TIMEOUT_S = 10


def timed_start(command, master, expected):
    """Seconds from just before the start to the last expected byte read at the far end."""
    start = time.monotonic()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    got = b""
    deadline = start + READ_TIMEOUT_S
    while len(got) < len(expected):
        ready, _, _ = select.select([master], [], [], max(0, deadline - time.monotonic()))
        if not ready:
            process.kill()
            raise RuntimeError(f"{command[0]}: {len(got)} of {len(expected)} bytes came")
        got += os.read(master, 4096)
    took = time.monotonic() - start
    _, err = process.communicate(timeout=READ_TIMEOUT_S)
    if process.returncode != 0 or got != expected:
        raise RuntimeError(f"{command[0]}: status {process.returncode}, read {got.hex(' ')}: "
                           f"{err.decode(errors='replace')}")
    return took


def measure(send, baseline, runs):
    master, slave = os.openpty()
    tty.setraw(master)
    device = os.ttyname(slave)  # kept open, so the controller end never reads EIO
    expected = bytes.fromhex(LEAD_INS[KEY]) + bytes.fromhex(KEY_FRAMES[KEY])
    commands = {"tolvane-send": [send, "--port", device, PLAIN],
                "baseline": [baseline, device, expected.hex()]}
    times = {name: [] for name in commands}
    try:
        for name, command in commands.items():  # one unmeasured start each
            timed_start(command, master, expected)
        for _ in range(runs):
            for name, command in commands.items():
                times[name].append(timed_start(command, master, expected))
    finally:
        os.close(master)
        os.close(slave)
    return times, len(expected)


def report(times, size, runs, load):
    ms = {name: [t * 1000 for t in values] for name, values in times.items()}
    send, base = statistics.median(ms["tolvane-send"]), statistics.median(ms["baseline"])
    ratio = send / base
    when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    lines = [
        SECTION,
        "",
        f"Measured by `bench/run.sh` (bench/send_bench.py) on {when}: {runs} starts of each "
        f"program, taking turns, after one unmeasured start each; load average {load[0]} "
        f"before, {load[1]} after.",
        "",
        "| measure | target | tolvane-send (median) | range | baseline (median) | range | ratio |",
        "|---|---|---|---|---|---|---|",
        f"| process start to last byte of one key ({size} bytes) at the far end | "
        f"≤ {TARGET} × baseline | {send:.1f} ms | {min(ms['tolvane-send']):.1f}–"
        f"{max(ms['tolvane-send']):.1f} ms | {base:.1f} ms | {min(ms['baseline']):.1f}–"
        f"{max(ms['baseline']):.1f} ms | {ratio:.2f} × |",
        "",
        f"`tolvane-send --port PTY {PLAIN}` against bench/baseline/send_baseline.cpp, a bare Qt "
        "Core program that opens the same pseudo-terminal with QSerialPort and writes the same "
        "bytes. Timed from just before the process is created to the moment the bench reads the "
        "key frame's last byte at the controller end; the bytes read must be the key's two "
        "frames. tolvane-send also checks the key name, takes the port's locks and drains "
        "the line before it ends, which the baseline does not.",
        "",
    ]
    return "\n".join(lines), ratio


def write_section(path, text):
    """Replaces this bench's section (from its heading to the end of the file), or adds it."""
    try:
        with open(path, encoding="utf-8") as f:
            doc = f.read()
    except FileNotFoundError:
        doc = "# Benchmarks\n\n"
    head = doc.split("\n" + SECTION + "\n")[0].rstrip("\n") + "\n\n"
    partial = path + ".partial"
    with open(partial, "w", encoding="utf-8") as f:
        f.write(head + text)
    os.replace(partial, path)


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--send", required=True)
    parser.add_argument("--baseline", required=True)
    parser.add_argument("--runs", type=int, default=100)
    parser.add_argument("--output", help="also write the section into this markdown file")
    args = parser.parse_args()
    if args.runs < 1:
        parser.error("--runs must be at least 1")
    for program in (args.send, args.baseline):
        if not os.access(program, os.X_OK):
            parser.error(f"not a program: {program}")
    before = load_average()
    times, size = measure(args.send, args.baseline, args.runs)
    text, ratio = report(times, size, args.runs, (before, load_average()))
    print(text)
    if args.output:
        write_section(args.output, text)
        print(f"bench: wrote {args.output}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
