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
                     Display, Panel, Projector, binary, command, cpu_seconds, parse, rss_kib,
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


def listening_sockets(pid):
    """The TCP sockets of a process that listen."""
    inodes = set()
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            target = os.readlink(f"/proc/{pid}/fd/{fd}")
        except OSError:
            continue
        if target.startswith("socket:["):
            inodes.add(target[8:-1])
    found = []
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as f:
            found += [line.split()[1] for line in f.readlines()[1:]
                      if line.split()[3] == "0A" and line.split()[9] in inodes]
    return found


class Ser2net:
    """ser2net in the foreground, one raw and one RFC 2217 port in front of `device`."""

    def __init__(self, folder, device, ports=None):
        self.ports = ports or {"tcp": free_port(), "rfc2217": free_port()}
        config = os.path.join(folder, "ser2net.yaml")
        with open(config, "w") as f:
            for scheme, accepter in (("tcp", "tcp"), ("rfc2217", "telnet(rfc2217),tcp")):
                f.write(f"connection: &{scheme}\n"
                        f"  accepter: {accepter},127.0.0.1,{self.ports[scheme]}\n"
                        f"  connector: serialdev,{device},{SERVER_LINE},rtscts,local\n"
                        f"  options:\n    kickolduser: true\n")
        self.log = tempfile.TemporaryFile(mode="w+")
        self.process = subprocess.Popen(
            [command("ser2net"), "-n", "-u", "-c", config, "-P", os.path.join(folder, "ser2net.pid")],
            stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT)
        wait_for(lambda: all(listening(p) for p in self.ports.values())
                 or self.process.poll() is not None, 10, "ser2net to listen")
        if self.process.poll() is not None:
            self.log.seek(0)
            raise RuntimeError("ser2net did not start: " + self.log.read())

    def wait_released(self, device):
        """Until ser2net has let go of the device: it refuses a connection until then."""
        def holds():
            for fd in os.listdir(f"/proc/{self.process.pid}/fd"):
                try:
                    if os.readlink(f"/proc/{self.process.pid}/fd/{fd}") == device:
                        return True
                except OSError:
                    pass
            return False
        wait_for(lambda: not holds(), 10, "ser2net to let go of the device")

    def address(self, scheme):
        return f"{scheme}://127.0.0.1:{self.ports[scheme]}"

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=10)
        self.log.close()


IAC, SB, SE, WILL, DO, COM_PORT = 255, 250, 240, 251, 253, 44


class TelnetServer:
    """A Telnet server of the test's own on a free 127.0.0.1 port, for one panel: it confirms
    the line settings, answers each probe with `reply` (bytes as on the wire), and on
    flood() sends `noise` (bytes as on the wire) as fast as the panel takes them."""

    def __init__(self, reply=b"", noise=b""):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.address = f"rfc2217://127.0.0.1:{self.listener.getsockname()[1]}"
        self.reply, self.noise = reply, noise
        self.data = bytearray()  # what the panel sent, Telnet commands taken out
        self.settings = []  # the COM-PORT-OPTION commands received, as (command, value)
        self.flooding = threading.Event()
        self.flooded = threading.Event()
        self.conn = None
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        self.conn, _ = self.listener.accept()
        self.conn.sendall(bytes([IAC, DO, COM_PORT]))
        threading.Thread(target=self._flood, daemon=True).start()
        probe, state, sub = bytes.fromhex(PROBE), "data", bytearray()
        while chunk := self.conn.recv(65536):
            for b in chunk:
                if state == "data":
                    state = "iac" if b == IAC else "data"
                    if b != IAC:
                        self.data.append(b)
                        if self.data.endswith(probe):
                            self.conn.sendall(self.reply)
                elif state == "iac":
                    state = {IAC: "data", SB: "sb"}.get(b, "option" if b >= WILL else "data")
                    if b == IAC:
                        self.data.append(b)
                elif state == "option":
                    state = "data"
                elif state in ("sb", "sbiac"):
                    if state == "sbiac" and b == SE:
                        if sub[:1] == bytes([COM_PORT]) and 1 <= sub[1] <= 5:
                            self.settings.append((sub[1], bytes(sub[2:])))
                            self.conn.sendall(bytes([IAC, SB, COM_PORT, sub[1] + 100]) +
                                              bytes(sub[2:]).replace(b"\xff", b"\xff\xff") +
                                              bytes([IAC, SE]))
                        sub, state = bytearray(), "data"
                    elif b == IAC and state == "sb":
                        state = "sbiac"
                    else:
                        sub.append(b)
                        state = "sb"

    def _flood(self):
        self.flooding.wait()
        view = memoryview(self.noise)
        for at in range(0, len(view), 65536):
            self.conn.sendall(view[at:at + 65536])
        self.flooded.set()

    def close(self):
        self.flooding.set()
        for s in (self.conn, self.listener):
            if s:
                s.close()


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

    def server(self, projector, ports=None):
        server = Ser2net(self.folder, projector.device, ports)
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
                self.assertEqual(listening_sockets(panel.process.pid), [])
                self.assertEqual(len(listening_sockets(server.process.pid)), 2)
                for key in KEYS:
                    panel.click(key)
                    lead_in, key_line = projector.next_lines(2)
                    self.assertEqual(parse(lead_in)[2], LEAD_INS[key], lead_in)
                    self.assertEqual(parse(key_line), ("key", key, KEY_FRAMES[key]))
                    if key != KEYS[0]:
                        continue
                    # The open goes on behind the window; once a key is through, the server
                    # has set the line as it was asked to.
                    fd = os.open(projector.device, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
                    try:
                        attrs = termios.tcgetattr(fd)
                    finally:
                        os.close(fd)
                    cflag = attrs[2]
                    self.assertEqual((attrs[5], bool(cflag & termios.CSTOPB),
                                      bool(cflag & termios.CRTSCTS)), line)
                    self.assertEqual(cflag & (termios.CSIZE | termios.PARENB), termios.CS8)
                self.assertEqual(projector.drain(), [])
                self.assertEqual(panel.messages(), [])
                self.assertEqual(panel.close(), 0)
                server.wait_released(projector.device)

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
                    server.wait_released(projector.device)
            server.stop()
            projector.stop()

    def test_server_gone_is_a_pulled_cable(self):
        for scheme in ("tcp", "rfc2217"):
            with self.subTest(scheme):
                projector = self.projector("--silent")
                server = self.server(projector)
                panel = self.panel(server.address(scheme))
                panel.wait_window()
                # The port opens in the background: a key that arrives says it is open.
                panel.click("mMute")
                projector.next_lines(2)
                server.stop()
                panel.wait_log("after it failed or went away")
                before = cpu_seconds(panel.process.pid)
                time.sleep(1.0)  # a stretch in which no CPU may be spent
                spent = cpu_seconds(panel.process.pid) - before
                report(f"{scheme}: CPU time in the 1 s after ser2net stopped: {spent * 1e3:.0f} ms")
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


    def test_tolvane_send_through_both(self):
        # Every key, in one run per scheme, arrives exact; the check answers through both.
        for options, status in (((), 0), (("--silent",), 3)):
            projector = self.projector(*options)
            server = self.server(projector)
            for scheme in ("tcp", "rfc2217"):
                with self.subTest(scheme=scheme, options=options):
                    env = dict(os.environ, TOLVANE_COM1=os.path.join(self.folder, "no-com1"))
                    if not options:
                        run = subprocess.run([binary("TOLVANE_SEND"), "--port",
                                              server.address(scheme), *KEYS],
                                             env=env, capture_output=True, text=True, timeout=60)
                        self.assertEqual((run.returncode, run.stderr), (0, ""))
                        for key in KEYS:
                            lead_in, key_line = projector.next_lines(2)
                            self.assertEqual(parse(lead_in)[2], LEAD_INS[key], lead_in)
                            self.assertEqual(parse(key_line), ("key", key, KEY_FRAMES[key]))
                        server.wait_released(projector.device)
                    check = subprocess.run([binary("TOLVANE_SEND"), "--check", "--port",
                                            server.address(scheme)],
                                           env=env, capture_output=True, text=True, timeout=60)
                    self.assertEqual(check.returncode, status, check.stderr)
                    self.assertEqual(parse(projector.next_lines(1)[0]), ("probe", "", PROBE))
                    self.assertEqual(projector.drain(), [])
                    server.wait_released(projector.device)
            server.stop()
            projector.stop()

    def test_server_back_is_used_again(self):
        """ser2net stops: a key shows the write message. It starts again on the same ports: the
        panel connects again by itself (its pauses grow from 1 s) and a key arrives exact, with
        no further message."""
        projector = self.projector()
        for scheme in ("tcp", "rfc2217"):
            with self.subTest(scheme):
                server = self.server(projector)
                panel = self.panel(server.address(scheme))
                panel.wait_window()
                panel.click("mMute")
                self.assertEqual(parse(projector.next_lines(2)[1]), ("key", "mMute",
                                                                     KEY_FRAMES["mMute"]))
                server.stop()
                panel.wait_log(f"lost COM1 {server.address(scheme)}")
                panel.click("mPower_off")
                self.message(panel, WRITE_FAILED)
                server = self.server(projector, server.ports)
                back = time.monotonic()
                panel.wait_log(f"reopened COM1 {server.address(scheme)}", timeout=10)
                report(f"{scheme}: connected again {(time.monotonic() - back) * 1e3:.0f} ms "
                       "after ser2net was back")
                panel.click("mVolume")
                lead_in, key_line = projector.next_lines(2)
                self.assertEqual(parse(lead_in)[2], LEAD_INS["mVolume"])
                self.assertEqual(parse(key_line), ("key", "mVolume", KEY_FRAMES["mVolume"]))
                self.assertEqual(projector.drain(), [])
                self.assertEqual(panel.messages(), [WRITE_FAILED])
                self.assertEqual(panel.close(), 0)
                server.wait_released(projector.device)
                server.stop()


class MisbehavingServer(NetCase):
    def server_for(self, **behaviour):
        server = TelnetServer(**behaviour)
        self.addCleanup(server.close)
        return server

    def test_only_data_bytes_answer_a_check(self):
        rows = (("nothing", b"", "not responding"),
                ("only Telnet commands", bytes([IAC, 241, IAC, WILL, 1, IAC, SB, COM_PORT, 107, 1,
                                                IAC, SE]), "not responding"),
                ("one data byte FF, doubled", bytes([IAC, IAC]), "responding"),
                ("one plain byte", b"\x06", "responding"))
        for name, reply, result in rows:
            with self.subTest(name):
                server = self.server_for(reply=reply)
                panel = self.panel(server.address)
                panel.wait_window()
                # Asked for on every open: 9600 baud, 8 bits, no parity, 1 stop bit, no flow
                # control. The open goes on in the background: the window may come first.
                asked = [(1, bytes.fromhex("00002580")), (2, b"\x08"), (3, b"\x01"), (4, b"\x01"),
                         (5, b"\x01")]
                wait_for(lambda: len(server.settings) >= len(asked), 5, "the line settings")
                self.assertEqual(server.settings, asked)
                panel.click("CHECK_CONNECTION")
                dialog = RESPONDING if result == "responding" else NOT_RESPONDING
                panel.close_dialog(dialog, panel.find_dialog(dialog, timeout=3))
                self.assertEqual(panel.results(), [result])
                self.assertEqual(server.data, bytes.fromhex(PROBE))
                self.assertEqual(panel.close(), 0)

    def test_tolvane_send_holds_the_connection_for_the_line(self):
        """A server may read the last bytes together with the end of the connection and drop
        them: tolvane-send holds the connection until the server's line has had the time to send
        every byte at 9600 baud, plus a margin for the server, before it ends it."""
        listener = socket.create_server(("127.0.0.1", 0))
        self.addCleanup(listener.close)
        keys = ["mute", "up", "down", "left", "right"]
        run = subprocess.Popen([binary("TOLVANE_SEND"), "--port",
                                f"tcp://127.0.0.1:{listener.getsockname()[1]}", *keys],
                               env=dict(os.environ, TOLVANE_COM1=os.path.join(self.folder, "x")),
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        conn, _ = listener.accept()
        data, last = bytearray(), None
        while chunk := conn.recv(4096):
            data += chunk
            last = time.monotonic()
        held = time.monotonic() - last
        conn.close()
        self.assertEqual(run.wait(timeout=30), 0, run.stderr.read())
        self.assertEqual(len(data), 24 * len(keys))
        # The line needs 25 ms a key (24 bytes of 10 bits); the server gets 300 ms besides.
        self.assertGreaterEqual(held, 0.3, f"the connection ended {held:.3f} s after the last byte")

    def test_floods_keep_memory_bounded_and_keys_going(self):
        sanitized = os.environ.get("TOLVANE_SANITIZED") == "1"
        rows = (("endless negotiation", bytes([IAC, WILL, 1, IAC, DO, 24]) * 1_000_000),
                ("huge subnegotiation", bytes([IAC, SB, COM_PORT]) + b"A" * 24_000_000
                 + bytes([IAC, SE])),
                ("data flood", b"\x41\xff\xff" * 4_000_000))
        for name, noise in rows:
            with self.subTest(name):
                server = self.server_for(noise=noise)
                panel = self.panel(server.address)
                panel.wait_window()
                start_kib = rss_kib(panel.process.pid)
                expected = bytearray()
                for n, key in enumerate(KEYS[:6]):
                    panel.click(key)
                    expected += bytes.fromhex(LEAD_INS[key]) + bytes.fromhex(KEY_FRAMES[key])
                    wait_for(lambda: server.data == expected, 5, f"{key} at the server")
                    # The port opens behind the window: the flood starts once a key went.
                    if n == 0:
                        server.flooding.set()
                self.assertTrue(server.flooded.wait(30), "the panel stopped taking the flood")
                grown_kib = rss_kib(panel.process.pid) - start_kib
                report(f"{name}: {len(noise) >> 20} MiB taken; resident memory grew by "
                       f"{grown_kib} KiB" + (" (sanitized build)" if sanitized else ""))
                if not sanitized:  # the sanitizer keeps freed memory in quarantine for a while
                    self.assertLess(grown_kib, 5 * 1024)
                self.assertEqual(panel.messages(), [])
                self.assertEqual(panel.close(), 0)


class Unreachable(NetCase):
    def test_closed_port_gives_the_open_message_before_the_window(self):
        # .invalid is a name that never resolves (RFC 6761).
        for address, reason in ((f"tcp://127.0.0.1:{free_port()}", "Connection refused"),
                                (f"rfc2217://127.0.0.1:{free_port()}", "Connection refused"),
                                ("rfc2217://projector.invalid:7000", "")):
            with self.subTest(address):
                started = time.monotonic()
                panel = self.panel(address)
                box = panel.find_message_box(timeout=5)
                took = time.monotonic() - started
                report(f"{address}: start to the open message: {took * 1000:.0f} ms")
                self.assertLess(took, 3.5)
                self.assertEqual(panel.messages(), [OPEN_FAILED])
                self.assertIsNone(panel.window)
                panel.dismiss_message_box(box)
                panel.wait_window()
                self.assertTrue(any(f'cannot open COM1 "{address}": {reason}' in line
                                    for line in panel.log()), panel.log())
                self.assertEqual(panel.close(), 0)

    def test_a_server_that_never_answers_is_given_up_after_three_seconds(self):
        # The connection is taken by the system's backlog, but nothing is ever said on it.
        silent = socket.create_server(("127.0.0.1", 0))
        self.addCleanup(silent.close)
        address = f"rfc2217://127.0.0.1:{silent.getsockname()[1]}"
        started = time.monotonic()
        panel = self.panel(address)
        box = panel.find_message_box(timeout=10)
        took = time.monotonic() - started
        report(f"start to the open message, server silent: {took * 1000:.0f} ms")
        self.assertGreater(took, 2.9)
        self.assertLess(took, 8)  # 3 s, and a start that may be slow under load
        self.assertEqual(panel.messages(), [OPEN_FAILED])
        self.assertTrue(any("did not confirm the line settings within 3000 ms" in line
                            for line in panel.log()), panel.log())
        panel.dismiss_message_box(box)
        panel.wait_window()
        self.assertEqual(panel.close(), 0)

    def test_a_host_that_stops_answering_holds_nothing_up(self):
        """The server's host stops answering: its queue is full, so the system drops the
        panel's connection attempts unanswered, as for a host switched off. Quiet tries never
        wait for the network; once the host answers again the panel is back by itself."""
        listener = socket.create_server(("127.0.0.1", 0), backlog=0)
        self.addCleanup(listener.close)
        address = f"tcp://127.0.0.1:{listener.getsockname()[1]}"
        panel = Panel(binary("TOLVANE_PANEL"), self.display, {1: address},
                      extra_env={"QT_LOGGING_RULES": "tolvane.ui.debug=true;"
                                                     "tolvane.serial.debug=true"})
        self.addCleanup(panel.end)
        first, _ = listener.accept()
        panel.wait_window()
        filler = socket.create_connection(listener.getsockname())
        self.addCleanup(filler.close)
        first.close()
        panel.wait_log(f"lost COM1 {address}")
        panel.wait_log(f"still connecting to {address}", timeout=10)
        self.assertFalse([line for line in panel.log() if "no connection within" in line])
        listener.accept()[0].close()  # room in the queue again
        back = time.monotonic()
        panel.wait_log(f"reopened COM1 {address}", timeout=20)
        report(f"connected again {(time.monotonic() - back) * 1e3:.0f} ms after the host "
               "answered (the system's own pace of connection attempts)")
        panel.click("mMute")
        line, _ = listener.accept()
        with line, line.makefile("rb") as stream:
            line.settimeout(5)
            got = stream.read(24)
        self.assertEqual(got.hex(" ").upper(), LEAD_INS["mMute"] + " " + KEY_FRAMES["mMute"])
        self.assertEqual(panel.messages(), [])
        self.assertEqual(panel.close(), 0)

    def test_malformed_address_is_an_open_failure_with_its_reason(self):
        panel = self.panel("rfc2217://[::1:7000")
        self.message(panel, OPEN_FAILED)
        self.assertTrue(any("no ']' after the IPv6 address" in line for line in panel.log()))
        panel.wait_window()
        self.assertEqual(panel.close(), 0)


if __name__ == "__main__":
    unittest.main()
