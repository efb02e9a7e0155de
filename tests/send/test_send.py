"""tolvane-send against the simulated projector on a pseudo-terminal: frames, bad input, the
connection check, a held port, stops between keys, and nothing lost when it exits."""
import fcntl
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))

from harness import KEY_FRAMES, KEYS, LEAD_INS, PROBE, Projector, binary, parse  # noqa: E402

# The plain names the issue gives the keys, one per control name.
PLAIN = {
    "m0": "0", "m1": "1", "m2": "2", "m3": "3", "m4": "4", "m5": "5", "m6": "6", "m7": "7",
    "m8": "8", "m9": "9", "mArrow_down": "down", "mArrow_left": "left",
    "mArrow_right": "right", "mArrow_up": "up", "mAsterick": "star", "mBrite": "brite",
    "mColour": "colour", "mContrast": "contrast", "mConv": "conv", "mDetail": "detail",
    "mEnter": "enter", "mExit": "exit", "mGeom": "geom", "mHelp": "help", "mMute": "mute",
    "mPic": "pic", "mPound": "hash", "mPower_off": "power-off", "mPower_on": "power-on",
    "mRecall": "recall", "mSource": "source", "mStandby_off": "standby-off",
    "mStandby_on": "standby-on", "mTint": "tint", "mUtil": "util", "mVolume": "volume",
}
OPEN_FAILED = "Error while opening comm port. Ensure that a valid comm port is selected"
RESPONDING = "Projector is Responding."
NOT_RESPONDING = ("Projector is not responding,either it is not connected or Baud Rate is "
                  "incorrect.")


def default_sigint():
    # A child of a shell without job control starts with SIGINT ignored, and keeps it so.
    signal.signal(signal.SIGINT, signal.SIG_DFL)


class Send(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="tolvane-send-")
        self.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)

    def projector(self, *options):
        projector = Projector(binary("TOLVANE_PROJECTOR"), os.path.join(self.folder, "p"),
                              *options)
        self.addCleanup(projector.stop)
        return projector

    def start(self, *args, program=None):
        # No Comm item may reach a real device, whatever the case leaves out.
        env = dict(os.environ, **{f"TOLVANE_COM{n}": os.path.join(self.folder, f"no-com{n}")
                                  for n in range(1, 5)})
        return subprocess.Popen([program or binary("TOLVANE_SEND"), *args], env=env, text=True,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                preexec_fn=default_sigint)

    def run_send(self, *args, timeout=60, program=None):
        process = self.start(*args, program=program)
        out, err = process.communicate(timeout=timeout)
        return process.returncode, out, err

    def assertPresses(self, lines, keys):
        """Each key's lead-in and key frame, whole and in order, and nothing else."""
        self.assertEqual(len(lines), 2 * len(keys), lines[-4:])
        for n, key in enumerate(keys):
            self.assertEqual(parse(lines[2 * n])[::2], ("lead-in", LEAD_INS[key]), key)
            self.assertEqual(parse(lines[2 * n + 1]), ("key", key, KEY_FRAMES[key]), key)

    def test_every_key_by_either_name_in_any_case(self):
        projector = self.projector()
        self.assertEqual(sorted(PLAIN), sorted(KEYS))
        for kind, names in (("control", KEYS), ("plain", [PLAIN[k] for k in KEYS])):
            with self.subTest(kind):
                # Every other name in upper case: case does not matter.
                mixed = [n.upper() if i % 2 else n for i, n in enumerate(names)]
                status, _, err = self.run_send("--port", projector.link, *mixed)
                self.assertEqual(status, 0, err)
                self.assertPresses(projector.next_lines(2 * len(KEYS)), KEYS)
                self.assertEqual(projector.drain(), [])
        status, out, _ = self.run_send("--list-keys")
        self.assertEqual(status, 0)
        rows = [line.split() for line in out.splitlines()]
        self.assertEqual({row[1]: row[0] for row in rows}, PLAIN)
        self.assertEqual({row[1]: " ".join(row[3:]) for row in rows}, KEY_FRAMES)

    def test_list_ports(self):
        projector = self.projector()
        names = {1: projector.link, 2: "tcp://127.0.0.1:1", 3: "/tmp/\x1b[31mred",
                 4: os.path.join(self.folder, "none")}
        env = dict(os.environ, **{f"TOLVANE_COM{n}": name for n, name in names.items()})
        run = subprocess.run([binary("TOLVANE_SEND"), "--list-ports"], env=env,
                             capture_output=True, text=True, timeout=30)
        self.assertEqual(run.returncode, 0, run.stderr)
        lines = run.stdout.splitlines()
        self.assertEqual(lines[0], f"Comm1  {projector.link}")
        self.assertEqual(lines[2], "Comm3  /tmp/\\x1B[31mred  (not present)")
        self.assertEqual(lines[3], f"Comm4  {names[4]}  (not present)")
        self.assertNotIn("\x1b", run.stdout)

    def test_bad_input_sends_nothing(self):
        projector = self.projector()
        link = projector.link
        rows = [
            (["--port", link, "volume", "volumx", "mute"],
             "unknown key 'volumx' (nearest known: 'volume')"),
            (["--port", link, "mPowr_on"], "nearest known: 'mPower_on'"),
            # A name like none of them suggests none.
            (["--port", link, "xyz"], "unknown key 'xyz' (no known name is close); nothing"),
            (["--port", link, "up", "\udcff\udcfe"], "unknown key '\\xFF\\xFE'"),
            (["--port", link], "no key given"),
            (["--port", link, "--delay", "60001", "up"], "--delay '60001'"),
            (["--port", link, "--delay=-1", "up"], "--delay '-1'"),
            (["--port", "Comm5", "up"], "there is no port 'Comm5'"),
            (["--port", "", "up"], "--port needs a port"),
            (["--port", link, "--bogus", "up"], "unknown option '--bogus'"),
            (["--port", link, "--check", "up"], "--check takes no keys"),
            (["--list-keys", "--direct"], "--list-keys takes no --port, --delay or --direct"),
            # Only whole option names count: no abbreviations, no bundles.
            (["--port", link, "--chec"], "unknown option '--chec'"),
            (["-hx"], "unknown option '-hx'"),
            (["--port", link, "--check=1"], "unknown option '--check=1'"),
            (["--port", link, "up", "--delay"], "--delay needs a value"),
        ]
        for args, said in rows:
            with self.subTest(args=args):
                status, out, err = self.run_send(*args)
                self.assertEqual(status, 2, err)
                self.assertIn(said, err)
                # Every line is tolvane-send's own.
                self.assertEqual(out, "")
                self.assertEqual([line for line in err.splitlines()
                                  if not line.startswith("tolvane-send: ")], [], err)
        self.assertEqual(projector.drain(), [])

    def test_check(self):
        for options, status, said in (((), 0, RESPONDING), (("--silent",), 3, NOT_RESPONDING)):
            with self.subTest(options=options):
                projector = self.projector(*options)
                got, out, err = self.run_send("--check", "--port", projector.link)
                self.assertEqual((got, out), (status, said + "\n"), err)
                self.assertEqual(parse(projector.next_lines(1)[0]), ("probe", "", PROBE))
                self.assertEqual(projector.drain(), [])
                projector.stop()

    def test_a_stop_ends_a_waiting_check(self):
        for sig, status in ((signal.SIGINT, 130), (signal.SIGTERM, 143)):
            with self.subTest(signal=sig.name):
                projector = self.projector("--silent")
                process = self.start("--check", "--port", projector.link)
                self.assertEqual(parse(projector.next_lines(1)[0]), ("probe", "", PROBE))
                process.send_signal(sig)
                out, err = process.communicate(timeout=30)
                self.assertEqual((process.returncode, out), (status, ""), err)
                self.assertEqual(err, "tolvane-send: check stopped before a result\n")
                projector.stop()

    def test_port_that_cannot_be_opened(self):
        projector = self.projector()
        # Another program holds the device, as a terminal program or a running panel would.
        holder = os.open(projector.device, os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, holder)
        fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
        # A copy of the program without the module it loads for device servers.
        alone = os.path.join(self.folder, "bin", "tolvane-send")
        os.mkdir(os.path.dirname(alone))
        shutil.copy(binary("TOLVANE_SEND"), alone)
        for args, reason, program in (
                (["--port", projector.link, "mute"], "in use", None),
                (["--check", "--port", projector.link], "in use", None),
                (["--port", "Comm2", "mute"], "no-com2", None),
                (["--direct", "--port", "tcp://127.0.0.1:1", "mute"],
                 "tcp://127.0.0.1:1: the module for device servers and the session bus cannot "
                 "be loaded: ", alone)):
            with self.subTest(args=args):
                status, _, err = self.run_send(*args, program=program)
                self.assertEqual(status, 1, err)
                message, why = err.splitlines()[-2:]
                self.assertEqual(message, OPEN_FAILED)
                self.assertIn(reason, why)
        self.assertEqual(projector.drain(), [])

    def test_a_stop_ends_between_keys(self):
        for sig, status in ((signal.SIGINT, 130), (signal.SIGTERM, 143)):
            with self.subTest(signal=sig.name):
                projector = self.projector()
                process = self.start("--port", projector.link, "--delay", "300", *KEYS[:20])
                lines = projector.next_lines(2)
                process.send_signal(sig)
                _, err = process.communicate(timeout=30)
                self.assertEqual(process.returncode, status, err)
                lines += projector.drain(quiet=0.5)
                self.assertLess(len(lines), 40)
                self.assertPresses(lines, KEYS[:len(lines) // 2])
                projector.stop()

    def test_nothing_is_lost_at_exit(self):
        """The far end stops reading; more keys than the line's buffers hold are sent. The
        program may only end once every byte has gone out, so when the far end reads again it
        gets every frame."""
        projector = self.projector()
        keys = KEYS * 100  # 3600 presses, 86 KiB: more than a pseudo-terminal buffers
        process = self.start("--port", projector.link, *keys)
        os.kill(projector.process.pid, signal.SIGSTOP)
        try:
            try:
                process.wait(timeout=1.5)  # a stretch in which the far end reads nothing
            except subprocess.TimeoutExpired:
                pass
        finally:
            os.kill(projector.process.pid, signal.SIGCONT)
        _, err = process.communicate(timeout=60)
        self.assertEqual(process.returncode, 0, err)
        self.assertPresses(projector.next_lines(2 * len(keys), timeout=60), keys)


if __name__ == "__main__":
    unittest.main()
