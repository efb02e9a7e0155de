"""The running panel on a private session bus (run under dbus-run-session): tolvane-send goes
through the panel that holds its port, presses mix with clicks in order, the check through the
panel shows no dialog, bad names send nothing, and without a bus tolvane-send opens the port."""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))

from harness import (KEY_FRAMES, LEAD_INS, NOT_RESPONDING, PROBE, RESPONDING, Panel,  # noqa: E402
                     Projector, Scene, binary, command, parse, wait_for)

NAME = "io.github.tolvane.Tolvane"
PATH = "/io/github/tolvane/Tolvane"
INTERFACE_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "data",
                              NAME + ".xml")
RESPONDING_TEXT = "Projector is Responding."
NOT_RESPONDING_TEXT = ("Projector is not responding,either it is not connected or Baud Rate is "
                       "incorrect.")
LOGGING = {"QT_LOGGING_RULES": "tolvane.ui.debug=true;tolvane.bus.debug=true"}


def bus_call(name, method, *args, interface=NAME):
    """dbus-send to a panel: (status, what it printed, both streams)."""
    result = subprocess.run([command("dbus-send"), "--session", "--print-reply", f"--dest={name}", PATH,
                             f"{interface}.{method}", *args], capture_output=True, text=True,
                            timeout=20)
    return result.returncode, result.stdout + result.stderr


def properties(name):
    status, out = bus_call(name, "GetAll", f"string:{NAME}",
                           interface="org.freedesktop.DBus.Properties")
    assert status == 0, out
    pairs = re.findall(r'string "(\w+)"\s+variant\s+(?:string "(.*)"|boolean (\w+))', out)
    return {key: text if kind == "" else kind == "true" for key, text, kind in pairs}


def members(interface):
    """Methods (argument types and directions) and properties (type, access) of an interface."""
    got = {}
    for node in interface:
        if node.tag == "method":
            got[node.get("name")] = [(a.get("type"), a.get("direction", "in"))
                                     for a in node.findall("arg")]
        elif node.tag == "property":
            got[node.get("name")] = (node.get("type"), node.get("access"))
    return got


def listening_sockets(pid):
    """Sockets of a process that listen: Unix (the __SO_ACCEPTCON flag) and TCP."""
    inodes = set()
    for fd in os.listdir(f"/proc/{pid}/fd"):
        target = os.readlink(f"/proc/{pid}/fd/{fd}")
        if target.startswith("socket:["):
            inodes.add(target[8:-1])
    found = []
    with open("/proc/net/unix") as f:
        found += [line for line in f.readlines()[1:]
                  if int(line.split()[3], 16) & 0x10000 and line.split()[6] in inodes]
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as f:
            found += [line for line in f.readlines()[1:]
                      if line.split()[3] == "0A" and line.split()[9] in inodes]
    return found


class Bus(unittest.TestCase):
    def setUp(self):
        if not os.environ.get("DBUS_SESSION_BUS_ADDRESS"):
            self.fail("run under dbus-run-session")
        self.scene = None

    def start(self, projector_options=()):
        self.scene = Scene(projector_options, extra_env=LOGGING)
        self.addCleanup(self.scene.close)
        self.scene.panel.wait_window()
        return self.scene.panel, self.scene.projector, self.bus_name(self.scene.panel)

    def bus_name(self, panel):
        return panel.wait_log("tolvane.bus: on the session bus as ").rsplit(" ", 1)[1]

    def send(self, *args, env=None):
        # Comm1 as the first panel maps it; no other item may reach a real device.
        base = dict(os.environ, TOLVANE_COM1=self.scene.link,
                    **{f"TOLVANE_COM{n}": os.path.join(self.scene.folder, f"no-com{n}")
                       for n in range(2, 5)})
        result = subprocess.run([binary("TOLVANE_SEND"), *args], env=env or base,
                                capture_output=True, text=True, timeout=60)
        return result.returncode, result.stdout, result.stderr

    def assertPresses(self, lines, keys):
        self.assertEqual([parse(line)[::2] for line in lines],
                         [pair for key in keys
                          for pair in (("lead-in", LEAD_INS[key]), ("key", KEY_FRAMES[key]))])

    def test_tolvane_send_goes_through_the_panel_holding_its_port(self):
        panel, projector, name = self.start()
        # A second panel, on a second projector, takes a name of its own.
        other = Projector(binary("TOLVANE_PROJECTOR"), os.path.join(self.scene.folder, "p2"))
        self.addCleanup(other.stop)
        second = Panel(binary("TOLVANE_PANEL"), self.scene.display, {1: other.link}, LOGGING)
        self.addCleanup(second.end)
        second.wait_window()
        self.assertEqual(name, NAME)
        self.assertEqual(self.bus_name(second), f"{NAME}.instance{second.process.pid}")
        self.assertEqual(properties(name),
                         {"CommItem": "Comm1", "Device": self.scene.link, "PortOpen": True})

        # "pts/3" names /dev/pts/3, as it would open it.
        rows = (("Comm1", projector), (self.scene.link, projector),
                (projector.device, projector), (os.path.relpath(projector.device, "/dev"), projector),
                (other.link, other))
        for port, target in rows:
            with self.subTest(port=port):
                status, _, err = self.send("--port", port, "volume", "MUTE")
                self.assertEqual(status, 0, err)
                self.assertPresses(target.next_lines(4), ["mVolume", "mMute"])
                self.assertEqual(projector.drain() + other.drain(), [])
        # --direct does not ask the panel, and the port is the panel's.
        status, _, err = self.send("--direct", "--port", self.scene.link, "mute")
        self.assertEqual(status, 1, err)
        self.assertIn("in use", err)
        self.assertEqual(projector.drain(), [])
        for p, n in ((panel, name), (second, self.bus_name(second))):
            self.assertTrue(properties(n)["PortOpen"])
            self.assertEqual(p.messages(), [])
            # The session bus connection is the panel's only socket besides the X server's,
            # and neither listens.
            self.assertEqual(listening_sockets(p.process.pid), [])

        # What the panel serves is what the installed interface file says.
        status, out = bus_call(name, "Introspect",
                               interface="org.freedesktop.DBus.Introspectable")
        self.assertEqual(status, 0, out)
        live = ET.fromstring(out[out.index("<node"):out.rindex("</node>") + len("</node>")])
        served = live.find(f"interface[@name='{NAME}']")
        described = ET.parse(INTERFACE_FILE).getroot().find(f"interface[@name='{NAME}']")
        self.assertEqual(members(served), members(described))

    def test_a_comm_switch_stops_tolvane_send_through_the_panel(self):
        """Keys sent through the panel are all for the device it held when they began: the user
        choosing Comm2 midway ends the run, and no key goes to the other port."""
        panel, projector, _ = self.start()
        env = dict(os.environ, TOLVANE_COM1=self.scene.link,
                   **{f"TOLVANE_COM{n}": os.path.join(self.scene.folder, f"no-com{n}")
                      for n in range(2, 5)})
        run = subprocess.Popen([binary("TOLVANE_SEND"), "--delay", "400", *["mute"] * 10],
                               env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        time.sleep(1.5)
        panel.choose_port(2)
        _, err = run.communicate(timeout=30)
        time.sleep(0.5)  # the last keys' frames reach the simulator
        sent = len(projector.drain()) // 2
        self.assertEqual(run.returncode, 1, err)
        self.assertTrue(0 < sent < 10, sent)
        self.assertIn(f"tolvane-send: {sent} of 10 keys sent to {self.scene.link}; the panel now "
                      "uses /nonexistent/tolvane-test-com2", err)

    def test_a_second_start_for_the_same_port_raises_the_running_panel(self):
        panel, _, _ = self.start()
        second = Panel(binary("TOLVANE_PANEL"), self.scene.display, {1: self.scene.link}, LOGGING)
        self.addCleanup(second.end)
        self.assertEqual(second.process.wait(timeout=10), 0)
        panel.wait_log("raised by a second start for the same port")
        self.assertIn("runs already", "\n".join(second.log()))
        self.assertEqual(panel.messages(), [])

    def test_a_caller_of_another_user_is_refused(self):
        """On a bus that admits every user, a call from another user presses nothing. Needs root
        to call as user nobody."""
        if os.geteuid() != 0:
            self.skipTest("needs root to call as another user")
        folder = tempfile.mkdtemp(prefix="tolvane-bus-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        os.chmod(folder, 0o755)
        config = os.path.join(folder, "bus.conf")
        with open(config, "w") as f:
            f.write(f"""<busconfig><type>session</type><listen>unix:path={folder}/bus</listen>
<auth>EXTERNAL</auth><policy context="default"><allow user="*"/><allow own="*"/>
<allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/></policy></busconfig>""")
        daemon = subprocess.Popen([command("dbus-daemon"), "--config-file", config, "--nofork"])
        self.addCleanup(daemon.wait)
        self.addCleanup(daemon.terminate)
        address = f"unix:path={folder}/bus"
        wait_for(lambda: os.path.exists(f"{folder}/bus"), 5, "the bus to listen")
        os.chmod(f"{folder}/bus", 0o777)
        self.scene = Scene(extra_env=dict(LOGGING, DBUS_SESSION_BUS_ADDRESS=address))
        self.addCleanup(self.scene.close)
        self.scene.panel.wait_window()
        name = self.bus_name(self.scene.panel)
        call = subprocess.run(
            [command("setpriv"), "--reuid=nobody", "--regid=nogroup", "--clear-groups",
             command("dbus-send"), f"--bus={address}", "--print-reply", f"--dest={name}", PATH,
             f"{NAME}.Press", "array:string:mute"], capture_output=True, text=True, timeout=20)
        self.assertNotEqual(call.returncode, 0)
        self.assertIn("only the panel's own user may use it", call.stderr)
        time.sleep(0.5)
        self.assertEqual(self.scene.projector.drain(), [])

    def test_clicks_and_bus_presses_arrive_in_the_order_given(self):
        panel, projector, name = self.start()
        steps = [("click", "mVolume"), ("bus", ["mute"]), ("bus", ["up", "mArrow_down"]),
                 ("click", "m7"), ("bus", ["star"]), ("click", "mPower_on"), ("click", "mHelp"),
                 ("bus", ["hash"])]
        controls = {"mute": "mMute", "up": "mArrow_up", "mArrow_down": "mArrow_down",
                    "star": "mAsterick", "hash": "mPound"}
        expected = []
        for kind, what in steps:
            if kind == "click":
                panel.click(what)
                expected.append(what)
                # The click is handled once its frames are out; the next step comes after it.
                wait_for(lambda: len(projector.lines.queue) >= 2 * len(expected), 5,
                         f"the frames of {what}")
            else:
                # A press returns once its frames are queued, before the next step begins.
                status, out = bus_call(name, "Press", "array:string:" + ",".join(what))
                self.assertEqual(status, 0, out)
                expected += [controls[k] for k in what]
        self.assertPresses(projector.next_lines(2 * len(expected)), expected)
        self.assertEqual(projector.drain(), [])

    def test_a_press_on_a_lagging_line_answers_once_the_keys_are_out(self):
        # The simulator stops reading, so 1000 presses (24 KB) fill the terminal's buffer. The
        # answer says how many keys went; a key that had not begun when the call failed never
        # reaches the line afterwards, whatever the simulator reads later.
        for ending, status, said in (("reads again", 0, ""),
                                     ("is pulled", 1, "Error while writing to comm port"),
                                     ("is chosen again", 1, "Error while writing to comm port"),
                                     ("stays stopped", 1, "did not take the keys within 10 s")):
            with self.subTest(ending):
                panel, projector, name = self.start()
                os.kill(projector.process.pid, signal.SIGSTOP)
                call = subprocess.Popen(
                    [command("dbus-send"), "--session", "--print-reply", f"--dest={name}", PATH,
                     f"{NAME}.Press", "array:string:" + ",".join(["mute"] * 1000)],
                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
                with self.assertRaises(subprocess.TimeoutExpired):
                    call.wait(timeout=1)
                if ending == "reads again":
                    os.kill(projector.process.pid, signal.SIGCONT)
                elif ending == "is pulled":
                    projector.process.kill()
                elif ending == "is chosen again":
                    panel.choose_port(1)
                out = call.communicate(timeout=20)[0]
                self.assertEqual(call.returncode, status, out)
                self.assertIn(said, out)
                self.assertEqual(panel.messages(), [])
                if status == 0:
                    self.assertPresses(projector.next_lines(2000), ["mMute"] * 1000)
                elif ending != "is pulled":
                    sent = int(re.search(r"\((\d+) of 1000 keys were sent\)", out).group(1))
                    self.assertLess(sent, 1000)
                    os.kill(projector.process.pid, signal.SIGCONT)
                    self.assertPresses(projector.next_lines(2 * sent), ["mMute"] * sent)
                    time.sleep(1)
                    self.assertEqual(projector.drain(), [])
                self.scene.close()

    def test_check_through_the_panel_shows_no_dialog(self):
        for options, status, text in (((), 0, RESPONDING_TEXT),
                                      (("--silent",), 3, NOT_RESPONDING_TEXT)):
            with self.subTest(options=options):
                panel, projector, _ = self.start(options)
                got, out, err = self.send("--check")
                self.assertEqual((got, out), (status, text + "\n"), err)
                self.assertEqual(parse(projector.next_lines(1)[0]), ("probe", "", PROBE))
                self.assertEqual(projector.drain(), [])
                self.assertEqual((panel.results(), panel.messages()), ([], []))
                self.assertFalse(panel.dialog_shown(RESPONDING))
                self.assertFalse(panel.dialog_shown(NOT_RESPONDING))
                if options:
                    # While Check Connection's own check waits, a check from outside is refused.
                    panel.click("CHECK_CONNECTION")
                    projector.next_lines(1)
                    got, _, err = self.send("--check")
                    self.assertEqual(got, 1, err)
                    self.assertIn("a check started in the panel is waiting", err)
                    panel.close_dialog(NOT_RESPONDING, panel.find_dialog(NOT_RESPONDING))
                    self.assertEqual(projector.drain(), [])
                self.scene.close()

    def test_a_bad_key_over_the_bus_sends_nothing(self):
        panel, projector, name = self.start()
        rows = ((["array:string:volume,volumx"], f"{NAME}.Error.UnknownKey",
                 "unknown key 'volumx' (nearest known: 'volume'); nothing was sent"),
                (["array:string:mute,\u00e9\x01"], f"{NAME}.Error.UnknownKey",
                 "unknown key '\\xC3\\xA9\\x01'"),
                (["string:volume"], "org.freedesktop.DBus.Error.UnknownMethod", "Press"))
        for args, error, said in rows:
            with self.subTest(args=args):
                status, out = bus_call(name, "Press", *args)
                self.assertNotEqual(status, 0, out)
                self.assertIn(f"Error {error}: ", out)
                self.assertIn(said, out)
        self.assertEqual(projector.drain(), [])
        self.assertEqual(panel.messages(), [])
        self.assertTrue(properties(name)["PortOpen"])

    def test_without_a_bus_tolvane_send_opens_the_port_itself(self):
        panel, projector, _ = self.start()
        address = os.environ["DBUS_SESSION_BUS_ADDRESS"]
        runtime = os.path.join(self.scene.folder, "runtime")
        os.mkdir(runtime, 0o700)
        empty = os.path.join(self.scene.folder, "empty")
        os.mkdir(empty, 0o700)
        base = dict(os.environ, TOLVANE_COM1=self.scene.link, XDG_RUNTIME_DIR=empty)
        del base["DBUS_SESSION_BUS_ADDRESS"]
        # Cron's environment has no bus address; the bus socket in XDG_RUNTIME_DIR is found.
        os.symlink(re.search(r"unix:path=([^,]+)", address).group(1),
                   os.path.join(runtime, "bus"))
        status, _, err = self.send("mute", env=dict(base, XDG_RUNTIME_DIR=runtime))
        self.assertEqual(status, 0, err)
        self.assertPresses(projector.next_lines(2), ["mMute"])
        # With no bus at all it opens the port itself: the panel holds it.
        for env in (base, dict(base, DBUS_SESSION_BUS_ADDRESS="unix:path=/nonexistent/bus")):
            with self.subTest(env=env.get("DBUS_SESSION_BUS_ADDRESS")):
                status, _, err = self.send("mute", env=env)
                self.assertEqual(status, 1, err)
                self.assertIn("in use", err)
        panel.close()
        status, _, err = self.send("mute", env=base)
        self.assertEqual(status, 0, err)
        self.assertPresses(projector.next_lines(2), ["mMute"])
        self.assertEqual(projector.drain(), [])


if __name__ == "__main__":
    unittest.main()
