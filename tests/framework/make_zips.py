#!/usr/bin/env python3
"""Writes the package fixtures for the bundle tests into OUT, with two independent writers:
Python's zipfile and Info-ZIP's zip. Also writes the payload and manifest they hold."""
import os
import random
import struct
import subprocess
import sys
import zipfile

out = sys.argv[1]
os.makedirs(out, exist_ok=True)

# Incompressible, several copy buffers long, with an odd tail.
payload = random.Random(7).randbytes(300_001)
manifest = (b'<?xml version="1.0" encoding="utf-8"?>\n<package><metadata>'
            b'<id>com.pellark.App</id><version>2.0.0</version></metadata></package>\n')
stage = os.path.join(out, "stage")
os.makedirs(stage, exist_ok=True)
for name, data in (("app.nuspec", manifest), ("Pellark.AppImage", payload)):
    with open(os.path.join(stage, name), "wb") as f:
        f.write(data)
with open(os.path.join(out, "payload.bin"), "wb") as f:
    f.write(payload)

STANDARD = [("app.nuspec", manifest), ("Pellark.AppImage", payload)]


def py_zip(name, entries, method=zipfile.ZIP_STORED):
    with zipfile.ZipFile(os.path.join(out, name), "w") as z:
        for entry in entries:
            entry_name, data = entry[0], entry[1]
            z.writestr(entry_name, data, compress_type=entry[2] if len(entry) > 2 else method)


class Unseekable:
    """A pipe-like sink: zipfile falls back to data descriptors."""

    def __init__(self, f):
        self.f = f

    def write(self, b):
        return self.f.write(b)

    def flush(self):
        self.f.flush()


py_zip("py_stored.zip", STANDARD)
py_zip("py_deflate.zip", STANDARD, zipfile.ZIP_DEFLATED)

with open(os.path.join(out, "py_streamed.zip"), "wb") as raw:
    with zipfile.ZipFile(Unseekable(raw), "w", zipfile.ZIP_DEFLATED) as z:
        for entry_name, data in STANDARD:
            with z.open(entry_name, "w") as w:
                w.write(data)

# Lowered limits make zipfile write real ZIP64 structures (0xFFFFFFFF fields, ZIP64 extras and
# end records) for this small archive.
saved = zipfile.ZIP64_LIMIT, zipfile.ZIP_FILECOUNT_LIMIT
zipfile.ZIP64_LIMIT, zipfile.ZIP_FILECOUNT_LIMIT = 100, 1
py_zip("py_zip64.zip", STANDARD, zipfile.ZIP_DEFLATED)
zipfile.ZIP64_LIMIT, zipfile.ZIP_FILECOUNT_LIMIT = saved

py_zip("py_bzip2.zip", [("app.nuspec", manifest, zipfile.ZIP_DEFLATED),
                        ("Pellark.AppImage", payload, zipfile.ZIP_BZIP2)])
py_zip("py_bzip2_manifest.zip", [("app.nuspec", manifest, zipfile.ZIP_BZIP2)])
py_zip("py_entries.zip", [
    ("APP.NUSPEC", manifest), ("app.AppImage.zsync", b"z"), ("nuspec", manifest),
    ("sub/app.nuspec", manifest), ("later.nuspec", b"<id>later</id>"),
    ("first.AppImage", b"first"), ("second.AppImage", b"second")])
py_zip("py_exact_names.zip", [(".nuspec", manifest), (".AppImage", b"x")])
py_zip("py_no_manifest.zip", [("Pellark.AppImage", payload)])
py_zip("py_manifest_not_utf8.zip", [("app.nuspec", manifest.replace(b"App", b"\xffpp"))])
py_zip("py_manifest_no_id.zip", [("app.nuspec", manifest.replace(b"<id>com.pellark.App</id>", b""))])


def break_crc(name, entry, method):
    """Writes STANDARD with `entry`'s CRC-32 off by one, in the local and central headers."""
    path = os.path.join(out, name)
    py_zip(name, STANDARD, method)
    data = bytearray(open(path, "rb").read())
    with zipfile.ZipFile(path) as z:
        info = z.getinfo(entry)
    wrong = struct.pack("<I", (info.CRC + 1) & 0xFFFFFFFF)
    data[info.header_offset + 14:info.header_offset + 18] = wrong
    at = data.find(b"PK\x01\x02")
    while at >= 0:
        name_len = struct.unpack_from("<H", data, at + 28)[0]
        if bytes(data[at + 46:at + 46 + name_len]) == entry.encode():
            data[at + 16:at + 20] = wrong
        at = data.find(b"PK\x01\x02", at + 4)
    open(path, "wb").write(data)


break_crc("py_badcrc_stored.zip", "Pellark.AppImage", zipfile.ZIP_STORED)
break_crc("py_badcrc_deflate.zip", "Pellark.AppImage", zipfile.ZIP_DEFLATED)
break_crc("py_badcrc_manifest.zip", "app.nuspec", zipfile.ZIP_DEFLATED)


def break_headers(name, broken, point_at):
    """Writes a package whose entries named in `broken` come first but have local headers that
    cannot be read: their central records point at `point_at(data)` instead."""
    path = os.path.join(out, name)
    entries = [(n, b"broken " + n.encode()) for n in broken]
    py_zip(name, entries[:1] + [STANDARD[0]] + entries[1:] + [STANDARD[1]])
    data = bytearray(open(path, "rb").read())
    at = data.find(b"PK\x01\x02")
    while at >= 0:
        name_len = struct.unpack_from("<H", data, at + 28)[0]
        if bytes(data[at + 46:at + 46 + name_len]).decode() in broken:
            struct.pack_into("<I", data, at + 42, point_at(data))
        at = data.find(b"PK\x01\x02", at + 4)
    open(path, "wb").write(data)


# Order: broken.nuspec, app.nuspec, broken.AppImage, Pellark.AppImage.
BROKEN = ["broken.nuspec", "broken.AppImage"]
break_headers("py_header_past_end.zip", BROKEN, lambda data: len(data) + 4096)
# Inside the file, but too close to its end for the 30 bytes of a local header.
break_headers("py_header_cut_off.zip", BROKEN, lambda data: len(data) - 10)


def info_zip(name, *options, pipe=False):
    path = os.path.join(out, name)
    files = ["app.nuspec", "Pellark.AppImage"]
    if pipe:
        # Written to a pipe, zip cannot seek back: sizes go into data descriptors.
        run = subprocess.run(["zip", "-q", "-X", *options, "-", *files], cwd=stage,
                             stdout=subprocess.PIPE, check=True)
        with open(path, "wb") as f:
            f.write(run.stdout)
    else:
        subprocess.run(["zip", "-q", "-X", *options, path, *files], cwd=stage, check=True)


info_zip("iz_stored.zip", "-0")
info_zip("iz_deflate.zip", "-9")
info_zip("iz_streamed.zip", "-6", pipe=True)
info_zip("iz_zip64.zip", "-fz")
info_zip("iz_bzip2.zip", "-Z", "bzip2")
info_zip("iz_encrypted.zip", "-P", "secret")

with open(os.path.join(out, "not_a_zip.zip"), "wb") as f:
    f.write(manifest)
open(os.path.join(out, "empty.zip"), "wb").close()
