#!/usr/bin/env python3
"""Writes the test icon: 32 x 32, 32 bits; left half opaque blue, right half fully transparent."""
import struct
import sys

size = 32
pixels = b"".join(
    bytes([255, 0, 0, 255]) if x < size // 2 else bytes([0, 0, 0, 0])
    for _ in range(size) for x in range(size))
info = struct.pack("<IiiHHIIiiII", 40, size, size, 1, 32, 0, len(pixels), 0, 0, 0, 0)
header = b"BM" + struct.pack("<IHHI", 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
with open(sys.argv[1], "wb") as f:
    f.write(header + info + pixels)
