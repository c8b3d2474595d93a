"""Writing the drawn art: colour mixing, 24- and 32-bit BMPs and the resource scripts naming them.

Shared by the art scripts in this folder. Standard library only.
"""

import os
import struct


def mix(a, b, t):
    """The colour t of the way from a to b."""
    return tuple(int(round(x + (y - x) * t)) for x, y in zip(a, b))


def bmp_file(width, height, bit_count, bits):
    """The file of a bottom-up BMP from its pixel rows, bottom row first."""
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, bit_count, 0, len(bits), 2835, 2835, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(bits), 0, 0, 14 + len(info))
    return header + info + bits


def bmp24(rows):
    """A bottom-up 24-bit BMP of rows of (r, g, b) pixels."""
    height, width = len(rows), len(rows[0])
    stride = (width * 3 + 3) & ~3
    bits = bytearray()
    for row in reversed(rows):
        line = bytearray()
        for r, g, b in row:
            line += bytes((b, g, r))
        bits += line + bytes(stride - len(line))
    return bmp_file(width, height, 24, bits)


def bmp32(rows):
    """A bottom-up 32-bit BMP with alpha of rows of (r, g, b, a) pixels."""
    bits = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            bits += bytes((b, g, r, a))
    return bmp_file(len(rows[0]), len(rows), 32, bits)


def write_art(out, name, data):
    """Writes data to out/name; returns the path with forward slashes, as a resource script names it."""
    path = os.path.join(out, name)
    with open(path, "wb") as f:
        f.write(data)
    return path.replace("\\", "/")


def write_script(out, name, lines):
    """Writes the resource script out/name from its lines."""
    with open(os.path.join(out, name), "w") as f:
        f.write("".join(lines))
