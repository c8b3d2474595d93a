#!/usr/bin/env python3
"""Runs the form converter on small descriptions: mistakes end in a line-numbered error, and the
strings it writes are of the 8-bit types the reporter's settings and assistant readers take."""
import os
import struct
import subprocess
import sys
import tempfile

CONVERTER = sys.argv[1]
failures = []


def check(condition, text):
    if not condition:
        failures.append(text)


def convert(folder, name, text, reader=None):
    source = os.path.join(folder, name + '.txt')
    target = os.path.join(folder, name + '.bin')
    with open(source, 'w', encoding='utf-8') as f:
        f.write(text)
    options = ['--reader', reader] if reader else []
    run = subprocess.run([sys.executable, CONVERTER] + options + [source, target], capture_output=True, timeout=60)
    data = None
    if run.returncode == 0 and os.path.exists(target):
        with open(target, 'rb') as f:
            data = f.read()
    return run.returncode, run.stderr.decode('utf-8', 'replace'), data


def reporter_properties(data):
    """The properties of the root object as the reporter reads them; None at a type it refuses."""
    pos = 4
    for _ in range(2):  # class name, object name
        pos += 1 + data[pos]
    properties = {}
    while data[pos]:
        name = data[pos + 1:pos + 1 + data[pos]].decode('latin-1')
        pos += 1 + data[pos]
        kind = data[pos]
        pos += 1
        if kind in (6, 7):
            value = data[pos + 1:pos + 1 + data[pos]]
            pos += 1 + data[pos]
        elif kind == 12:
            length = struct.unpack_from('<I', data, pos)[0]
            value = data[pos + 4:pos + 4 + length]
            pos += 4 + length
        elif kind in (2, 3, 4):
            size = {2: 1, 3: 2, 4: 4}[kind]
            value = int.from_bytes(data[pos:pos + size], 'little', signed=True)
            pos += size
        elif kind in (8, 9):
            value = kind == 9
        else:
            return None
        properties[name] = value
    return properties


def expect_error(folder, name, text, line, words, reader=None):
    rc, err, _ = convert(folder, name, text, reader)
    check(rc == 1, '%s: exit code %d' % (name, rc))
    check('Traceback' not in err, '%s: traceback instead of an error:\n%s' % (name, err))
    check(('%s.txt:%d: error: ' % (name, line)) in err and words in err, '%s: error text %r' % (name, err))


with tempfile.TemporaryDirectory() as folder:
    # Letters outside the ASCII range are no part of a name.
    expect_error(folder, 'letter', "object frmA: TForm\n  Width = 1\n  Capti\u00f3n = 'x'\nend\n", 3,
                 'unexpected character')
    expect_error(folder, 'digit', "object frmA: TForm\n  Width = \u0663\nend\n", 2, 'unexpected character')
    # A number is ASCII digits only: another script's digit after one is no part of it.
    expect_error(folder, 'digits', "object frmA: TForm\n  Width = 1\n  Height = 1\u0663\nend\n", 3,
                 'unexpected character')
    expect_error(folder, 'fraction', "object frmA: TForm\n  Ratio = 1.5\u0663\nend\n", 2, 'unexpected character')
    expect_error(folder, 'code', "object frmA: TForm\n  Caption = 'a'#6\u0663\nend\n", 2, 'unexpected character')
    expect_error(folder, 'order', "object frmA: TForm\n  Items = <item [1\u0663] end>\nend\n", 2,
                 'unexpected character')
    expect_error(folder, 'cyrillic', "object frmA: TForm\n\n  Caption = '\u0416'\nend\n", 3, 'U+0416')

    # Characters above #255, typed or as codes, take their code page 1252 bytes; codes up to #255
    # are the bytes themselves.
    rc, err, data = convert(folder, 'euro', "object frmA: TVQContactForm\n"
                            "  Caption = 'Pr\u00e9is \u20ac' + #$20AC#8211#150\n"
                            "  Long = '" + 'x' * 300 + "\u2122'\n"
                            "end\n")
    check(rc == 0 and data is not None, 'euro: conversion failed: %s' % err)
    if data is not None:
        properties = reporter_properties(data)
        check(properties is not None, 'euro: a value type the reporter refuses: %r' % data)
        if properties is not None:
            check(properties.get('Caption') == b'Pr\xe9is \x80\x80\x96\x96', 'Caption %r' % properties.get('Caption'))
            check(properties.get('Long') == b'x' * 300 + b'\x99', 'Long string %r' % properties.get('Long'))

    # An explicit wide string keeps a surrogate pair written as two codes.
    rc, err, data = convert(folder, 'pair', "object frmA: TForm\n  Caption = wide''#$D83D#$DE00\nend\n")
    check(rc == 0 and data is not None and data.endswith(b'\x12\x02\x00\x00\x00\x3d\xd8\x00\xde\x00\x00'),
          'wide surrogate pair: %r %s' % (data, err))

# The reporter's resources are read by readers of their own: the settings reader takes 8-, 16- and
# 32-bit integers, strings and True/False; the assistant's form reader takes identifiers as well.
# Each refused value ends the build with its line; the framework's reader (no --reader) takes all.
REFUSED = [
    ('int64', 'Count = -5000000000', '64-bit integer'),
    ('extended', 'Ratio = 1.5', 'extended'),
    ('single', 'Ratio = 1.5s', 'single'),
    ('currency', 'Ratio = 1.5c', 'currency'),
    ('date', 'When = 45000.5d', 'date'),
    ('wide', "Caption = wide'x'", 'wide string'),
    ('utf8', "Caption = utf8'x' + 'y'", 'UTF-8 string'),
    ('set', 'Style = [fsBold,\n    fsItalic]', 'set'),
    ('emptyset', 'Style = []', 'set'),
    ('list', "Lines = ('a')", 'list'),
    ('binary', 'Data = {00}', 'binary'),
    ('nil', 'Buddy = nil', 'nil'),
    ('collection', 'Items = <item Width = 1 end>', 'collection'),
]
ACCEPTED = "  Small = -128\n  Big = -2147483648\n  Top = 2147483647\n  Text = '" + 'x' * 300 + "'\n  On = True\n"

with tempfile.TemporaryDirectory() as folder:
    for reader, root in (('settings', 'object hxExcept: THxExcept'), ('assistant', 'object ContactForm: TVQForm')):
        for name, value, words in REFUSED:
            text = root + '\n' + ACCEPTED + '\n  ' + value + '\nend\n'
            expect_error(folder, reader + name, text, 8, words + ' value', reader)
            rc, err, _ = convert(folder, 'framework' + name, text)
            check(rc == 0, 'framework %s: %s' % (name, err))
        rc, err, data = convert(folder, reader, root + '\n' + ACCEPTED + 'end\n', reader)
        check(rc == 0 and data is not None and reporter_properties(data) is not None, '%s: %s' % (reader, err))
    # Identifiers: the settings reader refuses them, the assistant's items are full of them, also
    # in child objects.
    expect_error(folder, 'settingsident', 'object hxExcept: THxExcept\n  Align = alClient\nend\n', 2,
                 'identifier value', 'settings')
    rc, err, _ = convert(folder, 'assistantident', 'object ContactForm: TVQForm\n  OnAction = hxExcept.Handle\n'
                         '  object edtEmail: TNVEdit\n    OutputType = nvoHeader\n  end\nend\n', 'assistant')
    check(rc == 0, 'assistant identifiers: %s' % err)
    expect_error(folder, 'assistantchild', 'object ContactForm: TVQForm\n  object edtEmail: TNVEdit\n'
                 '    Lines = 1.0\n  end\nend\n', 3, 'extended value', 'assistant')
    rc, err, _ = convert(folder, 'unknownreader', 'object A: TB\nend\n', 'nobody')
    check(rc == 2 and 'nobody' in err, 'unknown reader: %d %s' % (rc, err))

for failure in failures:
    print('FAILED:', failure)
sys.exit(1 if failures else 0)
