#!/usr/bin/env python3
"""Draws the reporter's art, bitmaps of 32 bits with alpha: the please-wait box's hourglass and
the exception box's big sign (32 x 32) and action pictures (16 x 16), the send window's envelope.

Usage: reporterart.py OUTDIR  (writes the BMP files and reporterart.rc). Standard library only.
"""

import math
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from artfiles import bmp32, write_art, write_script  # noqa: E402

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
        half = 2 + abs(y - 16)
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


def pixel(px, py, draw):
    """Supersampled colour and coverage of one pixel."""
    total = [0.0, 0.0, 0.0]
    covered = 0
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            c = draw(px + (sx + 0.5) / SAMPLES, py + (sy + 0.5) / SAMPLES)
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


# ---- The exception box ----

RED = (200, 40, 36)
DARK_RED = (128, 20, 18)
WHITE = (255, 255, 255)
GREEN = (46, 150, 60)
DARK_GREEN = (26, 96, 36)
BLUE = (52, 96, 176)
DARK_BLUE = (30, 56, 112)
GREY = (150, 154, 160)
DARK = (70, 74, 82)
PAPER = (250, 250, 244)


def in_polygon(x, y, points):
    inside = False
    j = len(points) - 1
    for i, (xi, yi) in enumerate(points):
        xj, yj = points[j]
        if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
            inside = not inside
        j = i
    return inside


def near_segment(x, y, a, b, width):
    ax, ay = a
    bx, by = b
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(x - ax - t * dx, y - ay - t * dy) <= width / 2


def big_sign(x, y):
    """A red round sign with a white exclamation mark."""
    r = math.hypot(x - 16, y - 16)
    if r > 15:
        return None
    if r > 13.8:
        return DARK_RED
    if 14.4 <= x <= 17.6 and 6.5 <= y <= 19.5:
        return WHITE
    if math.hypot(x - 16, y - 24) <= 2.1:
        return WHITE
    return RED


def envelope(x, y):
    if not (1.5 <= x <= 14.5 and 3.5 <= y <= 12.5):
        return None
    if x < 2.5 or x > 13.5 or y < 4.5 or y > 11.5:
        return DARK_BLUE
    if near_segment(x, y, (2, 4.5), (8, 9), 1.1) or near_segment(x, y, (14, 4.5), (8, 9), 1.1):
        return DARK_BLUE
    return PAPER


def disk(x, y):
    if not (1.5 <= x <= 14.5 and 1.5 <= y <= 14.5) or (x > 12.5 and y < 3.5 and x - 12.5 > y - 1.5):
        return None
    if x < 2.5 or x > 13.5 or y < 2.5 or y > 13.5:
        return DARK_BLUE
    if 4 <= x <= 12 and 2.5 <= y <= 6.5:
        return (210, 214, 220) if not (9.5 <= x <= 11) else DARK
    if 4 <= x <= 12 and 9 <= y <= 13.5:
        return PAPER
    return BLUE


def printer(x, y):
    if 4 <= x <= 12 and 1.5 <= y <= 6:
        return DARK if x < 4.8 or x > 11.2 or y < 2.3 else PAPER
    if 1.5 <= x <= 14.5 and 6 <= y <= 11.5:
        if x < 2.3 or x > 13.7 or y < 6.8 or y > 10.7:
            return DARK
        return (96, 200, 96) if 11 <= x <= 12.5 and 7.8 <= y <= 9 else GREY
    if 4 <= x <= 12 and 11.5 <= y <= 14.5:
        if x < 4.8 or x > 11.2 or y > 13.7:
            return DARK
        return DARK if 5.5 <= x <= 10.5 and abs(y - 12.8) < 0.4 else PAPER
    return None


def magnifier(x, y):
    r = math.hypot(x - 6.5, y - 6.5)
    if r <= 5.2:
        return DARK if r > 4 else (206, 228, 248)
    if near_segment(x, y, (10.2, 10.2), (14, 14), 2.6):
        return (120, 78, 40)
    return None


def arrow(x, y):
    body = in_polygon(x, y, [(1.5, 5.5), (8, 5.5), (8, 2), (14.8, 8), (8, 14), (8, 10.5), (1.5, 10.5)])
    if not body:
        return None
    inner = in_polygon(x, y, [(2.5, 6.5), (9, 6.5), (9, 4.3), (13.3, 8), (9, 11.7), (9, 9.5), (2.5, 9.5)])
    return GREEN if inner else DARK_GREEN


def circular_arrow(x, y):
    r = math.hypot(x - 8, y - 8.5)
    angle = math.degrees(math.atan2(y - 8.5, x - 8)) % 360
    # An arc from the top round the left, bottom and right, its head at the top right.
    if 3.6 <= r <= 6.4 and not (285 <= angle <= 335):
        return BLUE if 4.3 <= r <= 5.7 else DARK_BLUE
    if in_polygon(x, y, [(7.5, 0.5), (13.5, 3.2), (8, 7.5)]):
        return BLUE
    return None


def cross(x, y):
    a = near_segment(x, y, (3, 3), (13, 13), 3.6)
    b = near_segment(x, y, (13, 3), (3, 13), 3.6)
    if not (a or b):
        return None
    if near_segment(x, y, (3, 3), (13, 13), 2.2) or near_segment(x, y, (13, 3), (3, 13), 2.2):
        return RED
    return DARK_RED


def stop_sign(x, y):
    cx = cy = 8
    points = [(cx + 7 * math.cos(math.radians(22.5 + 45 * i)), cy + 7 * math.sin(math.radians(22.5 + 45 * i)))
              for i in range(8)]
    inner = [(cx + 5.9 * math.cos(math.radians(22.5 + 45 * i)), cy + 5.9 * math.sin(math.radians(22.5 + 45 * i)))
             for i in range(8)]
    if not in_polygon(x, y, points):
        return None
    if not in_polygon(x, y, inner):
        return DARK_RED
    if 4 <= x <= 12 and 7 <= y <= 9:
        return WHITE
    return RED


ACTIONS = [
    ("send", envelope),
    ("save", disk),
    ("print", printer),
    ("show", magnifier),
    ("continue", arrow),
    ("restart", circular_arrow),
    ("close", cross),
    ("cantContinue", stop_sign),
]


def picture(draw, size):
    return bmp32([[pixel(x, y, draw) for x in range(size)] for y in range(size)])


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    lines = ['VQIPLWAIT BITMAP "%s"\n' % write_art(out, "plwait.bmp", picture(shape, SIZE))]
    lines.append('VQIBIG BITMAP "%s"\n' % write_art(out, "boxbig.bmp", picture(big_sign, 32)))
    # The send progress window's picture: the envelope at twice the size.
    lines.append('VQISEND32 BITMAP "%s"\n' % write_art(out, "send32.bmp",
                                                      picture(lambda x, y: envelope(x / 2, y / 2), 32)))
    for name, draw in ACTIONS:
        path = write_art(out, "box%s.bmp" % name.lower(), picture(draw, 16))
        lines.append('VQI%s BITMAP "%s"\n' % (name.upper(), path))
    write_script(out, "reporterart.rc", lines)


if __name__ == "__main__":
    main()
