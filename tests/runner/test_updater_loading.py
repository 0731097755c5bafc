"""How pellark_app loads the updater: by absolute path beside itself, best-effort, before any UI."""

import os
import shutil
import tempfile
import unittest

from xsession import App, XSession, copy_bundle

FAKE_UPDATER = os.environ.get("PELLARK_FAKE_UPDATER", "")
NO_ENTRY = os.environ.get("PELLARK_NO_ENTRY_LIB", "")
REAL_UPDATER = os.environ.get("PELLARK_UPDATER_LIB", "")
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
        bin_dir = os.path.join(self.tmp, "mount", "usr", "bin")
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

    def start(self, args):
        return App(session, args, executable=self.exe, extra_env={"APPIMAGE": self.appimage})

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


if __name__ == "__main__":
    unittest.main()
