#!/usr/bin/env python3
"""Writes the packed debug-symbol map of a Windows executable beside it: X.exe gets X.hx.

Units are source file names, publics the code symbols (demangled, no parameter lists, "::" as
"."), and the line table comes from the DWARF line programs of the sources under --source-root.
Layout of the file (little-endian):
  0  14-character tag         14  payload length      18  format version (3)
  22 CRC-32 of the code bytes 26  CRC-32 of the stream 30  flags (0), 3 reserved bytes
  34 payload: the zlib-compressed stream, enciphered with the cipher of hxCrypt
The stream: segment count, per segment start, length (relative to the code base) and a short
text; public count, per public a short text, the first address as 4 bytes and every further one
as a packed difference; line count, the first line and address as 4 bytes each and every further
pair as packed differences; the entry point (relative to the code base).
Short text: a length byte and the characters. Packed integer: one signed byte, or -128 and 4 bytes.
With --embed the same data also goes into the executable as resource "EXCEPT" of type "HX".

Usage: hxmapgen.py --nm NM --cipher hxCrypt.cpp --source-root DIR [--embed] EXE [OUTPUT]
"""

import argparse
import array
import os
import re
import struct
import subprocess
import sys
import zlib

TAG = b"HIVESWEEP-MAP1"
VERSION = 3
KEY_WORD = b"quarry"
HEADER_SIZE = 34


# ---- PE image ----

class PeImage:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE header")
        (self.machine, nsections, self.timestamp, symtab, nsyms, optsize, _) = struct.unpack_from(
            "<HHIIIHH", data, pe + 4)
        opt = pe + 24
        magic = struct.unpack_from("<H", data, opt)[0]
        self.entry_rva, self.base_of_code = struct.unpack_from("<II", data, opt + 16)
        self.size_of_code = struct.unpack_from("<I", data, opt + 4)[0]
        if magic == 0x20B:
            self.image_base = struct.unpack_from("<Q", data, opt + 24)[0]
        else:
            self.image_base = struct.unpack_from("<I", data, opt + 28)[0]
        strtab = symtab + nsyms * 18 if symtab else 0
        self.sections = []
        pos = opt + optsize
        for _ in range(nsections):
            raw_name = data[pos:pos + 8].rstrip(b"\0")
            vsize, va, rawsize, rawptr = struct.unpack_from("<IIII", data, pos + 8)
            flags = struct.unpack_from("<I", data, pos + 36)[0]
            name = raw_name.decode("latin-1")
            if name.startswith("/") and strtab:
                start = strtab + int(name[1:])
                name = data[start:data.index(b"\0", start)].decode("latin-1")
            self.sections.append((name, va, vsize, rawptr, rawsize, flags))
            pos += 40

    def section(self, name):
        for s in self.sections:
            if s[0] == name:
                return s
        return None

    def contents(self, section):
        _, _, vsize, rawptr, rawsize, _ = section
        return self.data[rawptr:rawptr + min(vsize, rawsize)]

    def code_range(self):
        """Code base and end as RVAs, found the way the reader finds them."""
        first = self.sections[0]
        if not first[5] & 0x20:
            return self.base_of_code, self.base_of_code + self.size_of_code
        start, end = first[1], first[1] + first[2]
        if len(self.sections) > 1 and self.sections[1][5] & 0x20:
            end = self.sections[1][1] + self.sections[1][2]
        return start, end


# ---- DWARF line programs ----

def uleb(data, pos):
    result = shift = 0
    while True:
        b = data[pos]
        pos += 1
        result |= (b & 0x7F) << shift
        if b < 0x80:
            return result, pos
        shift += 7


def sleb(data, pos):
    result = shift = 0
    while True:
        b = data[pos]
        pos += 1
        result |= (b & 0x7F) << shift
        shift += 7
        if b < 0x80:
            if b & 0x40:
                result -= 1 << shift
            return result, pos


def read_form(data, pos, form, offset_size, line_str):
    """One attribute value of a DWARF 5 entry format: (value, position after it)."""
    if form == 0x08:  # string
        end = data.index(b"\0", pos)
        return data[pos:end].decode("latin-1"), end + 1
    if form in (0x1F, 0x0E):  # line_strp, strp
        off = int.from_bytes(data[pos:pos + offset_size], "little")
        text = ""
        if form == 0x1F and line_str is not None:
            end = line_str.index(b"\0", off)
            text = line_str[off:end].decode("latin-1")
        return text, pos + offset_size
    if form == 0x0F:  # udata
        return uleb(data, pos)
    sizes = {0x0B: 1, 0x05: 2, 0x06: 4, 0x07: 8, 0x1E: 16}
    if form in sizes:
        return int.from_bytes(data[pos:pos + sizes[form]], "little"), pos + sizes[form]
    if form == 0x09:  # block
        n, pos = uleb(data, pos)
        return None, pos + n
    raise ValueError("form %#x in a line table header" % form)


def read_v5_entries(data, pos, offset_size, line_str):
    count = data[pos]
    pos += 1
    formats = []
    for _ in range(count):
        kind, pos = uleb(data, pos)
        form, pos = uleb(data, pos)
        formats.append((kind, form))
    n, pos = uleb(data, pos)
    entries = []
    for _ in range(n):
        entry = {}
        for kind, form in formats:
            entry[kind], pos = read_form(data, pos, form, offset_size, line_str)
        entries.append(entry)
    return entries, pos


def line_rows(data, line_str, wanted, lo, hi):
    """Rows (address, file name, line) of the files for which wanted(path) holds, inside [lo, hi)."""
    rows = []
    pos = 0
    size = len(data)
    while pos + 4 <= size:
        unit_length = struct.unpack_from("<I", data, pos)[0]
        pos += 4
        offset_size = 4
        if unit_length == 0xFFFFFFFF:
            unit_length = struct.unpack_from("<Q", data, pos)[0]
            pos += 8
            offset_size = 8
        unit_end = pos + unit_length
        version = struct.unpack_from("<H", data, pos)[0]
        pos += 2
        address_size = 8
        if version >= 5:
            address_size = data[pos]
            pos += 2
        header_length = int.from_bytes(data[pos:pos + offset_size], "little")
        pos += offset_size
        program = pos + header_length
        min_length = data[pos]
        pos += 1
        if version >= 4:
            pos += 1
        pos += 1  # default_is_stmt: every row is used
        line_base = struct.unpack_from("<b", data, pos)[0]
        line_range = data[pos + 1]
        opcode_base = data[pos + 2]
        lengths = data[pos + 3:pos + 2 + opcode_base]
        pos += 2 + opcode_base
        names = {}
        if version >= 5:
            dirs, pos = read_v5_entries(data, pos, offset_size, line_str)
            files, pos = read_v5_entries(data, pos, offset_size, line_str)
            dir_names = [d.get(1, "") for d in dirs]
            for index, f in enumerate(files):
                name = f.get(1, "")
                d = f.get(2, 0)
                if not name.startswith("/") and d < len(dir_names):
                    name = dir_names[d] + "/" + name
                names[index] = name
        else:
            dir_names = [""]
            while data[pos]:
                end = data.index(b"\0", pos)
                dir_names.append(data[pos:end].decode("latin-1"))
                pos = end + 1
            pos += 1
            index = 1
            while data[pos]:
                end = data.index(b"\0", pos)
                name = data[pos:end].decode("latin-1")
                pos = end + 1
                d, pos = uleb(data, pos)
                _, pos = uleb(data, pos)
                _, pos = uleb(data, pos)
                if not name.startswith("/") and 0 < d < len(dir_names):
                    name = dir_names[d] + "/" + name
                names[index] = name
                index += 1
        keep = {i: os.path.basename(n) for i, n in names.items() if wanted(n)}
        if keep and line_range:
            run_program(data, program, unit_end, address_size, min_length, line_base, line_range,
                        opcode_base, lengths, keep, lo, hi, rows)
        pos = unit_end
    return rows


def run_program(data, pos, end, address_size, min_length, line_base, line_range, opcode_base,
                lengths, keep, lo, hi, rows):
    add_row = rows.append
    advance = [0] * 256
    step = [0] * 256
    for op in range(opcode_base, 256):
        adj = op - opcode_base
        advance[op] = (adj // line_range) * min_length
        step[op] = line_base + adj % line_range
    const_add = advance[255]
    address = 0
    line = 1
    current = keep.get(1)
    valid = True
    while pos < end:
        op = data[pos]
        pos += 1
        if op >= opcode_base:
            address += advance[op]
            line += step[op]
            if current is not None and valid:
                add_row((address, current, line))
        elif op == 0:
            n, pos = uleb(data, pos)
            sub = data[pos]
            if sub == 1:
                address = 0
                line = 1
                current = keep.get(1)
                valid = True
            elif sub == 2:
                address = int.from_bytes(data[pos + 1:pos + 1 + address_size], "little")
                valid = lo <= address < hi
            pos += n
        elif op == 1:
            if current is not None and valid:
                add_row((address, current, line))
        elif op == 3:
            n = data[pos]
            if n < 0x80:
                pos += 1
                line += n - 128 if n & 0x40 else n
            else:
                n, pos = sleb(data, pos)
                line += n
        elif op == 2:
            n, pos = uleb(data, pos)
            address += n * min_length
        elif op == 4:
            n = data[pos]
            if n < 0x80:
                pos += 1
            else:
                n, pos = uleb(data, pos)
            current = keep.get(n)
        elif op == 5:  # column: not kept
            if data[pos] < 0x80:
                pos += 1
            else:
                _, pos = uleb(data, pos)
        elif op == 8:
            address += const_add
        elif op == 9:
            address += struct.unpack_from("<H", data, pos)[0]
            pos += 2
        else:
            for _ in range(lengths[op - 1]):
                _, pos = uleb(data, pos)


# ---- Symbols ----

ANONYMOUS = "(anonymous namespace)"
OPERATOR_CHARS = set("<>=!+-*/%&|^~[],")


def is_ident(c):
    return c.isalnum() or c == "_"


def drop_signature(s):
    """'ret ns::name<args>(params) const' -> 'ns::name<args>'."""
    name_start = i = depth = 0
    operator_seen = False
    n = len(s)
    while i < n:
        if depth == 0 and s.startswith(ANONYMOUS, i):
            i += len(ANONYMOUS)
            continue
        if (depth == 0 and s.startswith("operator", i) and (i == 0 or not is_ident(s[i - 1]))
                and (i + 8 == n or not is_ident(s[i + 8]))):
            operator_seen = True
            i += 8
            if s.startswith("()", i):
                i += 2
            else:
                while i < n and s[i] in OPERATOR_CHARS:
                    i += 1
            continue
        c = s[i]
        if c == "(" and depth == 0:
            return s[name_start:i]
        if c in "<([{":
            depth += 1
        elif c in ">)]}" and depth > 0:
            depth -= 1
        elif c == " " and depth == 0 and not operator_seen:
            name_start = i + 1
        i += 1
    return s


SIMPLE_SIGNATURE = re.compile(r"(?:[^ ()<>]* )?([^ ()<>]+)\(")


def public_name(raw):
    if "(" in raw:
        simple = None if "operator" in raw or "(anon" in raw else SIMPLE_SIGNATURE.match(raw)
        raw = simple.group(1) if simple else drop_signature(raw)
    return raw.replace("::", ".")


def read_publics(nm_output, lo, hi):
    """Sorted (address, name) of the code symbols inside [lo, hi), one per address."""
    by_address = {}
    for line in nm_output.splitlines():
        parts = line.split(" ", 2)
        if len(parts) != 3 or len(parts[1]) != 1 or parts[1] not in "TtWw":
            continue
        name = parts[2]
        if name.startswith(".") or name.startswith("__imp_"):
            continue
        address = int(parts[0], 16)
        if lo <= address < hi:
            # A global name wins over a local alias at the same address.
            if address not in by_address or parts[1] in "TW":
                by_address[address] = public_name(name)
    return sorted(by_address.items())


# ---- Packed stream ----

def short_text(text):
    raw = text.encode("latin-1", "replace")[:255]
    return bytes([len(raw)]) + raw


def packed_int(value):
    if -127 <= value <= 127:
        return struct.pack("<b", value)
    return b"\x80" + struct.pack("<i", value)


def build_stream(code_lo, code_hi, entry, publics, rows):
    """Segments from the unit of each public's first row; lines of that unit inside the public."""
    rows.sort(key=lambda row: row[0])  # stable: the last row at an address wins
    segments = []
    lines = []
    r = 0
    nrows = len(rows)
    for index, (address, _) in enumerate(publics):
        end = publics[index + 1][0] if index + 1 < len(publics) else code_hi
        while r < nrows and rows[r][0] < address:
            r += 1
        if r >= nrows or rows[r][0] >= end:
            continue
        unit = rows[r][1]
        if segments and segments[-1][2] == unit and segments[-1][0] + segments[-1][1] == address:
            segments[-1][1] = end - segments[-1][0]
        else:
            segments.append([address, end - address, unit])
        last_line = None
        while r < nrows and rows[r][0] < end:
            row_address, row_unit, row_line = rows[r]
            r += 1
            if row_unit != unit:
                continue
            if lines and lines[-1][1] == row_address:
                lines[-1] = (row_line, row_address)
                last_line = row_line
            elif row_line != last_line:
                lines.append((row_line, row_address))
                last_line = row_line
    out = bytearray()
    out += struct.pack("<I", len(segments))
    for start, length, unit in segments:
        out += struct.pack("<II", start - code_lo, length)
        out += short_text(unit)
    out += struct.pack("<I", len(publics))
    previous = None
    for address, name in publics:
        out += short_text(name)
        if previous is None:
            out += struct.pack("<I", address - code_lo)
        else:
            out += packed_int(address - previous)
        previous = address
    out += struct.pack("<I", len(lines))
    previous = None
    for line, address in lines:
        if previous is None:
            out += struct.pack("<iI", line, address - code_lo)
        else:
            out += packed_int(line - previous[0]) + packed_int(address - previous[1])
        previous = (line, address)
    out += struct.pack("<I", (entry - code_lo) & 0xFFFFFFFF)
    return bytes(out)


# ---- Cipher ----

def load_tables(cipher_source):
    with open(cipher_source, encoding="latin-1") as f:
        src = f.read()

    def words(name, end):
        i = src.index(name)
        return [int(x, 16) for x in re.findall(r"0x[0-9a-fA-F]{8}", src[i:src.index(end, i)])]
    p = words("kInitP", "};")
    s = words("kInitS", "\n};")
    if len(p) != 18 or len(s) != 1024:
        raise ValueError("cipher tables not found in " + cipher_source)
    return p, s


class Cipher:
    """The block cipher of hxCrypt, encrypting direction, little-endian words."""

    def __init__(self, tables, key):
        p, s = list(tables[0]), list(tables[1])
        j = 0
        for i in range(18):
            d = 0
            for _ in range(4):
                d = (d << 8) | key[j]
                j = (j + 1) % len(key)
            p[i] ^= d
        self.p, self.s = p, s
        left = right = 0
        for i in range(0, 18, 2):
            left, right = self.block(left, right)
            p[i], p[i + 1] = left, right
        for i in range(0, 1024, 2):
            left, right = self.block(left, right)
            s[i], s[i + 1] = left, right

    def block(self, left, right):
        p, s = self.p, self.s
        for i in range(16):
            left ^= p[i]
            right ^= ((((s[left >> 24] + s[256 + ((left >> 16) & 255)]) & 0xFFFFFFFF)
                       ^ s[512 + ((left >> 8) & 255)]) + s[768 + (left & 255)]) & 0xFFFFFFFF
            left, right = right, left
        return right ^ p[17], left ^ p[16]

    def encrypt(self, data):
        """Whole 8-byte blocks; trailing bytes stay as they are."""
        count = len(data) // 8
        w = list(struct.unpack_from("<%dI" % (2 * count), data))
        s0, s1, s2, s3 = self.s[0:256], self.s[256:512], self.s[512:768], self.s[768:1024]
        p = self.p
        m = 0xFFFFFFFF
        for b in range(0, 2 * count, 2):
            left, right = w[b], w[b + 1]
            for i in range(0, 16, 2):
                left ^= p[i]
                right ^= ((((s0[left >> 24] + s1[(left >> 16) & 255]) & m) ^ s2[(left >> 8) & 255])
                          + s3[left & 255]) & m
                right ^= p[i + 1]
                left ^= ((((s0[right >> 24] + s1[(right >> 16) & 255]) & m) ^ s2[(right >> 8) & 255])
                         + s3[right & 255]) & m
            w[b], w[b + 1] = right ^ p[17], left ^ p[16]
        return struct.pack("<%dI" % (2 * count), *w) + data[8 * count:]


def payload_key(tables, length):
    """The run-time key: the key word and the payload length as text, enciphered under the word."""
    text = KEY_WORD + b"%d:%08x" % (length, length)
    return Cipher(tables, KEY_WORD).encrypt(text)


def pack(tables, stream, code_crc):
    payload = zlib.compress(stream, 6)
    payload = Cipher(tables, payload_key(tables, len(payload))).encrypt(payload)
    header = TAG + struct.pack("<IIIIB3x", len(payload), VERSION, code_crc,
                               zlib.crc32(stream) & 0xFFFFFFFF, 0)
    assert len(header) == HEADER_SIZE
    return header + payload



# ---- Embedding as resource "EXCEPT" of type "HX" ----
#
# The image is not linked again: a new last section receives the packed data and a copy of the
# resource directory with the new entry; the directory entry of the headers moves there, while
# the existing resources stay where they are (their data entries hold RVAs). Code and data keep
# their addresses, which embed() proves by comparing the code bytes before and after.

def align(value, to):
    return (value + to - 1) // to * to


def read_resources(data, image, root_rva):
    """{type: {name: {language: (rva, size, codepage)}}}; keys are ints or upper-case texts."""
    if not root_rva:
        return {}
    def offset(rva):
        for _, va, vsize, rawptr, rawsize, _ in image.sections:
            if va <= rva < va + max(vsize, rawsize):
                return rawptr + rva - va
        raise ValueError("resource RVA outside the sections")
    base = offset(root_rva)

    def key(name_field):
        if name_field & 0x80000000:
            at = base + (name_field & 0x7FFFFFFF)
            length = struct.unpack_from("<H", data, at)[0]
            return data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
        return name_field

    def directory(at, depth):
        named, ids = struct.unpack_from("<HH", data, base + at + 12)
        result = {}
        for i in range(named + ids):
            name_field, target = struct.unpack_from("<II", data, base + at + 16 + 8 * i)
            if target & 0x80000000:
                result[key(name_field)] = directory(target & 0x7FFFFFFF, depth + 1)
            else:
                result[key(name_field)] = struct.unpack_from("<III", data, base + target)
        return result
    return directory(0, 0)


def write_resources(tree):
    """The directory tree, then its names, then its data entries; offsets count from its start."""
    tables, strings, entries = bytearray(), bytearray(), bytearray()
    patches = []  # (position in tables, kind, index)

    def order(d):
        # Names keep the order the resource compiler gave them; new ones are inserted in place.
        return [k for k in d if isinstance(k, str)], sorted(k for k in d if not isinstance(k, str))

    def emit(d, depth):
        at = len(tables)
        named, ids = order(d)
        tables.extend(struct.pack("<IIHHHH", 0, 0, 0, 0, len(named), len(ids)))
        slots = []
        for k in named + ids:
            slots.append((len(tables), k))
            tables.extend(b"\0" * 8)
        for slot, k in slots:
            if isinstance(k, str):
                patches.append((slot, "name", len(strings)))
                strings.extend(struct.pack("<H", len(k)) + k.encode("utf-16-le"))
            else:
                struct.pack_into("<I", tables, slot, k)
            if depth < 2:
                struct.pack_into("<I", tables, slot + 4, 0x80000000 | emit(d[k], depth + 1))
            else:
                patches.append((slot + 4, "entry", len(entries)))
                entries.extend(struct.pack("<IIII", d[k][0], d[k][1], d[k][2], 0))
        return at
    emit(tree, 0)
    strings_at = len(tables)
    entries_at = align(strings_at + len(strings), 4)
    for slot, kind, index in patches:
        if kind == "name":
            struct.pack_into("<I", tables, slot, 0x80000000 | (strings_at + index))
        else:
            struct.pack_into("<I", tables, slot, entries_at + index)
    out = bytes(tables) + bytes(strings)
    return out + b"\0" * (entries_at - len(out)) + bytes(entries)


def with_entry(directory, name, value):
    """A copy of directory with name set, a new name placed before the first greater one."""
    if name in directory:
        return {k: (value if k == name else v) for k, v in directory.items()}
    result = {}
    for k, v in directory.items():
        if name not in result and (not isinstance(k, str) or k.upper() > name):
            result[name] = value
        result[k] = v
    result.setdefault(name, value)
    return result


def embed(exe_data, image, packed):
    """The image with the packed data as resource "EXCEPT" of type "HX"; None when no room."""
    data = bytearray(exe_data)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    opt = pe + 24
    magic = struct.unpack_from("<H", data, opt)[0]
    section_alignment, file_alignment = struct.unpack_from("<II", data, opt + 32)
    size_of_headers = struct.unpack_from("<I", data, opt + 60)[0]
    directories = opt + (112 if magic == 0x20B else 96)
    nsections = struct.unpack_from("<H", data, pe + 6)[0]
    optsize = struct.unpack_from("<H", data, pe + 20)[0]
    table_end = opt + optsize + 40 * (nsections + 1)
    first_raw = min(s[3] for s in image.sections if s[3])
    if table_end > min(size_of_headers, first_raw):
        return None
    root_rva = struct.unpack_from("<I", data, directories + 2 * 8)[0]
    tree = read_resources(exe_data, image, root_rva)
    va = align(max(s[1] + max(s[2], s[4]) for s in image.sections), section_alignment)
    # The packed data first, then the directory that points at it.
    tree = with_entry(tree, "HX", with_entry(tree.get("HX", {}), "EXCEPT", {0: (va, len(packed), 0)}))
    directory = write_resources(tree)
    directory_at = align(len(packed), 8)
    contents = packed + b"\0" * (directory_at - len(packed)) + directory
    raw_at = align(len(data), file_alignment)
    raw_size = align(len(contents), file_alignment)
    header = struct.pack("<8sIIIIIIHHI", b".hxsym", len(contents), va, raw_size, raw_at, 0, 0, 0, 0, 0x40000040)
    data[opt + optsize + 40 * nsections:table_end] = header
    struct.pack_into("<H", data, pe + 6, nsections + 1)
    struct.pack_into("<I", data, opt + 56, align(va + len(contents), section_alignment))  # SizeOfImage
    struct.pack_into("<II", data, directories + 2 * 8, va + directory_at, len(directory))
    data.extend(b"\0" * (raw_at - len(data)))
    data.extend(contents + b"\0" * (raw_size - len(contents)))
    if struct.unpack_from("<I", exe_data, opt + 64)[0]:
        struct.pack_into("<I", data, opt + 64, updated_checksum(exe_data, data, size_of_headers, opt + 64))
    return bytes(data)


def word_sum(data, start, end, skip):
    """Sum of the 16-bit words in [start, end) but the checksum field at skip."""
    chunk = bytes(data[start:end])
    words = array.array("H", chunk + b"\0" * (len(chunk) % 2))
    if sys.byteorder != "little":
        words.byteswap()
    total = sum(words)
    if start <= skip < end:
        total -= words[(skip - start) // 2] + words[(skip - start) // 2 + 1]
    return total


def fold(total):
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total


def updated_checksum(old, new, header_end, checksum_at):
    """The image checksum of new from the valid one of old: new differs from old only in the
    headers and by bytes appended at its end. The checksum is the sum of the file's 16-bit words
    with the carries folded in (a sum modulo 0xFFFF), plus the file length."""
    old_sum = struct.unpack_from("<I", old, checksum_at)[0] - len(old)
    total = (old_sum + word_sum(new, 0, header_end, checksum_at) + 0xFFFF * 0x10000
             - word_sum(old, 0, header_end, checksum_at) + word_sum(new, len(old) - len(old) % 2, len(new), -1))
    if len(old) % 2:
        total -= old[-1]
    return fold(total) + len(new)


def main():
    parser = argparse.ArgumentParser(description="Writes the packed debug-symbol map beside an executable.")
    parser.add_argument("--nm", required=True)
    parser.add_argument("--cipher", required=True, help="hxCrypt.cpp, source of the cipher tables")
    parser.add_argument("--source-root", required=True, help="line tables of sources below it")
    parser.add_argument("--embed", action="store_true",
                        help="also store the map in the executable as resource EXCEPT of type HX")
    parser.add_argument("exe")
    parser.add_argument("output", nargs="?")
    args = parser.parse_args()

    nm = subprocess.Popen([args.nm, "-C", "--defined-only", args.exe], stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL)
    with open(args.exe, "rb") as f:
        image = PeImage(f.read())
    lo_rva, hi_rva = image.code_range()
    lo, hi = image.image_base + lo_rva, image.image_base + hi_rva
    roots = tuple({os.path.abspath(args.source_root) + "/", os.path.realpath(args.source_root) + "/"})

    def is_source(path):
        if path.startswith(roots):
            return True
        # A compiler cache with a base folder writes names relative to the build folder.
        rest = path
        while rest.startswith("../"):
            rest = rest[3:]
        return rest != path and os.path.isfile(os.path.join(roots[0], rest))

    rows = []
    line_section = image.section(".debug_line")
    if line_section:
        line_str = image.section(".debug_line_str")
        rows = line_rows(image.contents(line_section), image.contents(line_str) if line_str else None,
                         is_source, lo, hi)
    nm_output = nm.communicate()[0].decode("latin-1")
    if nm.returncode != 0:
        sys.exit("hxmapgen: %s failed on %s" % (args.nm, args.exe))
    publics = read_publics(nm_output, lo, hi)
    stream = build_stream(lo, hi, image.image_base + image.entry_rva, publics, rows)
    text = image.section(".text") or image.sections[0]
    code_crc = zlib.crc32(image.contents(text)) & 0xFFFFFFFF
    packed = pack(load_tables(args.cipher), stream, code_crc)
    write_file(args.output or os.path.splitext(args.exe)[0] + ".hx", packed)
    if args.embed:
        if image.section(".hxsym"):
            sys.exit("hxmapgen: %s already holds its symbols" % args.exe)
        embedded = embed(image.data, image, packed)
        if embedded is None:
            print("hxmapgen: no room for another section in %s; symbols only beside it" % args.exe)
            return
        # Nothing of the code may have moved.
        check = PeImage(embedded)
        if zlib.crc32(check.contents(check.section(text[0]))) & 0xFFFFFFFF != code_crc:
            sys.exit("hxmapgen: the code of %s changed while embedding" % args.exe)
        write_file(args.exe, embedded)


def write_file(name, data):
    with open(name + ".tmp", "wb") as f:
        f.write(data)
    if os.path.exists(name):
        os.chmod(name + ".tmp", os.stat(name).st_mode)
    os.replace(name + ".tmp", name)


if __name__ == "__main__":
    main()
