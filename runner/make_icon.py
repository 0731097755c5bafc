#!/usr/bin/python3
"""Draws Pellark's application icon and writes it as a PNG.

Usage: make_icon.py [OUTPUT]   (default: pellark.png beside this script)

The artwork is plain geometry (a rounded tile, a ring and a "P"), rendered with
signed distances for anti-aliased edges, so it needs nothing but python3 and zlib.
The file is 256 x 256, RGBA with 8 bits per channel, non-interlaced. A tEXt chunk
pads it to a fixed byte length so a regenerated icon is byte-for-byte stable in size.
"""

import math
import os
import struct
import sys
import zlib

SIZE = 256
FILE_LENGTH = 16302


def clamp(v, lo=0.0, hi=1.0):
    return lo if v < lo else hi if v > hi else v


def coverage(distance):
    # Distance in pixels, negative inside: one pixel of linear ramp across the edge.
    return clamp(0.5 - distance)


def rounded_box(px, py, cx, cy, half_w, half_h, radius):
    qx = abs(px - cx) - (half_w - radius)
    qy = abs(py - cy) - (half_h - radius)
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - radius


def ring(px, py, cx, cy, radius, half_width):
    return abs(math.hypot(px - cx, py - cy) - radius) - half_width


def letter_p(px, py):
    # Stem: a rounded bar; bowl: the right half of a ring joined to the stem by two bars.
    stem = rounded_box(px, py, 100, 121, 14, 66, 6)
    bowl_cx, bowl_cy, bowl_r, bowl_w = 132, 100, 32, 13
    bowl = ring(px, py, bowl_cx, bowl_cy, bowl_r, bowl_w)
    if px < bowl_cx:
        # Left of the bowl's centre only the straight top and bottom bars remain.
        left = 100
        top = rounded_box(px, py, (left + bowl_cx) / 2, bowl_cy - bowl_r, (bowl_cx - left) / 2, bowl_w, 0)
        bottom = rounded_box(px, py, (left + bowl_cx) / 2, bowl_cy + bowl_r, (bowl_cx - left) / 2, bowl_w, 0)
        bowl = min(top, bottom)
    return min(stem, bowl)


def mix(a, b, t):
    return tuple(x + (y - x) * t for x, y in zip(a, b))


def over(dst, src, alpha):
    # Straight-alpha "source over" for an opaque-or-translucent destination.
    out_a = alpha + dst[3] * (1 - alpha)
    if out_a <= 0:
        return (0.0, 0.0, 0.0, 0.0)
    rgb = tuple((s * alpha + d * dst[3] * (1 - alpha)) / out_a for s, d in zip(src, dst[:3]))
    return rgb + (out_a,)


def pixel(x, y):
    px, py = x + 0.5, y + 0.5
    navy_top, navy_bottom = (0x16, 0x1C, 0x33), (0x0B, 0x0E, 0x17)
    teal, violet = (0x2E, 0xD3, 0xC5), (0x8B, 0x5C, 0xF6)
    ivory = (0xF4, 0xF1, 0xEA)

    colour = (0.0, 0.0, 0.0, 0.0)
    tile = coverage(rounded_box(px, py, 128, 128, 120, 120, 52))
    if tile > 0:
        colour = over(colour, mix(navy_top, navy_bottom, py / SIZE), tile)

    halo = coverage(ring(px, py, 128, 128, 92, 7))
    if halo > 0:
        angle = (math.atan2(py - 128, px - 128) + math.pi) / (2 * math.pi)
        colour = over(colour, mix(teal, violet, 0.5 - 0.5 * math.cos(2 * math.pi * angle)), halo)

    glyph = coverage(letter_p(px, py))
    if glyph > 0:
        colour = over(colour, ivory, glyph)
    return colour


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def encode(rows):
    raw = b"".join(b"\x00" + row for row in rows)  # filter type 0 on every scanline
    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)
    head = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
    image = chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")
    keyword = b"Comment\x00"
    room = FILE_LENGTH - len(head) - len(image) - 12 - len(keyword)
    if room < 0:
        sys.exit("make_icon: artwork too large for %d bytes" % FILE_LENGTH)
    text = keyword + (b"Pellark " * (room // 8 + 1))[:room]
    return head + chunk(b"tEXt", text) + image


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "pellark.png")
    rows = []
    for y in range(SIZE):
        row = bytearray()
        for x in range(SIZE):
            r, g, b, a = pixel(x, y)
            row += bytes((round(clamp(r, 0, 255)), round(clamp(g, 0, 255)), round(clamp(b, 0, 255)),
                          round(clamp(a) * 255)))
        rows.append(bytes(row))
    with open(out, "wb") as f:
        f.write(encode(rows))


if __name__ == "__main__":
    main()
