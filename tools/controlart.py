#!/usr/bin/env python3
"""Draws the themed controls' resources: the button-kind glyphs and the hand cursor.

Usage: controlart.py OUTPUT_DIR
Writes one 24-bit BMP per glyph (two square cells: normal, disabled; the bottom-left pixel is
the transparent colour), hand.cur, and controlres.rc naming them. Standard library only.
"""

import math
import os
import struct
import sys

from artfiles import bmp24, write_art, write_script

CELL = 18
# Teal: no glyph uses it, so transparent drawing can leave it out.
TRANSPARENT = (0, 128, 128)
DISABLED = (128, 128, 128)
HIGHLIGHT = (255, 255, 255)


class Raster:
    def __init__(self, size=CELL):
        self.size = size
        self.pixels = [[None] * size for _ in range(size)]

    def each(self):
        for y in range(self.size):
            for x in range(self.size):
                yield x, y, x + 0.5, y + 0.5

    def put(self, x, y, colour):
        if 0 <= x < self.size and 0 <= y < self.size:
            self.pixels[y][x] = colour

    def disk(self, cx, cy, radius, colour):
        for x, y, px, py in self.each():
            if (px - cx) ** 2 + (py - cy) ** 2 <= radius * radius:
                self.put(x, y, colour)

    def line(self, points, width, colour):
        half = width / 2
        for (x0, y0), (x1, y1) in zip(points, points[1:]):
            dx, dy = x1 - x0, y1 - y0
            length2 = dx * dx + dy * dy or 1e-9
            for x, y, px, py in self.each():
                t = max(0.0, min(1.0, ((px - x0) * dx + (py - y0) * dy) / length2))
                if math.hypot(px - (x0 + t * dx), py - (y0 + t * dy)) <= half:
                    self.put(x, y, colour)

    def arc(self, cx, cy, outer, inner, start, end, colour):
        """Ring pixels whose angle (degrees, counter-clockwise from east) lies in start..end."""
        for x, y, px, py in self.each():
            distance = math.hypot(px - cx, py - cy)
            if not inner <= distance <= outer:
                continue
            angle = math.degrees(math.atan2(cy - py, px - cx))
            while angle < start:
                angle += 360
            if angle <= end:
                self.put(x, y, colour)

    def polygon(self, points, colour):
        for x, y, px, py in self.each():
            inside = False
            for (x0, y0), (x1, y1) in zip(points, points[1:] + points[:1]):
                if (y0 > py) != (y1 > py) and px < x0 + (py - y0) * (x1 - x0) / (y1 - y0):
                    inside = not inside
            if inside:
                self.put(x, y, colour)

    def rect(self, left, top, right, bottom, colour):
        for y in range(top, bottom):
            for x in range(left, right):
                self.put(x, y, colour)


GREEN = (0, 140, 0)
DARK_GREEN = (16, 100, 16)
RED = (200, 0, 0)
BLUE = (0, 70, 200)
DARK = (48, 48, 48)


def check(r, points, width, colour):
    r.line(points, width, colour)


def glyph_ok(r):
    check(r, [(3.5, 9.5), (7.5, 13.5), (14.5, 4.5)], 2.6, GREEN)


def glyph_yes(r):
    check(r, [(3.0, 9.0), (7.5, 13.5), (15.0, 4.0)], 3.2, DARK_GREEN)


def glyph_all(r):
    check(r, [(2.0, 7.5), (5.0, 10.5), (10.0, 3.5)], 2.0, DARK_GREEN)
    check(r, [(6.5, 11.5), (9.5, 14.5), (16.0, 6.5)], 2.2, GREEN)


def glyph_cancel(r):
    r.line([(4.5, 4.5), (13.5, 13.5)], 2.6, RED)
    r.line([(13.5, 4.5), (4.5, 13.5)], 2.6, RED)


def glyph_no(r):
    r.arc(9, 9, 7.2, 5.0, -180, 180, RED)
    r.line([(5.0, 13.0), (13.0, 5.0)], 2.4, RED)


def glyph_close(r):
    r.rect(2, 2, 16, 4, DARK)
    r.rect(2, 2, 4, 16, DARK)
    r.rect(14, 2, 16, 16, DARK)
    r.rect(2, 14, 16, 16, DARK)
    r.line([(6.5, 6.5), (11.5, 11.5)], 1.8, DARK)
    r.line([(11.5, 6.5), (6.5, 11.5)], 1.8, DARK)


def glyph_abort(r):
    corners = []
    for i in range(8):
        angle = math.radians(22.5 + 45 * i)
        corners.append((9 + 7.8 * math.cos(angle), 9 + 7.8 * math.sin(angle)))
    r.polygon(corners, RED)
    r.rect(5, 8, 13, 10, HIGHLIGHT)


def glyph_retry(r):
    r.arc(9, 9, 6.6, 4.2, 80, 350, BLUE)
    r.polygon([(9.0, 0.8), (13.6, 3.6), (9.0, 6.6)], BLUE)


def glyph_ignore(r):
    r.rect(3, 3, 5, 15, DARK)
    r.line([(5.5, 9.0), (12.0, 9.0)], 2.2, BLUE)
    r.polygon([(11.0, 4.5), (16.0, 9.0), (11.0, 13.5)], BLUE)


def glyph_help(r):
    r.arc(9, 6.2, 4.6, 2.4, -90, 160, BLUE)
    r.line([(9.0, 9.0), (9.0, 11.6)], 2.4, BLUE)
    r.disk(9.0, 14.6, 1.4, BLUE)


GLYPHS = [
    ("KVCOMMON_OK", glyph_ok),
    ("KVCOMMON_CANCEL", glyph_cancel),
    ("KVCOMMON_HELP", glyph_help),
    ("KVCOMMON_YES", glyph_yes),
    ("KVCOMMON_NO", glyph_no),
    ("KVCOMMON_CLOSE", glyph_close),
    ("KVCOMMON_ABORT", glyph_abort),
    ("KVCOMMON_RETRY", glyph_retry),
    ("KVCOMMON_IGNORE", glyph_ignore),
    ("KVCOMMON_ALL", glyph_all),
]


def strip(raster):
    """Two cells side by side: the glyph, and the glyph grey with a white shadow (white parts
    of the glyph stay open there)."""
    width = 2 * CELL

    def ink(x, y):
        return raster.pixels[y][x] not in (None, HIGHLIGHT)

    rows = [[TRANSPARENT] * width for _ in range(CELL)]
    for y in range(CELL):
        for x in range(CELL):
            if raster.pixels[y][x] is not None:
                rows[y][x] = raster.pixels[y][x]
    for y in range(CELL):
        for x in range(CELL):
            if ink(x, y) and x + 1 < CELL and y + 1 < CELL:
                rows[y + 1][CELL + x + 1] = HIGHLIGHT
    for y in range(CELL):
        for x in range(CELL):
            if ink(x, y):
                rows[y][CELL + x] = DISABLED
    rows[CELL - 1][0] = TRANSPARENT
    return rows


# The hand: 'X' outline, everything the outline encloses is white, the rest transparent.
HAND = [
    "     XX           ",
    "    X  X          ",
    "    X  X          ",
    "    X  X          ",
    "    X  X          ",
    "    X  XXX        ",
    "    X  X  XXX     ",
    "    X  X  X  XX   ",
    "    X  X  X  X X  ",
    "XX  X  X  X  X  X ",
    "X X X           X ",
    "X  XX           X ",
    " X  X           X ",
    " X              X ",
    "  X             X ",
    "  X             X ",
    "   X           X  ",
    "   X           X  ",
    "    X         X   ",
    "    X         X   ",
    "    XXXXXXXXXXX   ",
]
HAND_OFFSET = (8, 1)
HAND_HOTSPOT = (HAND_OFFSET[0] + 5, HAND_OFFSET[1])


def hand_cursor():
    size = 32
    outline = [[False] * size for _ in range(size)]
    for y, row in enumerate(HAND):
        for x, c in enumerate(row):
            if c == "X":
                outline[y + HAND_OFFSET[1]][x + HAND_OFFSET[0]] = True
    # What the edge reaches without crossing the outline is outside.
    outside = [[False] * size for _ in range(size)]
    stack = [(x, y) for x in range(size) for y in (0, size - 1)] + [(x, y) for y in range(size) for x in (0, size - 1)]
    while stack:
        x, y = stack.pop()
        if not (0 <= x < size and 0 <= y < size) or outside[y][x] or outline[y][x]:
            continue
        outside[y][x] = True
        stack += [(x + 1, y), (x - 1, y), (x, y + 1), (x, y - 1)]

    xor_rows, and_rows = [], []
    for y in range(size):
        xor_bits = and_bits = 0
        for x in range(size):
            bit = 1 << (31 - x)
            if outline[y][x]:
                pass  # black: AND 0, XOR 0
            elif outside[y][x]:
                and_bits |= bit
            else:
                xor_bits |= bit
        xor_rows.append(struct.pack(">I", xor_bits))
        and_rows.append(struct.pack(">I", and_bits))
    image = b"".join(reversed(xor_rows)) + b"".join(reversed(and_rows))
    info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 1, 0, len(image), 0, 0, 2, 0)
    palette = bytes((0, 0, 0, 0, 255, 255, 255, 0))
    body = info + palette + image
    directory = struct.pack("<HHH", 0, 2, 1)
    entry = struct.pack("<BBBBHHII", size, size, 0, 0, HAND_HOTSPOT[0], HAND_HOTSPOT[1], len(body), 6 + 16)
    return directory + entry + body


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: controlart.py OUTPUT_DIR")
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    lines = ["// Generated by tools/controlart.py.\n"]
    for name, draw in GLYPHS:
        raster = Raster()
        draw(raster)
        rows = strip(raster)
        assert all(TRANSPARENT != p for p in (raster.pixels[y][x] for y in range(CELL) for x in range(CELL)))
        path = write_art(out, name.lower() + ".bmp", bmp24(rows))
        lines.append('%s BITMAP "%s"\n' % (name, path))
    cursor = write_art(out, "hand.cur", hand_cursor())
    lines.append('KVCOMMON_HANDCURSOR CURSOR "%s"\n' % cursor)
    write_script(out, "controlres.rc", lines)


if __name__ == "__main__":
    main()
