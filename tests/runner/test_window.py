"""The main window under a real X server and window manager (Xvfb + openbox)."""

import os
import re
import struct
import subprocess
import tempfile
import unittest
import zlib

from xsession import App, SessionBus, XSession, preload, wait_for

SOURCE_DIR = os.environ.get("PELLARK_SOURCE_DIR", "")
REFUSE_REGISTER = os.environ.get("PELLARK_REFUSE_REGISTER", "")
BACKGROUND = (0x0B, 0x0E, 0x17)
session = None


def setUpModule():
    global session
    session = XSession().start()


def tearDownModule():
    session.stop()


def png_argb(path):
    """Pixels of our icon as _NET_WM_ICON cardinals (ARGB). Our encoder writes filter 0 only."""
    with open(path, "rb") as f:
        data = f.read()
    pos, idat, width, height = 8, b"", 0, 0
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height = struct.unpack(">II", body[:8])
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    raw = zlib.decompress(idat)
    stride = width * 4 + 1
    pixels = []
    for y in range(height):
        row = raw[y * stride:(y + 1) * stride]
        assert row[0] == 0, "unexpected PNG filter"
        for x in range(width):
            r, g, b, a = row[1 + 4 * x:5 + 4 * x]
            pixels.append((a << 24) | (r << 16) | (g << 8) | b)
    return width, height, pixels


class MainWindow(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.app = App(session, ["first", "second"])
        cls.report = cls.app.wait_report()
        cls.window = None
        if cls.report is not None:
            found = wait_for(lambda: session.windows(cls.app.pid, True))
            cls.window = found[0] if found else None

    @classmethod
    def tearDownClass(cls):
        cls.app.close()

    def setUp(self):
        self.assertIsNotNone(self.report, "no first frame: " + self.app.error_output())
        self.assertIsNotNone(self.window, "no visible window")

    def prop(self, name):
        return session.run("xprop", "-id", str(self.window), name)

    def test_plain_title_with_server_side_decorations(self):
        self.assertIn('WM_NAME(STRING) = "Pellark"', self.prop("WM_NAME"))
        self.assertIn('"Pellark"', self.prop("_NET_WM_NAME"))
        self.assertIn('"com.pellark.desktop"', self.prop("WM_CLASS"))
        self.assertEqual(self.report["headerbar"], ["0"])
        # Client-side decorations would announce their shadow extents; openbox frames instead.
        self.assertIsNone(session.cardinals(self.window, "_GTK_FRAME_EXTENTS"))
        extents = session.cardinals(self.window, "_NET_FRAME_EXTENTS")
        self.assertIsNotNone(extents, "not framed by the window manager")
        self.assertEqual(len(extents), 4)
        self.assertGreater(extents[2], 0, "no title bar drawn by the window manager")
        tree = session.run("xwininfo", "-tree", "-id", str(self.window))
        root = re.search(r"Root window id: (0x[0-9a-f]+)", tree).group(1)
        parent = re.search(r"Parent window id: (0x[0-9a-f]+)", tree).group(1)
        self.assertNotEqual(parent, root, "not reparented into a window-manager frame")

    def test_default_size(self):
        info = session.run("xwininfo", "-id", str(self.window))
        self.assertRegex(info, r"Width: 1280\n")
        self.assertRegex(info, r"Height: 720\n")

    def test_icon_is_ours(self):
        values = session.cardinals(self.window, "_NET_WM_ICON")
        self.assertIsNotNone(values, "no _NET_WM_ICON")
        width, height, pixels = png_argb(os.path.join(SOURCE_DIR, "runner", "pellark.png"))
        pos, found = 0, None
        while pos + 2 <= len(values):
            w, h = values[pos], values[pos + 1]
            if (w, h) == (width, height):
                found = values[pos + 2:pos + 2 + w * h]
                break
            pos += 2 + w * h
        self.assertIsNotNone(found, "no %dx%d icon in _NET_WM_ICON" % (width, height))
        opaque = [i for i, p in enumerate(pixels) if p >> 24 == 0xFF]
        self.assertGreater(len(opaque), 1000)
        self.assertEqual([found[i] for i in opaque], [pixels[i] for i in opaque])

    def test_background_colour(self):
        with tempfile.TemporaryDirectory() as tmp:
            shot = os.path.join(tmp, "shot.rgb")
            session.run("import", "-window", str(self.window), "-depth", "8", "rgb:" + shot,
                        check=True)
            with open(shot, "rb") as f:
                data = f.read()
        self.assertEqual(len(data), 1280 * 720 * 3)

        def at(x, y):
            i = (y * 1280 + x) * 3
            return tuple(data[i:i + 3])

        for x, y in ((2, 2), (1277, 2), (2, 717), (1277, 717), (640, 600)):
            with self.subTest(x=x, y=y):
                self.assertEqual(at(x, y), BACKGROUND)
        # The frame is not just background: the UI program drew its text into it.
        self.assertGreater(sum(1 for i in range(0, len(data), 3) if tuple(data[i:i + 3]) != BACKGROUND),
                           500)

    def test_focus_and_first_frame_report(self):
        self.assertEqual(self.report["visible_before_first_frame"], ["0"])
        self.assertEqual(self.report["visible_after_first_frame"], ["1"])
        self.assertEqual(self.report["backend"], ["GdkX11Display"])
        self.assertEqual(self.report["icon_name"], ["com.pellark.desktop"])

    def test_view_holds_keyboard_focus(self):
        # Before the first frame the window is not shown yet: showing a window without a focus
        # widget picks one by itself, so only this state shows that the view was given it.
        self.assertEqual(self.report["focus_before_first_frame"], ["1"])
        self.assertEqual(self.report["focus_after_first_frame"], ["1"])
        # And the window has the server's input focus, so key presses go to the view.
        self.assertTrue(wait_for(
            lambda: session.run("xdotool", "getwindowfocus").split() == [str(self.window)]))


class FirstFrame(unittest.TestCase):
    def test_window_mapped_only_with_first_frame(self):
        with App(session, extra_env={"PELLARK_UI_FIRST_FRAME_DELAY_MS": "4000"}) as app:
            # The window exists (realised) well before the engine has a frame...
            windows = wait_for(lambda: session.windows(app.pid, False))
            self.assertEqual(len(windows or []), 1, "no single main window")
            window = windows[0]
            states = []
            while len(states) < 10:
                state = session.map_state(window)
                # A sample counts only if the frame had still not come once it was taken.
                if os.path.exists(app.report_path) or app.process.poll() is not None:
                    break
                states.append(state)
            self.assertTrue(states, "first frame came before the window could be observed")
            self.assertEqual(set(states), {"IsUnMapped"})
            # ...and is shown as soon as the frame is there.
            self.assertIsNotNone(app.wait_report())
            self.assertTrue(wait_for(lambda: session.map_state(window) == "IsViewable"))

    def test_no_frame_no_window(self):
        with App(session, extra_env={"PELLARK_UI_FIRST_FRAME_DELAY_MS": "600000"}) as app:
            self.assertTrue(wait_for(lambda: session.windows(app.pid, False)))
            self.assertIsNone(wait_for(lambda: session.windows(app.pid, True), timeout=2.0))
            self.assertIsNone(app.process.poll())


class RegistrationFailure(unittest.TestCase):
    def test_warning_status_1_and_no_window(self):
        env = dict(preload(REFUSE_REGISTER), PELLARK_REGISTER_ERROR="refused for the test")
        with App(session, ["x"], extra_env=env) as app:
            self.assertEqual(app.wait_exit(), 1, app.error_output())
            # GLib's own line for a warning without a log domain.
            self.assertRegex(
                app.error_output(),
                r"\A\n?\*\* \(com\.pellark\.desktop:%d\): WARNING \*\*: [0-9:.]+: "
                r"Failed to register: refused for the test\n\Z" % app.pid)
            # Not activated: no window was built, so no plugin was registered and no frame drawn.
            self.assertEqual(app.plugin_lines(), [])
            self.assertFalse(os.path.exists(app.report_path))


class TwoStarts(unittest.TestCase):
    def setUp(self):
        self.bus = SessionBus().start()
        self.addCleanup(self.bus.stop)

    def test_two_processes_two_windows(self):
        # On a session bus, so that single-instance forwarding would show here.
        with App(session, ["one"], extra_env=self.bus.env()) as a, \
                App(session, ["two"], extra_env=self.bus.env()) as b:
            self.assertIsNotNone(a.wait_report())
            self.assertIsNotNone(b.wait_report())
            wa = wait_for(lambda: session.windows(a.pid, True))
            wb = wait_for(lambda: session.windows(b.pid, True))
            self.assertEqual(len(wa or []), 1)
            self.assertEqual(len(wb or []), 1)
            self.assertNotEqual(wa, wb)
            self.assertIsNone(a.process.poll())
            self.assertIsNone(b.process.poll())
            self.assertEqual(a.wait_report()["arg"], ['"one"'])
            self.assertEqual(b.wait_report()["arg"], ['"two"'])


if __name__ == "__main__":
    unittest.main()
