"""What reaches the UI engine: the entry-point arguments, the plugins, and the header-bar path."""

import json
import os
import unittest

from xsession import App, BroadwaySession, XSession, wait_for

session = None


def setUpModule():
    global session
    session = XSession().start()


def tearDownModule():
    session.stop()


class Arguments(unittest.TestCase):
    def test_arguments_reach_the_ui_unchanged(self):
        cases = [
            [],
            ["one"],
            ["b", "a", "c"],
            ["with space", "", "--flag=x", "ümlaut ✓", "line\nbreak", "-"],
            # Not installed, so the updater returns and a hook argument is just an argument.
            ["--veloapp-install", "1.2.3"],
            ["pellark_app"],
            # Bytes, not text: shown with U+FFFD, handed over exactly.
            [b"\xff", b"caf\xe9", b"ok"],
        ]
        for args in cases:
            with self.subTest(args=args), App(session, args) as app:
                report = app.wait_report()
                self.assertIsNotNone(report, app.error_output())
                self.assertEqual(report["args_null"], ["0"])
                self.assertEqual(report["argc"], [str(len(args))])
                self.assertEqual(report.get("arg_hex", []), [os.fsencode(a).hex() for a in args])
                self.assertEqual([json.loads(a) for a in report.get("arg", [])],
                                 [os.fsencode(a).decode("utf-8", "replace") for a in args])


class Plugins(unittest.TestCase):
    def test_registration_order_after_realize_before_focus(self):
        with App(session) as app:
            self.assertIsNotNone(app.wait_report(), app.error_output())
            self.assertEqual(app.plugin_lines(), [
                "flutter_secure_storage_linux registrar=FlutterSecureStorageLinuxPlugin "
                "realized=1 focus=0",
                "url_launcher_linux registrar=UrlLauncherPlugin realized=1 focus=0",
            ])


class HeaderBar(unittest.TestCase):
    def test_header_bar_only_under_gnome_shell_on_x11(self):
        # The window manager's EWMH name decides, compared exactly; nothing else about it counts
        # (there is no real window manager here at all).
        cases = [("GNOME Shell", True), ("GNOME Shell ", False), ("Mutter", False),
                 ("gnome shell", False)]
        for wm_name, header_bar in cases:
            with self.subTest(wm=wm_name):
                x = XSession(wm_name).start()
                try:
                    with App(x) as app:
                        report = app.wait_report()
                        self.assertIsNotNone(report, app.error_output())
                        self.assertEqual(report["backend"], ["GdkX11Display"])
                        self.assertEqual(report["headerbar"], ["1" if header_bar else "0"])
                        self.assertEqual(report["title"], ["Pellark"])
                        if header_bar:
                            self.assertEqual(report["headerbar_title"], ["Pellark"])
                            self.assertEqual(report["headerbar_close"], ["1"])
                        windows = wait_for(lambda: x.windows(app.pid, True))
                        self.assertEqual(len(windows or []), 1)
                        # Client-side decorations ask the window manager for none of its own
                        # (Motif hints: decorations flag set, no decorations).
                        self.assertEqual(x.cardinals(windows[0], "_MOTIF_WM_HINTS"),
                                         [2, 0, 0, 0, 0] if header_bar else None)
                finally:
                    x.stop()

    def test_header_bar_without_x11(self):
        broadway = BroadwaySession().start()
        try:
            with App(broadway) as app:
                report = app.wait_report()
                self.assertIsNotNone(report, app.error_output())
                self.assertEqual(report["backend"], ["GdkBroadwayDisplay"])
                self.assertEqual(report["headerbar"], ["1"])
                self.assertEqual(report["headerbar_title"], ["Pellark"])
                self.assertEqual(report["headerbar_close"], ["1"])
                self.assertEqual(report["default_size"], ["1280x720"])
                self.assertEqual(report["visible_after_first_frame"], ["1"])
        finally:
            broadway.stop()


if __name__ == "__main__":
    unittest.main()
