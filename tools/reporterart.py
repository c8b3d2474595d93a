#!/usr/bin/env python3
"""Draws the reporter's art: the please-wait box's hourglass, a 32 x 32 bitmap with alpha.

Usage: reporterart.py OUTDIR  (writes plwait.bmp and reporterart.rc). Standard library only.
"""

import os
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from artfiles import write_art, write_script  # noqa: E402

SIZE = 32
SAMPLES = 4
FRAME = (92, 64, 40)
GLASS = (214, 232, 246)
SAND = (232, 180, 64)
OUTLINE = (60, 72, 92)


def shape(x, y):
    """The colour at (x, y) in 0..32, or None outside the hourglass."""
    if 4 <= y < 7 or 25 <= y < 28:
        return FRAME if 5 <= x < 27 else None
    if 7 <= y < 25:
        # The glass narrows to the waist at y = 16.
        half = 2 + abs(y - 16) * 9.0 / 9.0
        centre = 16
        if abs(x - centre) > half:
            return None
        if abs(x - centre) > half - 1.2:
            return OUTLINE
        # Sand fills the bottom bulb and the lower part of the top one.
        if y > 19 or (11 < y < 16 and abs(x - centre) < half - 2):
            return SAND
        if 16 <= y <= 19 and abs(x - centre) < 1.2:
            return SAND
        return GLASS
    return None


def pixel(px, py):
    """Supersampled colour and coverage of one pixel."""
    total = [0.0, 0.0, 0.0]
    covered = 0
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            c = shape(px + (sx + 0.5) / SAMPLES, py + (sy + 0.5) / SAMPLES)
            if c is not None:
                covered += 1
                for i in range(3):
                    total[i] += c[i]
    if not covered:
        return (0, 0, 0, 0)
    alpha = covered / (SAMPLES * SAMPLES)
    colour = [t / covered for t in total]
    # Straight alpha: the box blends the colour with its face itself.
    r, g, b = (int(round(c)) for c in colour)
    return (r, g, b, int(round(alpha * 255)))


def bmp32(rows):
    """A bottom-up 32-bit BMP with alpha."""
    bits = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            bits += bytes((b, g, r, a))
    info = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE, 1, 32, 0, len(bits), 2835, 2835, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(bits), 0, 0, 14 + len(info))
    return header + info + bits


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    rows = [[pixel(x, y) for x in range(SIZE)] for y in range(SIZE)]
    path = write_art(out, "plwait.bmp", bmp32(rows))
    write_script(out, "reporterart.rc", ['VQIPLWAIT BITMAP "%s"\n' % path])


if __name__ == "__main__":
    main()
