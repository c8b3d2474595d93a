#!/usr/bin/env python3
"""Draws the wizard's resources: the page glyphs, the main window's pictures and the icon.

Usage: wizardart.py OUTPUT_DIR
Writes wizard_glyphs.bmp (ten 16 x 16 cells in one strip; the bottom-left pixel is the
transparent colour), wizard_banner.bmp, wizard_logo.bmp, hivesweep.ico and wizardres.rc
naming them. Standard library only.
"""

import math
import os
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from artfiles import bmp24, mix, write_art, write_script  # noqa: E402
from controlart import Raster  # noqa: E402

CELL = 16
TRANSPARENT = (0, 128, 128)
WHITE = (255, 255, 255)
GREEN = (0, 150, 40)
DARK_GREEN = (0, 100, 30)
RED = (210, 30, 20)
DARK_RED = (140, 10, 10)
BLUE = (20, 90, 210)
DARK_BLUE = (10, 50, 140)
AMBER = (235, 150, 0)
SAND = (250, 210, 90)
GREY = (90, 90, 90)
HONEY = (249, 176, 30)
DEEP_HONEY = (196, 120, 0)


# ---- page glyphs -------------------------------------------------------------------------

def glyph_busy(r):
    # An hourglass: two amber triangles in a dark frame.
    r.rect(3, 1, 13, 3, GREY)
    r.rect(3, 13, 13, 15, GREY)
    r.polygon([(4.0, 3.0), (12.0, 3.0), (8.6, 8.0), (7.4, 8.0)], SAND)
    r.polygon([(7.4, 8.0), (8.6, 8.0), (12.0, 13.0), (4.0, 13.0)], SAND)
    r.polygon([(6.0, 5.5), (10.0, 5.5), (8.0, 8.0)], AMBER)
    r.polygon([(8.0, 10.0), (11.0, 13.0), (5.0, 13.0)], AMBER)
    r.line([(4.0, 3.0), (7.6, 8.0), (4.0, 13.0)], 1.0, GREY)
    r.line([(12.0, 3.0), (8.4, 8.0), (12.0, 13.0)], 1.0, GREY)


def glyph_idle(r):
    # A green lamp with a light spot.
    r.disk(8, 8, 6.6, DARK_GREEN)
    r.disk(8, 8, 5.4, GREEN)
    r.disk(6.4, 6.2, 1.8, (140, 230, 150))


def glyph_delete(r):
    r.line([(3.5, 3.5), (12.5, 12.5)], 3.0, RED)
    r.line([(12.5, 3.5), (3.5, 12.5)], 3.0, RED)


def glyph_run(r):
    r.polygon([(3.5, 1.5), (14.5, 8.0), (3.5, 14.5)], GREEN)
    r.line([(4.0, 2.0), (14.0, 8.0), (4.0, 14.0), (4.0, 2.0)], 1.0, DARK_GREEN)


def glyph_stop(r):
    r.rect(3, 3, 13, 13, DARK_RED)
    r.rect(4, 4, 12, 12, RED)


def glyph_back(r):
    r.polygon([(1.5, 8.0), (8.0, 2.0), (8.0, 5.5), (14.5, 5.5), (14.5, 10.5), (8.0, 10.5), (8.0, 14.0)], DARK_BLUE)
    r.polygon([(3.5, 8.0), (7.0, 4.6), (7.0, 6.5), (13.5, 6.5), (13.5, 9.5), (7.0, 9.5), (7.0, 11.4)], BLUE)


def glyph_next(r):
    r.polygon([(14.5, 8.0), (8.0, 2.0), (8.0, 5.5), (1.5, 5.5), (1.5, 10.5), (8.0, 10.5), (8.0, 14.0)], DARK_BLUE)
    r.polygon([(12.5, 8.0), (9.0, 4.6), (9.0, 6.5), (2.5, 6.5), (2.5, 9.5), (9.0, 9.5), (9.0, 11.4)], BLUE)


def glyph_tick(r):
    r.line([(2.5, 8.5), (6.5, 12.5), (13.5, 3.5)], 2.8, GREEN)


def glyph_undo(r):
    # A curved arrow bending back to the left.
    r.arc(9, 9, 5.6, 3.4, -90, 90, BLUE)
    r.rect(5, 12, 9, 15, BLUE)
    r.rect(5, 4, 9, 6, BLUE)
    r.polygon([(1.0, 5.0), (6.0, 0.5), (6.0, 9.5)], BLUE)


def glyph_help(r):
    r.disk(8, 8, 7.2, DARK_BLUE)
    r.disk(8, 8, 6.2, BLUE)
    r.arc(8, 6.0, 3.2, 1.6, -90, 170, WHITE)
    r.line([(8.0, 8.6), (8.0, 10.0)], 1.8, WHITE)
    r.disk(8.0, 12.3, 1.1, WHITE)


GLYPHS = [glyph_busy, glyph_idle, glyph_delete, glyph_run, glyph_stop,
          glyph_back, glyph_next, glyph_tick, glyph_undo, glyph_help]


def glyph_strip():
    rows = [[TRANSPARENT] * (CELL * len(GLYPHS)) for _ in range(CELL)]
    for index, draw in enumerate(GLYPHS):
        raster = Raster(CELL)
        draw(raster)
        for y in range(CELL):
            for x in range(CELL):
                colour = raster.pixels[y][x]
                assert colour != TRANSPARENT
                if colour is not None:
                    rows[y][index * CELL + x] = colour
    rows[CELL - 1][0] = TRANSPARENT
    return rows


# ---- pictures ----------------------------------------------------------------------------

def hexagon(cx, cy, radius):
    return [(cx + radius * math.cos(math.radians(60 * i)), cy + radius * math.sin(math.radians(60 * i)))
            for i in range(6)]


def inside(points, px, py):
    result = False
    for (x0, y0), (x1, y1) in zip(points, points[1:] + points[:1]):
        if (y0 > py) != (y1 > py) and px < x0 + (py - y0) * (x1 - x0) / (y1 - y0):
            result = not result
    return result


def banner(width, height):
    """A honey-to-white band with a faint comb of hexagons fading to the right."""
    rows = []
    top, bottom = (255, 236, 190), (255, 250, 238)
    for y in range(height):
        rows.append([mix(top, bottom, y / (height - 1))] * width)
    radius = 14.0
    step_x, step_y = radius * 1.5, radius * math.sqrt(3)
    cells = []
    column = 0
    x = -radius
    while x < width + radius:
        offset = step_y / 2 if column % 2 else 0
        y = -radius + offset
        while y < height + radius:
            cells.append((x, y))
            y += step_y
        x += step_x
        column += 1
    for y in range(height):
        for x in range(width):
            px, py = x + 0.5, y + 0.5
            for cx, cy in cells:
                d = math.hypot(px - cx, py - cy)
                if d > radius + 1:
                    continue
                edge = abs(d - radius * 0.92)
                # The hexagon's outline is nearly a circle at this size: test the polygon.
                poly = hexagon(cx, cy, radius - 1.2)
                if inside(hexagon(cx, cy, radius), px, py) and not inside(poly, px, py):
                    fade = max(0.0, 1.0 - x / (width * 0.85))
                    rows[y][x] = mix(rows[y][x], DEEP_HONEY, 0.55 * fade)
                del edge
                break
    # A honey line along the bottom.
    for y in range(height - 3, height):
        rows[y] = [HONEY] * width
    return rows


def logo(size):
    """The product mark: a honey hexagon holding a white broom sweep, on the window colour."""
    background = (212, 208, 200)
    rows = [[background] * size for _ in range(size)]
    c = size / 2
    outer = hexagon(c, c, size * 0.48)
    inner = hexagon(c, c, size * 0.42)
    for y in range(size):
        for x in range(size):
            px, py = x + 0.5, y + 0.5
            if inside(inner, px, py):
                t = (py / size)
                rows[y][x] = mix(HONEY, DEEP_HONEY, t)
            elif inside(outer, px, py):
                rows[y][x] = (120, 70, 0)
    raster = Raster(size)
    # A broom leaning to the left: handle, binding, a fan of bristles with darker strands,
    # and three sweep strokes before it.
    u = size / 96.0
    raster.line([(70 * u, 16 * u), (47 * u, 52 * u)], 5.5 * u, (120, 62, 10))
    raster.line([(70 * u, 16 * u), (48 * u, 50 * u)], 2.5 * u, (170, 96, 30))
    raster.polygon([(41 * u, 47 * u), (52 * u, 54 * u), (49 * u, 59 * u), (38 * u, 52 * u)], (200, 40, 30))
    raster.polygon([(38 * u, 52 * u), (49 * u, 59 * u), (44 * u, 80 * u), (19 * u, 67 * u)], WHITE)
    for k in range(1, 6):
        t = k / 6.0
        top = (38 * u + 11 * u * t, 52 * u + 7 * u * t)
        bottom = (19 * u + 25 * u * t, 67 * u + 13 * u * t)
        raster.line([top, bottom], 1.0 * u, (236, 222, 190))
    for k, radius in enumerate((10, 15, 20)):
        raster.arc(22 * u, 78 * u, radius * u + 1.2 * u, radius * u - 0.4 * u, 150 - 8 * k, 200 + 4 * k, (255, 240, 205))
    for y in range(size):
        for x in range(size):
            if raster.pixels[y][x] is not None and inside(inner, x + 0.5, y + 0.5):
                rows[y][x] = raster.pixels[y][x]
    return rows


def icon_image(size):
    rows = logo(size)
    # The window colour around the hexagon becomes transparent in the icon.
    c = size / 2
    outer = hexagon(c, c, size * 0.48)
    alpha = [[255 if inside(outer, x + 0.5, y + 0.5) else 0 for x in range(size)] for y in range(size)]
    bits = bytearray()
    for y in reversed(range(size)):
        for x in range(size):
            r, g, b = rows[y][x]
            bits += bytes((b, g, r, alpha[y][x]))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for y in reversed(range(size)):
        line = bytearray(mask_stride)
        for x in range(size):
            if not alpha[y][x]:
                line[x // 8] |= 0x80 >> (x % 8)
        mask += line
    info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(bits) + len(mask), 0, 0, 0, 0)
    return info + bits + mask


def icon(sizes):
    images = [icon_image(s) for s in sizes]
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    for s, image in zip(sizes, images):
        entries += struct.pack("<BBBBHHII", s, s, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    return directory + entries + b"".join(images)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: wizardart.py OUTPUT_DIR")
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    glyphs = write_art(out, "wizard_glyphs.bmp", bmp24(glyph_strip()))
    banner_bmp = write_art(out, "wizard_banner.bmp", bmp24(banner(480, 64)))
    logo_bmp = write_art(out, "wizard_logo.bmp", bmp24(logo(96)))
    app_icon = write_art(out, "hivesweep.ico", icon([32, 16]))
    lines = [
        "// Generated by tools/wizardart.py.\n",
        'MAINICON ICON "%s"\n' % app_icon,
        'WIZARD_GLYPHS BITMAP "%s"\n' % glyphs,
        'WIZARD_BANNER BITMAP "%s"\n' % banner_bmp,
        'WIZARD_LOGO BITMAP "%s"\n' % logo_bmp,
    ]
    write_script(out, "wizardres.rc", lines)


if __name__ == "__main__":
    main()
