"""What reaches the UI engine: the entry-point arguments, the plugins, and the header-bar path."""

import json
import unittest

from xsession import App, BroadwaySession, XSession

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
        ]
        for args in cases:
            with self.subTest(args=args), App(session, args) as app:
                report = app.wait_report()
                self.assertIsNotNone(report, app.error_output())
                self.assertEqual(report["args_null"], ["0"])
                self.assertEqual(report["argc"], [str(len(args))])
                self.assertEqual([json.loads(a) for a in report.get("arg", [])], args)


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
