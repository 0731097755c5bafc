"""The built executable and its icon: linkage, run path, and the compiled-in resource."""

import os
import re
import struct
import subprocess
import unittest

BUNDLE = os.environ.get("PELLARK_BUNDLE", "")
SOURCE_DIR = os.environ.get("PELLARK_SOURCE_DIR", "")
EXE = os.path.join(BUNDLE, "pellark_app")
ICON = os.path.join(SOURCE_DIR, "runner", "pellark.png")


def run(*args):
    return subprocess.run(list(args), capture_output=True, text=True, check=True, timeout=60).stdout


class Linkage(unittest.TestCase):
    def test_run_path_and_no_updater_link(self):
        dynamic = run("readelf", "-d", EXE)
        self.assertEqual(re.findall(r"\((RUNPATH|RPATH)\)\s+Library r\w+: \[(.*)\]", dynamic),
                         [("RUNPATH", "$ORIGIN/lib")])
        needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.*)\]", dynamic)
        for lib in ("libflutter_linux_gtk.so", "libflutter_secure_storage_linux_plugin.so",
                    "liburl_launcher_linux_plugin.so"):
            self.assertIn(lib, needed)
        self.assertFalse([n for n in needed if "pellark_updater" in n])
        undefined = run("nm", "-D", "--undefined-only", EXE)
        self.assertNotIn("pellark_update", undefined)

    def test_binds_only_the_bootstrap_by_name(self):
        with open(EXE, "rb") as f:
            image = f.read()
        self.assertIn(b"pellark_update_bootstrap\0", image)
        self.assertIn(b"/lib/libpellark_updater.so\0", image)
        self.assertNotIn(b"pellark_update_call", image)
        self.assertNotIn(b"pellark_update_free", image)


class Icon(unittest.TestCase):
    def test_png_format(self):
        with open(ICON, "rb") as f:
            data = f.read()
        self.assertEqual(data[:8], b"\x89PNG\r\n\x1a\n")
        self.assertEqual(data[12:16], b"IHDR")
        width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", data[16:29])
        self.assertEqual((width, height, depth, colour, interlace), (256, 256, 8, 6, 0))

    def test_resource_compiled_in_uncompressed(self):
        listing = run("gresource", "details", EXE).split()
        # "<section> <size> <u|c> <path>"
        self.assertEqual(listing, ["icons", str(os.path.getsize(ICON)), "u",
                                   "/com/pellark/desktop/pellark.png"])
        self.assertEqual(
            subprocess.run(["gresource", "extract", EXE, "/com/pellark/desktop/pellark.png"],
                           capture_output=True, check=True, timeout=60).stdout,
            open(ICON, "rb").read())


if __name__ == "__main__":
    unittest.main()
