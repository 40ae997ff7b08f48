#!/usr/bin/env python3
"""Draws the program's 32x32 icon (a two-pan balance) and writes ico/scale-32.ico,
or with --png the same image as a PNG for the desktop icon theme.

Only the standard library is used: the image is drawn into a pixel grid.
"""
import struct
import sys
import zlib

SIZE = 32
TRANSPARENT = (0, 0, 0, 0)
METAL = (60, 72, 90, 255)
PAN = (214, 160, 40, 255)
PAN_EDGE = (150, 105, 20, 255)

px = [[TRANSPARENT] * SIZE for _ in range(SIZE)]


def put(x, y, c):
    if 0 <= x < SIZE and 0 <= y < SIZE:
        px[y][x] = c


def rect(x0, y0, x1, y1, c):
    for y in range(y0, y1 + 1):
        for x in range(x0, x1 + 1):
            put(x, y, c)


def line(x0, y0, x1, y1, c):
    steps = max(abs(x1 - x0), abs(y1 - y0), 1)
    for i in range(steps + 1):
        put(round(x0 + (x1 - x0) * i / steps), round(y0 + (y1 - y0) * i / steps), c)


# foot and column
rect(9, 28, 22, 29, METAL)
rect(12, 26, 19, 27, METAL)
rect(15, 6, 16, 25, METAL)
# pivot and beam
rect(14, 4, 17, 5, METAL)
rect(3, 7, 28, 8, METAL)
# hangers
line(5, 9, 2, 18, METAL)
line(5, 9, 8, 18, METAL)
line(26, 9, 23, 18, METAL)
line(26, 9, 29, 18, METAL)
# pans
for cx in (5, 26):
    rect(cx - 5, 19, cx + 5, 20, PAN)
    rect(cx - 4, 21, cx + 4, 21, PAN_EDGE)

def ico_bytes():
    """A single 32-bit BMP entry: header, directory entry, BITMAPINFOHEADER,
    BGRA rows bottom-up, AND mask."""
    xor = b"".join(bytes((b, g, r, a)) for row in reversed(px) for (r, g, b, a) in row)
    mask_row = b"\0" * 4  # 32 pixels, 1 bit each, already 32-bit aligned
    and_mask = mask_row * SIZE
    bih = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, len(xor) + len(and_mask), 0, 0, 0, 0)
    image = bih + xor + and_mask
    header = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 6 + 16)
    return header + entry + image


def png_bytes():
    """The same pixels as an RGBA PNG, for desktop icon themes."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    raw = b"".join(b"\0" + b"".join(bytes(p) for p in row) for row in px)
    ihdr = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


# make_icon.py [OUT.ico]   or   make_icon.py --png OUT.png
args = sys.argv[1:]
if args[:1] == ["--png"]:
    out, data = (args[1] if len(args) > 1 else "ico/scale-32.png"), png_bytes()
else:
    out, data = (args[0] if args else "ico/scale-32.ico"), ico_bytes()
with open(out, "wb") as f:
    f.write(data)
