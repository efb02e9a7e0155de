"""Measures tolvane-send from process start to the last byte of one key at the far end, side by
side with a bare Qt Core program (bench/baseline/send_baseline.cpp) that opens the same
pseudo-terminal with QSerialPort at 9600 8N1 and writes the same bytes.

Run through bench/run.sh, which builds the programs first. The bench holds the controller end of
a pseudo-terminal; Comm1 (TOLVANE_COM1) is its terminal end, Comm2 to Comm4 name paths that do
not exist. Each start is timed with time.monotonic() from just before the process is spawned to
the moment the last of the key's bytes is read, and its CPU time (user and system) is taken from
wait4(); the bytes read must be exactly the key's two frames. The programs take turns, so a busy
spell of the machine falls on all of them. tolvane-send runs without a session bus (neither
DBUS_SESSION_BUS_ADDRESS nor a bus in XDG_RUNTIME_DIR), with --direct and without, and, where
dbus-daemon is installed, on a private session bus that no panel is on. With --linked, the
baseline linked also to the libraries tolvane-send's module loads takes its turn; with --before, an
earlier build of tolvane-send takes its turns too (no bus, with --direct and without). With
--output, the section below replaces the one of the same title in that file, or is added at its
end.
"""
import argparse
import datetime
import os
import select
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import tty

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

from harness import KEY_FRAMES, LEAD_INS  # noqa: E402

KEY = "mVolume"
PLAIN = "volume"
TARGET = 1.2
SECTION = "## tolvane-send"
READ_TIMEOUT_S = 10


def timed_start(command, env, master, expected, errors):
    """(ms from just before the start to the last expected byte read, ms of CPU time)."""
    actions = [(os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0),
               (os.POSIX_SPAWN_DUP2, errors.fileno(), 2)]
    errors.seek(0)
    errors.truncate()
    start = time.monotonic()
    pid = os.posix_spawn(command[0], command, env, file_actions=actions)
    got = b""
    deadline = start + READ_TIMEOUT_S
    while len(got) < len(expected):
        ready, _, _ = select.select([master], [], [], max(0, deadline - time.monotonic()))
        if not ready:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            raise RuntimeError(f"{command}: {len(got)} of {len(expected)} bytes came")
        got += os.read(master, 4096)
    took = time.monotonic() - start
    _, status, usage = os.wait4(pid, 0)
    if status != 0 or got != expected:
        errors.seek(0)
        raise RuntimeError(f"{command}: status {status}, read {got.hex(' ')}: {errors.read()}")
    return took * 1000, (usage.ru_utime + usage.ru_stime) * 1000


def private_bus():
    """A session bus of the bench's own (dbus-daemon), or None where there is none to start."""
    if not shutil.which("dbus-daemon"):
        return None
    daemon = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    return daemon, daemon.stdout.readline().strip()


def measure(args):
    master, slave = os.openpty()
    tty.setraw(master)
    device = os.ttyname(slave)  # kept open, so the controller end never reads EIO
    expected = bytes.fromhex(LEAD_INS[KEY]) + bytes.fromhex(KEY_FRAMES[KEY])
    folder = tempfile.mkdtemp(prefix="tolvane-send-bench-")
    no_bus = {k: v for k, v in os.environ.items()
              if k not in ("DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR")}
    no_bus.update({f"TOLVANE_COM{n}": os.path.join(folder, f"no-com{n}") for n in range(2, 5)},
                  TOLVANE_COM1=device)
    bus = private_bus()
    rows = {"baseline": ([args.baseline, device, expected.hex()], no_bus)}
    if args.linked:
        rows["linked"] = ([args.linked, device, expected.hex()], no_bus)
    rows["--direct, no session bus"] = ([args.send, "--direct", PLAIN], no_bus)
    rows["no session bus"] = ([args.send, PLAIN], no_bus)
    if bus:
        rows["a session bus, no panel on it"] = (
            [args.send, PLAIN], dict(no_bus, DBUS_SESSION_BUS_ADDRESS=bus[1]))
    if args.before:
        rows[f"{args.before_name}, --direct, no session bus"] = (
            [args.before, "--direct", PLAIN], no_bus)
        rows[f"{args.before_name}, no session bus"] = ([args.before, PLAIN], no_bus)
    times = {name: [] for name in rows}
    try:
        with tempfile.TemporaryFile(mode="w+") as errors:
            for command, env in rows.values():  # one unmeasured start each
                timed_start(command, env, master, expected, errors)
            for _ in range(args.runs):
                for name, (command, env) in rows.items():
                    times[name].append(timed_start(command, env, master, expected, errors))
    finally:
        if bus:
            bus[0].terminate()
            bus[0].wait()
        os.close(master)
        os.close(slave)
        shutil.rmtree(folder, ignore_errors=True)
    return times, len(expected)


def report(times, size, args, load):
    med = lambda values, i: statistics.median(v[i] for v in values)  # noqa: E731
    base_wall, base_cpu = med(times["baseline"], 0), med(times["baseline"], 1)
    table = []
    for name, values in times.items():
        wall, cpu = med(values, 0), med(values, 1)
        program = {"baseline": "baseline (bench/baseline/send_baseline)",
                   "linked": "baseline linked also to Qt Network and Qt D-Bus, as tolvane-send "
                             "was before its module (send_baseline_linked)"}.get(
                                 name, f"tolvane-send {PLAIN}: {name}")
        ratios = ("–", "–") if name == "baseline" else (
            f"{wall / base_wall:.2f} ×", f"{cpu / base_cpu:.2f} ×")
        table.append(f"| {program} | {wall:.1f} ms | {min(v[0] for v in values):.1f}–"
                     f"{max(v[0] for v in values):.1f} ms | {ratios[0]} | {cpu:.1f} ms | "
                     f"{ratios[1]} |")
    when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    return "\n".join([
        SECTION,
        "",
        f"Measured by `bench/run.sh` (bench/send_bench.py) on {when}: {args.runs} "
        f"starts of each, taking turns, after one unmeasured start each; load average {load[0]} "
        f"before, {load[1]} after. Target: tolvane-send --direct within {TARGET} × the "
        "baseline's wall time.",
        "",
        f"| program | process start to last byte of one key ({size} bytes) at the far end "
        "(median) | range | ratio | CPU time (median) | ratio |",
        "|---|---|---|---|---|---|",
        *table,
        "",
        "Comm1 (TOLVANE_COM1) is a pseudo-terminal whose controller end the bench holds; Comm2 to "
        "Comm4 name paths that do not exist. The baseline is a bare Qt Core program that opens "
        "the same pseudo-terminal with QSerialPort at 9600 8N1, writes the same bytes and waits "
        "until they are written. Wall time runs from just before the process is spawned to the "
        "moment the bench reads the key frame's last byte at the controller end (the bytes read "
        "must be the key's two frames); CPU time is the process's user and system time, to its "
        "end. tolvane-send also checks the key name, takes the port's locks and drains the line "
        "before it ends, which the baseline does not. Rerun with `bench/run.sh --send-only`; "
        "to set an earlier build beside this one, see bench/README.md.",
        "",
    ])


def write_section(path, text):
    """Replaces this bench's section (from its heading to the next one), or adds it at the end."""
    try:
        with open(path, encoding="utf-8") as f:
            page = f.read()
    except FileNotFoundError:
        page = "# Benchmarks\n"
    at = page.find(SECTION + "\n")
    if at < 0:
        page = page.rstrip("\n") + "\n\n" + text
    else:
        end = page.find("\n## ", at + len(SECTION))
        page = page[:at] + text + ("" if end < 0 else page[end:])
    partial = path + ".partial"
    with open(partial, "w", encoding="utf-8") as f:
        f.write(page)
    os.replace(partial, path)


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--send", required=True)
    parser.add_argument("--baseline", required=True)
    parser.add_argument("--linked", help="the baseline linked also to Qt Network and Qt D-Bus")
    parser.add_argument("--before", help="an earlier build of tolvane-send, measured in turn too")
    parser.add_argument("--before-name", default="earlier build",
                        help="what the earlier build is, for its rows (a commit, say)")
    parser.add_argument("--runs", type=int, default=100)
    parser.add_argument("--output", help="also write the section into this markdown file")
    args = parser.parse_args()
    if args.runs < 1:
        parser.error("--runs must be at least 1")
    for program in (args.send, args.baseline, args.linked, args.before):
        if program and not os.access(program, os.X_OK):
            parser.error(f"not a program: {program}")
    before = load_average()
    times, size = measure(args)
    text = report(times, size, args, (before, load_average()))
    print(text)
    if args.output:
        write_section(args.output, text)
        print(f"bench: wrote {args.output}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
