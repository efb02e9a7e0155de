"""End-to-end: the real panel in a real X server, real clicks, a simulated projector on a pty."""
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from harness import (KEY_FRAMES, KEYS, LEAD_INS, NOT_RESPONDING, PROBE, RESPONDING, SHORTCUTS,
                     Compositor, Display, Panel, Projector, Scene, SessionBus, Socat, binary,
                     parse, remove_locks, wait_for)

WRITE_FAILED = "Error while writing to comm port. Ensure that a valid comm port is selected"


class Keys(unittest.TestCase):
    def test_every_key_puts_its_two_frames_on_the_wire(self):
        scene = Scene()
        self.addCleanup(scene.close)
        scene.panel.wait_window()
        for key in KEYS:
            scene.panel.click(key)
            lead_in, key_line = scene.projector.next_lines(2)
            kind, _, wire = parse(lead_in)
            self.assertEqual(kind, "lead-in", lead_in)
            self.assertEqual(wire, LEAD_INS[key])
            self.assertEqual(parse(key_line), ("key", key, KEY_FRAMES[key]))
        self.assertEqual(scene.projector.drain(), [])
        self.assertEqual(scene.panel.close(), 0)


class ComesBack(unittest.TestCase):
    def test_the_port_is_used_again_once_it_is_back(self):
        """socat's pseudo-terminal behind a fixed link name (the name is all the identity a
        pseudo-terminal has). socat ends: a key shows the write message. socat starts again at
        the same name: within 1.5 s a key arrives exact at the new far end, with no message."""
        folder = tempfile.mkdtemp(prefix="tolvane-e2e-")
        self.addCleanup(shutil.rmtree, folder, True)
        link = os.path.join(folder, "projector")
        display = Display()
        self.addCleanup(display.close)
        first = Socat(link)
        self.addCleanup(first.stop)
        panel = Panel(binary("TOLVANE_PANEL"), display, {1: link})
        self.addCleanup(panel.end)
        panel.wait_window()
        frames = {key: f"{LEAD_INS[key]} {KEY_FRAMES[key]}" for key in ("mMute", "mVolume")}
        panel.click("mMute")
        self.assertEqual(first.received(len(frames["mMute"].split())), frames["mMute"])

        first.stop()
        panel.wait_log(f"lost COM1 {link}")
        panel.click("mPower_off")
        box = panel.find_message_box()
        self.assertEqual(panel.messages(), [WRITE_FAILED])
        panel.dismiss_message_box(box)

        again = Socat(link)
        self.addCleanup(again.stop)
        back = time.monotonic()
        panel.wait_log(f"reopened COM1 {link}", timeout=1.5)
        print(f"\n    figure: reopened {(time.monotonic() - back) * 1000:.0f} ms after the link "
              "was back", flush=True)
        panel.click("mVolume")
        # Exactly the key pressed now: the press made while away never arrives.
        self.assertEqual(again.received(len(frames["mVolume"].split())), frames["mVolume"])
        time.sleep(0.2)  # a stretch in which nothing more may arrive
        self.assertEqual(again.everything(), frames["mVolume"])
        self.assertEqual(panel.messages(), [WRITE_FAILED])
        self.assertEqual(panel.close(), 0)


class Keyboard(unittest.TestCase):
    def assert_frames(self, scene, key, what):
        lines = scene.projector.next_lines(2)
        self.assertEqual([parse(line) for line in lines],
                         [("lead-in", "", LEAD_INS[key]), ("key", key, KEY_FRAMES[key])], what)

    def test_shortcuts_put_their_keys_frames_on_the_wire(self):
        scene = Scene()
        self.addCleanup(scene.close)
        window = scene.panel.wait_window()
        for key, names in SHORTCUTS.items():
            for name in names:
                scene.panel.type(window, name)
                self.assert_frames(scene, key, name)
        self.assertEqual(scene.projector.drain(), [])
        self.assertEqual(scene.panel.close(), 0)


class CommPortMenu(unittest.TestCase):
    def test_the_menu_from_the_keyboard_as_a_screen_reader_finds_it(self):
        """F10 opens the Comm Port menu, whose items a screen reader finds (AT-SPI, on a private
        bus) as check boxes, only Comm1 checked; Down, Down, Enter chooses Comm2. Alt then Down
        opens it too (the style offers Alt); Escape twice leaves it. While the menu or its bar has
        the keyboard, no key reaches the projector; after that, Down presses the remote's Down."""
        bus = SessionBus()
        self.addCleanup(bus.close)
        display = Display()
        self.addCleanup(display.close)
        folder = tempfile.mkdtemp(prefix="tolvane-e2e-")
        self.addCleanup(shutil.rmtree, folder, True)
        projector = Projector(binary("TOLVANE_PROJECTOR"), os.path.join(folder, "projector"))
        self.addCleanup(projector.stop)
        panel = Panel(binary("TOLVANE_PANEL"), display, {1: projector.link, 2: projector.link},
                      {**bus.env(), "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1"})
        self.addCleanup(panel.end)
        window = panel.wait_window()
        client = os.path.join(os.path.dirname(os.path.abspath(__file__)), "atspi_client.py")

        def menu():
            done = subprocess.run(["/usr/bin/python3", client, str(panel.process.pid), "--menu"],
                                  env=dict(os.environ, **bus.env(), DISPLAY=display.name),
                                  capture_output=True, text=True, timeout=60)
            self.assertEqual(done.returncode, 0, done.stderr)
            menus = json.loads(done.stdout)["menus"]
            self.assertEqual([m["name"] for m in menus], ["Comm Port"])
            return menus[0]

        def popup_shown():
            return [w for w in panel.x.windows(".*", panel.process.pid)
                    if w != window and (g := panel.x.geometry(w)) and g[3] > 60 and g[2] < 300]

        panel.type(window, "F10")
        wait_for(popup_shown, 5, "the menu to open")
        seen = menu()
        self.assertTrue(seen["showing"])
        self.assertEqual([(i["name"], i["role"], i["checked"]) for i in seen["items"]],
                         [("Comm1", "check box", True), ("Comm2", "check box", False),
                          ("Comm3", "check box", False), ("Comm4", "check box", False)])
        for key in ("Down", "Down", "Return"):
            panel.type(window, key)
        wait_for(lambda: not popup_shown(), 5, "the menu to close")
        seen = menu()
        self.assertFalse(seen["showing"])
        self.assertEqual([i["checked"] for i in seen["items"]], [False, True, False, False])
        self.assertEqual(panel.messages(), [])

        panel.type(window, "alt")
        panel.type(window, "Down")
        wait_for(popup_shown, 5, "the menu to open after Alt")
        panel.type(window, "Escape")
        wait_for(lambda: not popup_shown(), 5, "the menu to close")
        panel.type(window, "Escape")
        self.assertEqual(projector.drain(), [])
        panel.type(window, "Down")
        self.assertEqual([parse(line) for line in projector.next_lines(2)],
                         [("lead-in", "", LEAD_INS["mArrow_down"]),
                          ("key", "mArrow_down", KEY_FRAMES["mArrow_down"])])
        self.assertEqual(panel.close(), 0)


class Wayland(unittest.TestCase):
    def test_the_panel_and_its_dialog_on_a_wayland_compositor(self):
        """On a headless weston: the window with its title and app id, as the compositor saw
        them; a result dialog (Check Connection pressed through AT-SPI, the projector silent)
        is the panel's child there, so the compositor keeps it above the panel."""
        compositor = Compositor()
        self.addCleanup(compositor.close)
        bus = SessionBus()
        self.addCleanup(bus.close)
        folder = tempfile.mkdtemp(prefix="tolvane-e2e-")
        self.addCleanup(shutil.rmtree, folder, True)
        projector = Projector(binary("TOLVANE_PROJECTOR"), os.path.join(folder, "projector"),
                              "--silent")
        self.addCleanup(projector.stop)
        env = dict(os.environ, **compositor.env(), **bus.env(), TOLVANE_COM1=projector.link,
                   QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
        env.pop("DISPLAY", None)
        for n in (2, 3, 4):
            env[f"TOLVANE_COM{n}"] = os.path.join(folder, f"no-com{n}")
        panel = subprocess.Popen([binary("TOLVANE_PANEL")], env=env, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.PIPE, text=True)
        self.addCleanup(panel.stderr.close)
        self.addCleanup(lambda: panel.poll() is None and (panel.kill(), panel.wait(),
                                                          remove_locks(panel.pid)))

        def toplevel(request):
            """The id of the toplevel that made this request, once it has."""
            for line in compositor.requests():
                match = re.search(r"xdg_toplevel@(\d+)\." + re.escape(request), line)
                if match:
                    return match.group(1)
            return None
        panel_id = wait_for(lambda: toplevel('set_title("Tolvane")') or panel.poll() is not None,
                            15, "the panel's window on the compositor")
        self.assertIsNone(panel.poll(), panel.stderr.read() if panel.poll() is not None else "")
        self.assertEqual(toplevel('set_app_id("io.github.tolvane.Tolvane")'), panel_id)
        # The compositor configured the window and the panel took it: the window is up.
        wait_for(lambda: any(".ack_configure(" in line for line in compositor.requests()), 5,
                 "the window to be configured")

        client = os.path.join(os.path.dirname(os.path.abspath(__file__)), "atspi_client.py")
        done = subprocess.run(["/usr/bin/python3", client, str(panel.pid), "Check Connection"],
                              env=dict(os.environ, **bus.env()), capture_output=True, text=True,
                              timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(parse(projector.next_lines(1)[0])[0], "probe")
        wait_for(lambda: toplevel(f"set_parent(xdg_toplevel@{panel_id})"), 5,
                 "the result dialog, child of the panel")
        panel.terminate()
        self.assertEqual(panel.wait(timeout=10), 0, panel.stderr.read()[-3000:])


class ScreenReader(unittest.TestCase):
    def test_every_button_is_named_and_press_sends_the_keys_frames(self):
        """Through AT-SPI on a private bus: 37 named push buttons; Press on "Volume" returns at
        once and puts its two frames on the line."""
        bus = SessionBus()
        self.addCleanup(bus.close)
        scene = Scene(extra_env={**bus.env(), "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1"})
        self.addCleanup(scene.close)
        scene.panel.wait_window()
        client = os.path.join(os.path.dirname(os.path.abspath(__file__)), "atspi_client.py")
        done = subprocess.run(["/usr/bin/python3", client, str(scene.panel.process.pid), "Volume"],
                              env=dict(os.environ, **bus.env(), DISPLAY=scene.display.name),
                              capture_output=True, text=True, timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr)
        seen = json.loads(done.stdout)
        self.assertEqual(len(seen["buttons"]), 37, seen["buttons"])
        self.assertTrue(all(seen["buttons"]), seen["buttons"])
        for name in ("Star", "Hash", "Volume", "Check Connection"):
            self.assertIn(name, seen["buttons"])
        self.assertTrue(seen["pressed"])
        lines = scene.projector.next_lines(2)
        self.assertEqual([parse(line) for line in lines],
                         [("lead-in", "", LEAD_INS["mVolume"]),
                          ("key", "mVolume", KEY_FRAMES["mVolume"])])
        self.assertEqual(scene.panel.close(), 0)


class Check(unittest.TestCase):
    def test_enter_and_escape_close_a_result_dialog(self):
        for dialog, options in ((RESPONDING, []), (NOT_RESPONDING, ["--silent"])):
            for name in ("Return", "Escape"):
                with self.subTest(dialog=dialog["at"], key=name):
                    scene = Scene(projector_options=options)
                    self.addCleanup(scene.close)
                    scene.panel.wait_window()
                    scene.panel.click("CHECK_CONNECTION")
                    window = scene.panel.find_dialog(dialog, timeout=3)
                    scene.panel.type(window, name)
                    pid = scene.panel.process.pid
                    wait_for(lambda: window not in scene.panel.x.windows(".*", pid), 5,
                             "the dialog to close")
                    time.sleep(1.3)  # longer than the check's wait: no second dialog comes
                    self.assertEqual(len(scene.panel.results()), 1, scene.panel.results())
                    self.assertEqual(scene.panel.close(), 0)


    def test_answering_projector_gives_the_responding_dialog(self):
        scene = Scene()
        self.addCleanup(scene.close)
        scene.panel.wait_window()
        scene.panel.click("CHECK_CONNECTION")
        self.assertEqual(parse(scene.projector.next_lines(1)[0]), ("probe", "", PROBE))
        dialog = scene.panel.find_dialog(RESPONDING, timeout=2)
        self.assertEqual(scene.panel.x.title(dialog).strip(), "")
        self.assertFalse(scene.panel.dialog_shown(NOT_RESPONDING))
        scene.panel.close_dialog(RESPONDING, dialog)
        self.assertEqual(scene.panel.close(), 0)

    def test_silent_projector_gives_the_other_dialog_after_a_second(self):
        scene = Scene(projector_options=["--silent"])
        self.addCleanup(scene.close)
        scene.panel.wait_window()
        scene.panel.click("CHECK_CONNECTION")
        scene.projector.next_lines(1)
        probe_seen = time.monotonic()
        dialog = scene.panel.find_dialog(NOT_RESPONDING, timeout=3)
        waited = time.monotonic() - probe_seen
        self.assertGreater(waited, 0.9)
        self.assertFalse(scene.panel.dialog_shown(RESPONDING))
        scene.panel.close_dialog(NOT_RESPONDING, dialog)
        # Nothing follows the one dialog.
        time.sleep(0.3)
        self.assertFalse(scene.panel.dialog_shown(RESPONDING))
        self.assertEqual(scene.panel.close(), 0)


class Stop(unittest.TestCase):
    def test_a_signal_closes_the_panel_as_its_close_control_would(self):
        """SIGTERM while the not-responding dialog is open: exit 0, the port's lock released."""
        scene = Scene(projector_options=["--silent"])
        self.addCleanup(scene.close)
        scene.panel.wait_window()
        # Named after the device, not the link it was given by.
        lock = "/var/lock/LCK.." + scene.projector.device.removeprefix("/dev/").replace("/", "_")
        if os.path.isdir("/var/lock") and os.access("/var/lock", os.W_OK):
            self.assertTrue(os.path.exists(lock), lock)
        scene.panel.click("mMute")
        scene.panel.click("CHECK_CONNECTION")
        scene.panel.find_dialog(NOT_RESPONDING, timeout=3)
        scene.panel.process.send_signal(signal.SIGTERM)
        self.assertEqual(scene.panel.wait_exit(), 0)
        self.assertFalse(os.path.exists(lock))
        kinds = [parse(line)[0] for line in scene.projector.next_lines(3)]
        self.assertEqual(kinds, ["lead-in", "key", "probe"])


    def test_under_nohup_sighup_is_ignored_and_sigterm_still_stops(self):
        scene = Scene(panel_prefix=("nohup",))
        self.addCleanup(scene.close)
        scene.panel.wait_window()
        scene.panel.process.send_signal(signal.SIGHUP)
        scene.panel.click("mMute")  # handled after the SIGHUP: the panel is still there
        self.assertEqual([parse(line)[0] for line in scene.projector.next_lines(2)],
                         ["lead-in", "key"])
        self.assertIsNone(scene.panel.process.poll())
        scene.panel.process.send_signal(signal.SIGTERM)
        self.assertEqual(scene.panel.wait_exit(), 0)


class OpenFailure(unittest.TestCase):
    def test_bad_port_gives_the_message_before_the_window(self):
        scene = Scene(start_projector=False, ports={1: "/nonexistent/tolvane-port"})
        self.addCleanup(scene.close)
        box = scene.panel.find_message_box()
        self.assertEqual(scene.panel.x.windows("^Tolvane$", scene.panel.process.pid), [box])
        scene.panel.dismiss_message_box(box)
        scene.panel.wait_window()
        self.assertEqual(scene.panel.close(), 0)
        self.assertIn("/nonexistent/tolvane-port", scene.panel.stderr())

    def test_a_signal_at_the_start_up_message_ends_the_panel_cleanly(self):
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            with self.subTest(sig.name):
                scene = Scene(start_projector=False, ports={1: "/nonexistent/tolvane-port"})
                self.addCleanup(scene.close)
                scene.panel.find_message_box()
                scene.panel.process.send_signal(sig)
                self.assertEqual(scene.panel.wait_exit(), 0)


class CommandLine(unittest.TestCase):
    def test_without_a_display(self):
        """No display: one line and exit 1; usage errors still come first, and --help answers
        whatever window-system options stand before it. A display server that is named but not
        there is no display either; any other failure to start is told in Qt's own words."""
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        no_display = "tolvane: no display: set DISPLAY or WAYLAND_DISPLAY\n"
        no_plugin = re.compile(r'^qt\.qpa\.plugin: Could not find the Qt platform plugin "bogus"'
                               r'.*\nThis application failed to start because no Qt platform '
                               r'plugin could be initialized\..*[^\n]\n$', re.DOTALL)
        for args, status, out, err in (
                ([], 1, "", no_display),
                (["--bogus"], 2, "", "tolvane: Unknown option 'bogus'. See --help.\n"),
                (["-platform", "offscreen", "--help"], 0, "Usage: ", ""),
                (["-style", "fusion", "--version"], 0, "tolvane 1.", ""),
                (["-platform", "xcb", "-display", ":59999"], 1, "", no_display),
                (["-platform", "bogus"], 1, "", no_plugin)):
            with self.subTest(args=args):
                done = subprocess.run([os.environ["TOLVANE_PANEL"], *args], env=env,
                                      capture_output=True, text=True, timeout=20)
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertTrue(done.stdout.startswith(out), done.stdout)
                if isinstance(err, re.Pattern):
                    self.assertRegex(done.stderr, err)
                else:
                    self.assertEqual(done.stderr, err)


if __name__ == "__main__":
    unittest.main()
