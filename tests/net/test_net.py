"""Serial device servers: the real panel on a Comm item that names ser2net, raw TCP and RFC 2217,
with the simulated projector on the terminal ser2net drives; and a Telnet server that misbehaves.

ser2net runs with its own configuration on free 127.0.0.1 ports and is stopped by each test.
"""
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import termios
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))

from harness import (KEY_FRAMES, KEYS, LEAD_INS, NOT_RESPONDING, OPEN_FAILED, PROBE, RESPONDING,
                     Display, Panel, Projector, binary, cpu_seconds, parse, rss_kib,
                     wait_for)  # noqa: E402

WRITE_FAILED = "Error while writing to comm port. Ensure that a valid comm port is selected"
READ_FAILED = "Error while reading from comm port. Ensure that a valid comm port is selected"
# What ser2net sets the line to by itself; an RFC 2217 client must change it. (A pseudo-terminal
# is always 8 data bits without parity, so speed, stop bits and flow control tell.)
SERVER_LINE = "115200n82"


def report(text):
    print(f"\n    figure: {text}", file=sys.stderr, flush=True)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    with open("/proc/net/tcp") as f:
        return any(line.split()[1].endswith(f":{port:04X}") and line.split()[3] == "0A"
                   for line in f.readlines()[1:])


class Ser2net:
    """ser2net in the foreground, one raw and one RFC 2217 port in front of `device`."""

    def __init__(self, folder, device):
        self.ports = {"tcp": free_port(), "rfc2217": free_port()}
        config = os.path.join(folder, "ser2net.yaml")
        with open(config, "w") as f:
            for scheme, accepter in (("tcp", "tcp"), ("rfc2217", "telnet(rfc2217),tcp")):
                f.write(f"connection: &{scheme}\n"
                        f"  accepter: {accepter},127.0.0.1,{self.ports[scheme]}\n"
                        f"  connector: serialdev,{device},{SERVER_LINE},rtscts,local\n"
                        f"  options:\n    kickolduser: true\n")
        self.log = tempfile.TemporaryFile(mode="w+")
        self.process = subprocess.Popen(
            ["ser2net", "-n", "-u", "-c", config, "-P", os.path.join(folder, "ser2net.pid")],
            stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT)
        wait_for(lambda: all(listening(p) for p in self.ports.values())
                 or self.process.poll() is not None, 10, "ser2net to listen")
        if self.process.poll() is not None:
            self.log.seek(0)
            raise RuntimeError("ser2net did not start: " + self.log.read())

    def address(self, scheme):
        return f"{scheme}://127.0.0.1:{self.ports[scheme]}"

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=10)
        self.log.close()


class NetCase(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="tolvane-net-")
        self.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)
        self.display = Display()
        self.addCleanup(self.display.close)

    def projector(self, *options):
        projector = Projector(binary("TOLVANE_PROJECTOR"), os.path.join(self.folder, "projector"),
                              *options)
        self.addCleanup(projector.stop)
        return projector

    def server(self, projector):
        server = Ser2net(self.folder, projector.device)
        self.addCleanup(server.stop)
        return server

    def panel(self, address):
        panel = Panel(binary("TOLVANE_PANEL"), self.display, {1: address})
        self.addCleanup(panel.end)
        return panel

    def message(self, panel, text):
        box = panel.find_message_box()
        self.assertEqual(panel.messages()[-1:], [text])
        panel.dismiss_message_box(box)


class ThroughSer2net(NetCase):
    def test_every_key_arrives_exact_and_the_line_is_set(self):
        projector = self.projector()
        server = self.server(projector)
        # Raw TCP leaves the line as ser2net's configuration has it; RFC 2217 sets it.
        for scheme, line in (("tcp", (termios.B115200, True, True)),
                             ("rfc2217", (termios.B9600, False, False))):
            with self.subTest(scheme):
                panel = self.panel(server.address(scheme))
                panel.wait_window()
                fd = os.open(projector.device, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
                try:
                    attrs = termios.tcgetattr(fd)
                finally:
                    os.close(fd)
                cflag = attrs[2]
                self.assertEqual((attrs[5], bool(cflag & termios.CSTOPB),
                                  bool(cflag & termios.CRTSCTS)), line)
                self.assertEqual(cflag & (termios.CSIZE | termios.PARENB), termios.CS8)
                for key in KEYS:
                    panel.click(key)
                    lead_in, key_line = projector.next_lines(2)
                    self.assertEqual(parse(lead_in)[2], LEAD_INS[key], lead_in)
                    self.assertEqual(parse(key_line), ("key", key, KEY_FRAMES[key]))
                self.assertEqual(projector.drain(), [])
                self.assertEqual(panel.messages(), [])
                self.assertEqual(panel.close(), 0)

    def test_check_through_both(self):
        for options, dialog, result in (((), RESPONDING, "responding"),
                                        (("--silent",), NOT_RESPONDING, "not responding")):
            projector = self.projector(*options)
            server = self.server(projector)
            for scheme in ("tcp", "rfc2217"):
                with self.subTest(scheme=scheme, result=result):
                    panel = self.panel(server.address(scheme))
                    panel.wait_window()
                    panel.click("CHECK_CONNECTION")
                    self.assertEqual(parse(projector.next_lines(1)[0]), ("probe", "", PROBE))
                    panel.close_dialog(dialog, panel.find_dialog(dialog, timeout=3))
                    self.assertEqual(panel.results(), [result])
                    self.assertEqual(panel.messages(), [])
                    self.assertEqual(panel.close(), 0)
            server.stop()
            projector.stop()

    def test_server_gone_is_a_pulled_cable(self):
        for scheme in ("tcp", "rfc2217"):
            with self.subTest(scheme):
                projector = self.projector("--silent")
                server = self.server(projector)
                panel = self.panel(server.address(scheme))
                panel.wait_window()
                server.stop()
                panel.wait_log("after it failed or went away")
                before = cpu_seconds(panel.process.pid)
                time.sleep(1.0)  # a stretch in which no CPU may be spent
                spent = cpu_seconds(panel.process.pid) - before
                report(f"{scheme}: CPU time in the 1 s after ser2net stopped: {spent * 1000:.0f} ms")
                self.assertLess(spent, 0.050)
                self.assertEqual(panel.messages(), [])
                panel.click("mMute")
                self.message(panel, WRITE_FAILED)
                self.assertEqual(panel.close(), 0)

                # A check in progress when the server goes ends with the read message.
                server = self.server(projector)
                panel = self.panel(server.address(scheme))
                panel.wait_window()
                panel.click("CHECK_CONNECTION")
                projector.next_lines(1)
                server.stop()
                self.message(panel, READ_FAILED)
                self.assertEqual(panel.results(), [])
                self.assertEqual(panel.close(), 0)
                projector.stop()


class Unreachable(NetCase):
    def test_closed_port_gives_the_open_message_before_the_window(self):
        for scheme in ("tcp", "rfc2217"):
            with self.subTest(scheme):
                started = time.monotonic()
                panel = self.panel(f"{scheme}://127.0.0.1:{free_port()}")
                box = panel.find_message_box(timeout=5)
                took = time.monotonic() - started
                report(f"{scheme}: start to the open message on a closed port: {took * 1000:.0f} ms")
                self.assertLess(took, 3.5)
                self.assertEqual(panel.messages(), [OPEN_FAILED])
                self.assertIsNone(panel.window)
                panel.dismiss_message_box(box)
                panel.wait_window()
                self.assertTrue(any("Connection refused" in line for line in panel.log()),
                                panel.log())
                self.assertEqual(panel.close(), 0)

    def test_malformed_address_is_an_open_failure_with_its_reason(self):
        panel = self.panel("rfc2217://[::1:7000")
        self.message(panel, OPEN_FAILED)
        self.assertTrue(any("no ']' after the IPv6 address" in line for line in panel.log()))
        panel.wait_window()
        self.assertEqual(panel.close(), 0)


if __name__ == "__main__":
    unittest.main()
