"""How pellark_app loads the updater: by absolute path beside itself, best-effort, before any UI."""

import json
import os
import shutil
import tempfile
import unittest

from xsession import App, XSession, copy_bundle, preload, wait_for

FAKE_UPDATER = os.environ.get("PELLARK_FAKE_UPDATER", "")
NO_ENTRY = os.environ.get("PELLARK_NO_ENTRY_LIB", "")
REAL_UPDATER = os.environ.get("PELLARK_UPDATER_LIB", "")
DLOPEN_PROBE = os.environ.get("PELLARK_DLOPEN_PROBE", "")
FAKE_IDENTITY = '{"result":{"install":false,"packageId":"fake","version":"9.9.9"}}'
session = None


def setUpModule():
    global session
    session = XSession().start()


def tearDownModule():
    session.stop()


class Loading(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="pellark-loading-")
        self.log = os.path.join(self.tmp, "fake.log")

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def fake_log(self):
        if not os.path.exists(self.log):
            return []
        with open(self.log) as f:
            return f.read().splitlines()

    def start(self, updater, args=(), extra_env=None, cwd=None):
        exe = copy_bundle(os.path.join(self.tmp, "bundle"), updater)
        env = {"PELLARK_FAKE_LOG": self.log}
        env.update(extra_env or {})
        return App(session, args, executable=exe, extra_env=env, cwd=cwd)

    def test_no_library_window_opens_silently(self):
        with self.start(None) as app:
            report = app.wait_report()
            self.assertIsNotNone(report, app.error_output())
            self.assertEqual(report["updater_loaded"], ["0"])
            self.assertEqual(report["identity"], ["unavailable:no-library"])
            self.assertEqual(report["visible_after_first_frame"], ["1"])
            self.assertEqual(app.error_output(), "")

    def test_library_without_entry_stays_loaded(self):
        with self.start(NO_ENTRY) as app:
            report = app.wait_report()
            self.assertIsNotNone(report, app.error_output())
            self.assertEqual(report["visible_after_first_frame"], ["1"])
            # Loaded once by the executable; the UI found it already mapped.
            self.assertEqual(self.fake_log(), ["loaded"])
            self.assertEqual(report["updater_loaded"], ["1"])
            self.assertEqual(report["identity"], ["unavailable:no-request-channel"])
            lib = os.path.join(self.tmp, "bundle", "lib", "libpellark_updater.so")
            with open("/proc/%d/maps" % app.pid) as maps:
                self.assertIn(lib, maps.read())
            self.assertEqual(app.error_output(), "")

    def test_bootstrap_runs_once_and_ui_binds_the_same_library(self):
        with self.start(FAKE_UPDATER, ["x"]) as app:
            report = app.wait_report()
            self.assertIsNotNone(report, app.error_output())
            self.assertEqual(self.fake_log(), ["loaded", "bootstrap"])
            self.assertEqual(report["identity"], [FAKE_IDENTITY])
            self.assertEqual(report["arg"], ['"x"'])

    def test_bootstrap_ending_the_process_leaves_no_window(self):
        with self.start(FAKE_UPDATER, ["--veloapp-install", "1.0.0"],
                        {"PELLARK_FAKE_EXIT": "7"}) as app:
            self.assertEqual(app.wait_exit(), 7)
            self.assertEqual(self.fake_log(), ["loaded", "bootstrap"])
            self.assertFalse(os.path.exists(app.report_path))
            self.assertEqual(app.plugin_lines(), [])

    def test_loaded_with_exactly_rtld_now(self):
        probe_log = os.path.join(self.tmp, "dlopen.log")
        env = dict(preload(DLOPEN_PROBE), PELLARK_DLOPEN_LOG=probe_log)
        with self.start(FAKE_UPDATER, extra_env=env) as app:
            self.assertIsNotNone(app.wait_report(), app.error_output())
            self.assertEqual(self.fake_log(), ["loaded", "bootstrap"])
            with open(probe_log) as f:
                calls = [line.split(" ", 2) for line in f.read().splitlines()]
            exe = os.path.join(self.tmp, "bundle", "pellark_app")
            lib = os.path.join(self.tmp, "bundle", "lib", "libpellark_updater.so")
            # One call from the executable itself: RTLD_NOW (2) and no other flag, absolute path.
            self.assertEqual([(int(flags), file) for caller, flags, file in calls if caller == exe],
                             [(2, lib)])

    def test_bootstrap_runs_before_any_glib_object(self):
        with self.start(FAKE_UPDATER, extra_env={"PELLARK_FAKE_PROBE": "1"}) as app:
            self.assertIsNotNone(app.wait_report(), app.error_output())
            log = self.fake_log()
            # No application, window, display or engine type is registered yet, so no object of
            # them can exist; and the process is still one thread.
            self.assertEqual(log[:3], ["loaded", "bootstrap", "bootstrap types= threads=1"])
            # The same probe at the UI's first request sees them all: the empty list above is
            # not the probe failing to see anything.
            self.assertEqual(
                [line.rsplit(" ", 1)[0] for line in log[3:]],
                ["call types=GApplication,GtkApplication,MyApplication,GtkWidget,GtkWindow,"
                 "GdkDisplay,FlDartProject,FlView"])

    def test_unexpected_answers_leave_the_window_up(self):
        feed = os.path.join(self.tmp, "feed.json")
        with open(feed, "w") as f:
            json.dump([{"path": os.path.join(self.tmp, "none-full.nupkg"),
                        "release": {"displayVersion": "10.0.0"}}], f)
        answers = [
            '{"result":{"install":"yes","packageId":5,"version":["9.9.9"]}}',
            '{"result":{"install":false,"packageId":"fake","version":9}}',
            '{"result":[]}',
            '{"error":7}',
            "not json",
        ]
        for answer in answers:
            env = {"PELLARK_FAKE_ANSWER": answer, "PELLARK_RELEASE_FEED": feed,
                   "PELLARK_DEMO_DELAY_MS": "0"}
            with self.subTest(answer=answer), self.start(FAKE_UPDATER, extra_env=env) as app:
                report = app.wait_report()
                self.assertIsNotNone(report, app.error_output())
                self.assertEqual(report["identity"], [answer])
                self.assertEqual(report["visible_after_first_frame"], ["1"])
                # The update cycle on its own thread came to an end, and the process lives on.
                self.assertTrue(wait_for(lambda: "ui: status " in app.output()), app.output())
                self.assertIsNone(app.process.poll())
                self.assertEqual(app.error_output(), "")

    def test_library_path_comes_from_the_executable_only(self):
        # A decoy in the current directory and on LD_LIBRARY_PATH must not be picked up.
        decoy = os.path.join(self.tmp, "decoy")
        os.makedirs(os.path.join(decoy, "lib"))
        shutil.copy2(FAKE_UPDATER, os.path.join(decoy, "libpellark_updater.so"))
        shutil.copy2(FAKE_UPDATER, os.path.join(decoy, "lib", "libpellark_updater.so"))
        env = {"LD_LIBRARY_PATH": decoy + ":" + os.path.join(decoy, "lib")}
        with self.start(None, extra_env=env, cwd=decoy) as app:
            report = app.wait_report()
            self.assertIsNotNone(report, app.error_output())
            self.assertEqual(self.fake_log(), [])
            self.assertEqual(report["updater_loaded"], ["0"])


MANIFEST = """<?xml version="1.0" encoding="utf-8"?>
<package xmlns="http://schemas.microsoft.com/packaging/2010/07/nuspec.xsd">
  <metadata><id>pellark</id><version>1.0.0</version><title>Pellark</title></metadata>
</package>
"""


class InstalledLayout(unittest.TestCase):
    """The real updater in a mounted-AppImage layout: <mount>/usr/bin/{pellark_app,lib,...}."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="pellark-installed-")
        bin_dir = self.bin_dir = os.path.join(self.tmp, "mount", "usr", "bin")
        self.exe = copy_bundle(bin_dir, REAL_UPDATER)
        with open(os.path.join(bin_dir, "UpdateNix"), "w") as f:
            f.write("#!/bin/sh\n")
        os.chmod(os.path.join(bin_dir, "UpdateNix"), 0o755)
        with open(os.path.join(bin_dir, "sq.version"), "w") as f:
            f.write(MANIFEST)
        self.appimage = os.path.join(self.tmp, "Pellark.AppImage")
        shutil.copy2(self.exe, self.appimage)

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def start(self, args, executable=None):
        return App(session, args, executable=executable or self.exe,
                   extra_env={"APPIMAGE": self.appimage})

    def test_hook_argument_exits_without_window(self):
        with self.start(["--veloapp-install", "1.0.0"]) as app:
            self.assertEqual(app.wait_exit(), 0, app.error_output())
            self.assertFalse(os.path.exists(app.report_path))
            self.assertEqual(app.plugin_lines(), [])

    def test_without_hook_the_window_opens_as_installed(self):
        with self.start(["--veloapp-install"]) as app:
            report = app.wait_report()
            self.assertIsNotNone(report, app.error_output())
            self.assertIn('"packageId":"pellark"', report["identity"][0])
            self.assertEqual(report["arg"], ['"--veloapp-install"'])

    def test_non_utf8_argument_is_one_diagnostic_and_a_normal_start(self):
        odd_name = os.path.join(os.fsencode(self.bin_dir), b"pellark_\xff")
        os.symlink(b"pellark_app", odd_name)
        # With a hook argument first, the framework, had it run, would have ended the process.
        cases = [
            ("in a later argument", None, [b"--veloapp-install", b"caf\xe9"]),
            ("the only argument", None, [b"\xff"]),
            ("in the program name", odd_name, [b"--veloapp-install", b"1.0.0"]),
        ]
        for what, executable, args in cases:
            with self.subTest(what), self.start(args, executable) as app:
                report = app.wait_report()
                self.assertIsNotNone(report, "status %s: %s" % (app.process.poll(),
                                                                 app.error_output()))
                self.assertEqual(report["visible_after_first_frame"], ["1"])
                self.assertTrue(wait_for(lambda: session.windows(app.pid, True)))
                self.assertEqual(report["arg_hex"], [a.hex() for a in args])
                self.assertEqual([json.loads(a) for a in report["arg"]],
                                 [a.decode("utf-8", "replace") for a in args])
                # The installation was found, and the UI's channel works as usual.
                self.assertIn('"packageId":"pellark"', report["identity"][0])
                lines = app.error_output().splitlines(keepends=True)
                self.assertEqual(len(lines), 1, lines)
                self.assertTrue(lines[0].strip() and lines[0].endswith("\n"), lines)
                self.assertIsNone(app.process.poll())


if __name__ == "__main__":
    unittest.main()
