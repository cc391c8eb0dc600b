#!/usr/bin/env python3
"""Draws Sparwick's icon, a spark over a chip with its pins, and writes it as a Windows
icon file with a 16x16 and a 32x32 image (32-bit colour with alpha, and the 1-bit mask
that older shells draw from), or as one PNG image of either size for Linux. The committed
sparwick.ico and the PNGs in resources/icons are this script's output:

    resources/win32/make-icon.py resources/win32/sparwick.ico
    resources/win32/make-icon.py --png 16 resources/icons/16x16/sparwick.png
    resources/win32/make-icon.py --png 32 resources/icons/32x32/sparwick.png
"""
import struct
import sys
import zlib

SIZES = [16, 32]

CHIP = (0x3A, 0x2A, 0x1E)  # the package, dark grey-brown (BGR)
PIN = (0xB0, 0xB8, 0xC0)  # pins, silver
SPARK = (0x20, 0xC8, 0xFF)  # the spark, amber
EDGE = (0x10, 0x60, 0xD0)  # the spark's outline, dark orange


def inside(polygon, x, y):
    """Even-odd rule for a point against a closed polygon."""
    hit = False
    for (x0, y0), (x1, y1) in zip(polygon, polygon[1:] + polygon[:1]):
        if (y0 > y) != (y1 > y) and x < x0 + (y - y0) * (x1 - x0) / (y1 - y0):
            hit = not hit
    return hit


# Drawn on a unit square, x to the right, y downwards.
BOLT = [(0.62, 0.08), (0.26, 0.56), (0.46, 0.56), (0.36, 0.92), (0.76, 0.40), (0.54, 0.40)]


def pixel(size, px, py):
    """The colour and opacity of one pixel, sampled at its centre, or None if clear."""
    x, y = (px + 0.5) / size, (py + 0.5) / size
    if inside(BOLT, x, y):
        step = 0.9 / size  # an outline about one pixel wide at every size
        near_edge = not all(
            inside(BOLT, x + dx, y + dy)
            for dx, dy in ((step, 0), (-step, 0), (0, step), (0, -step)))
        return EDGE if near_edge else SPARK
    if 0.2 <= x <= 0.8 and 0.2 <= y <= 0.8:
        return CHIP
    # Four pins on each side, centred on the package's edges.
    for i in range(4):
        lo, hi = 0.26 + i * 0.14, 0.26 + i * 0.14 + 0.07
        if (lo <= y <= hi and (0.08 <= x < 0.2 or 0.8 < x <= 0.92)) or \
           (lo <= x <= hi and (0.08 <= y < 0.2 or 0.8 < y <= 0.92)):
            return PIN
    return None


def image(size):
    """One icon image: BITMAPINFOHEADER, bottom-up BGRA pixels, then the AND mask."""
    rows = [[pixel(size, x, y) for x in range(size)] for y in range(size)]
    colour = bytearray()
    mask = bytearray()
    mask_stride = (size + 31) // 32 * 4
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, c in enumerate(row):
            if c is None:
                colour += bytes(4)
                bits[x // 8] |= 0x80 >> (x % 8)  # transparent
            else:
                colour += bytes(c) + b"\xff"
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         len(colour) + len(mask), 0, 0, 0, 0)
    return header + colour + mask


def icon(sizes):
    images = [image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(images)


def png(size):
    """One image as a PNG: 8-bit RGBA, rows top down, no interlace."""
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    raw = bytearray()
    for y in range(size):
        raw.append(0)  # no filter
        for x in range(size):
            c = pixel(size, x, y)
            raw += bytes(4) if c is None else bytes((c[2], c[1], c[0], 0xFF))
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


if __name__ == "__main__":
    if len(sys.argv) == 2:
        data = icon(SIZES)
    elif len(sys.argv) == 4 and sys.argv[1] == "--png" and int(sys.argv[2]) in SIZES:
        data = png(int(sys.argv[2]))
    else:
        sys.exit("usage: make-icon.py OUTPUT.ico | make-icon.py --png 16|32 OUTPUT.png")
    with open(sys.argv[-1], "wb") as f:
        f.write(data)
