#!/usr/bin/env python3
"""Checks the ZIP archives and PNG files the Windows tests wrote, with standard readers.

manifest.txt lines (tab-separated):
  zip <archive> <entry> <source>      the entry exists and its bytes equal the source file
  zipcount <archive> <n>              the archive holds exactly n entries
  png <file> <w> <h> <depth> <n>      pngcheck passes; size, bit depth, colour type 3, n palette
                                      entries; <file>.rows, when present, holds the index rows
  pngcolor <file> <index> <r> <g> <b> a palette entry
"""
import os
import struct
import subprocess
import sys
import zipfile
import zlib

out = sys.argv[1]
failures = []


def fail(message):
    failures.append(message)
    print("FAIL: " + message)


def run(*command):
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        fail(" ".join(command) + ":\n" + result.stdout + result.stderr)


def read_png(path):
    data = open(path, "rb").read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("no PNG signature")
    chunks, at = [], 8
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        crc, = struct.unpack(">I", data[at + 8 + length:at + 12 + length])
        if zlib.crc32(kind + body) != crc:
            raise ValueError("bad CRC in " + kind.decode())
        chunks.append((kind.decode(), body))
        at += 12 + length
    return chunks


def png_indexes(chunks):
    ihdr = dict(chunks)["IHDR"]
    width, height, depth, colour = struct.unpack(">IIBB", ihdr[:10])
    raw = zlib.decompress(b"".join(body for kind, body in chunks if kind == "IDAT"))
    stride = (width * depth + 7) // 8
    if len(raw) != height * (stride + 1):
        raise ValueError("IDAT holds %d bytes, expected %d" % (len(raw), height * (stride + 1)))
    rows = []
    for y in range(height):
        line = raw[y * (stride + 1):(y + 1) * (stride + 1)]
        if line[0] != 0:
            raise ValueError("row %d uses filter %d" % (y, line[0]))
        if depth == 8:
            rows.append(list(line[1:]))
        else:
            row = []
            for byte in line[1:]:
                row += [byte >> 4, byte & 0x0F]
            if width % 2:
                if row[-1] != 0:
                    raise ValueError("row %d: padding nibble is not zero" % y)
            rows.append(row[:width])
    return width, height, depth, colour, rows


manifest = os.path.join(out, "manifest.txt")
if not os.path.exists(manifest):
    print("FAIL: the Windows tests wrote no manifest in " + out)
    sys.exit(1)
lines = [line.rstrip("\n").split("\t") for line in open(manifest, encoding="latin-1") if line.strip()]

archives = {}
for fields in lines:
    kind, name = fields[0], fields[1]
    path = os.path.join(out, name)
    try:
        if kind == "zip":
            if name not in archives:
                run("unzip", "-t", "-qq", path)
                archives[name] = zipfile.ZipFile(path)
                if archives[name].testzip() is not None:
                    fail(name + ": zipfile reports a bad entry")
            entry, source = fields[2], fields[3]
            expected = open(os.path.join(out, source), "rb").read()
            if archives[name].read(entry) != expected:
                fail("%s: %s differs from %s" % (name, entry, source))
        elif kind == "zipcount":
            count = len(zipfile.ZipFile(path).namelist())
            if count != int(fields[2]):
                fail("%s: %d entries, expected %s" % (name, count, fields[2]))
        elif kind == "png":
            run("pngcheck", "-q", path)
            chunks = read_png(path)
            width, height, depth, colour, rows = png_indexes(chunks)
            want = tuple(int(v) for v in fields[2:6])
            got = (width, height, depth, len(dict(chunks)["PLTE"]) // 3)
            if got != want or colour != 3:
                fail("%s: size, depth, entries %s colour type %d, expected %s type 3"
                     % (name, got, colour, want))
            rows_file = path + ".rows"
            if os.path.exists(rows_file):
                expected = [[int(v) for v in line.split()] for line in open(rows_file)]
                if rows != expected:
                    bad = next(y for y in range(height) if rows[y] != expected[y])
                    fail("%s: row %d is %s, expected %s" % (name, bad, rows[bad][:16], expected[bad][:16]))
        elif kind == "pngcolor":
            plte = dict(read_png(path))["PLTE"]
            index = int(fields[2])
            got = tuple(plte[index * 3:index * 3 + 3])
            want = tuple(int(v) for v in fields[3:6])
            if got != want:
                fail("%s: palette entry %d is %s, expected %s" % (name, index, got, want))
        else:
            fail("unknown manifest line: " + "\t".join(fields))
    except (OSError, ValueError, KeyError, zipfile.BadZipFile, zlib.error) as error:
        fail("%s: %s" % (name, error))

print("%d checks, %d failures" % (len(lines), len(failures)))
sys.exit(1 if failures else 0)
