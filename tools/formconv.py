#!/usr/bin/env python3
"""Turns a form description in text into the binary form-stream layout.

Usage: formconv.py [--reader settings|assistant] INPUT.txt OUTPUT.bin

--reader names the reporter's reader of the resource, and values of a type that reader
refuses end the conversion with an error: the settings reader takes 8-, 16- and 32-bit
integers, strings and True/False; the assistant's form reader takes identifiers as well.
Without it every type is written, as the framework's form-stream reader takes them all.

The text (UTF-8) describes one object:

    object hxExcept: THxExcept          (or "object TClass" for an unnamed one)
      Caption = 'It''s text'            short string; '' is a quote; #13#10 and #$0D are
                                        character codes; parts join with + across lines;
                                        strings over 255 bytes become long strings;
                                        the readers take 8-bit text, so a character
                                        above #255 is written in code page 1252;
                                        wide'..' / utf8'..' choose those types
      Count = 12                        int8, int16, int32 or int64, the smallest that fits;
                                        $1F is hexadecimal; digits are ASCII digits
      Ratio = 1.5                       extended; 1.5s single, 1.5c currency, 1.5d date
      Enabled = True                    True / False; nil
      Align = alClient                  identifier (enumerations, events, references)
      Style = [fsBold, fsItalic]        set
      Data = {0A0B0C}                   binary
      Lines = ('one' 'two' 3)           list
      Items = <item Width = 10 end      collection; "item [2]" gives an item an order value
               item Width = 20 end>
      object Child: TButton ... end     child objects, after the properties
    end

// starts a comment that runs to the end of the line.
"""

import math
import os
import re
import struct
import sys
from decimal import Decimal, InvalidOperation

NULL, LIST, INT8, INT16, INT32, EXTENDED, STRING, IDENT, FALSE, TRUE, BINARY, SET, LSTRING, NIL, \
    COLLECTION, SINGLE, CURRENCY, DATE, WSTRING, INT64, UTF8STRING = range(21)


class FormError(Exception):
    def __init__(self, line, message):
        super().__init__(message)
        self.line = line


class Token:
    def __init__(self, kind, value, line, typed=None):
        self.kind = kind      # ident, number, string, binary, symbol, eof
        self.value = value
        self.line = line
        self.typed = typed    # for strings: None, 'wide' or 'utf8'

    def __repr__(self):
        return repr(self.value) if self.kind != 'eof' else 'end of file'


TYPE_NAMES = {
    LIST: 'list', INT64: '64-bit integer', EXTENDED: 'extended', SINGLE: 'single', CURRENCY: 'currency',
    DATE: 'date', IDENT: 'identifier', BINARY: 'binary', SET: 'set', NIL: 'nil', COLLECTION: 'collection',
    WSTRING: 'wide string', UTF8STRING: 'UTF-8 string',
}

# The value types each reporter reader takes (reporter/capture/hxExceptSettingsStore.cpp,
# reporter/delivery/hxNVAssistant.cpp); it refuses any other at run time.
READERS = {
    'settings': ({INT8, INT16, INT32, STRING, LSTRING, FALSE, TRUE},
                 '8-, 16- and 32-bit integers, strings and True/False'),
    'assistant': ({INT8, INT16, INT32, STRING, LSTRING, FALSE, TRUE, IDENT},
                  '8-, 16- and 32-bit integers, strings, identifiers and True/False'),
}

IDENT_RE = re.compile(r'[A-Za-z_][A-Za-z0-9_]*(?:\.[A-Za-z_][A-Za-z0-9_]*)*')
# re.ASCII: \d alone also matches other scripts' digits, and int() and float() read those.
NUMBER_RE = re.compile(r'-?(?:\$[0-9A-Fa-f]+|\d+(?:\.\d+)?(?:[eE][+-]?\d+)?[scdSCD]?)', re.ASCII)
CHAR_RE = re.compile(r'#(\$[0-9A-Fa-f]+|\d+)', re.ASCII)
INTEGER_RE = re.compile(r'-?\d+', re.ASCII)
DIGITS = '0123456789'


def tokenize(text):
    tokens = []
    i, line, n = 0, 1, len(text)
    while i < n:
        c = text[i]
        if c == '\n':
            line += 1
            i += 1
        elif c.isspace():
            i += 1
        elif text.startswith('//', i):
            while i < n and text[i] != '\n':
                i += 1
        elif (c.isascii() and c.isalpha()) or c == '_':
            m = IDENT_RE.match(text, i)
            i = m.end()
            if m.group() in ('wide', 'utf8') and i < n and text[i] == "'":
                value, i, line = read_string(text, i, line)
                tokens.append(Token('string', value, line, m.group()))
            else:
                tokens.append(Token('ident', m.group(), line))
        elif c in DIGITS or c == '$' or (c == '-' and i + 1 < n and (text[i + 1] in DIGITS or text[i + 1] == '$')):
            m = NUMBER_RE.match(text, i)
            if not m:
                raise FormError(line, 'bad number')
            i = m.end()
            tokens.append(Token('number', m.group(), line))
        elif c in "'#":
            start = line
            value, i, line = read_string(text, i, line)
            tokens.append(Token('string', value, start))
        elif c == '{':
            end = text.find('}', i)
            if end < 0:
                raise FormError(line, 'binary data without }')
            digits = ''.join(text[i + 1:end].split())
            try:
                data = bytes.fromhex(digits)
            except ValueError:
                raise FormError(line, 'bad hexadecimal digits in binary data') from None
            tokens.append(Token('binary', data, line))
            line += text.count('\n', i, end)
            i = end + 1
        elif c in '=:[](),<>+':
            tokens.append(Token('symbol', c, line))
            i += 1
        else:
            raise FormError(line, 'unexpected character %r' % c)
    tokens.append(Token('eof', None, line))
    return tokens


def read_string(text, i, line):
    """Quoted parts and #codes written next to each other make one string."""
    parts = []
    n = len(text)
    while i < n:
        if text[i] == "'":
            i += 1
            while True:
                if i >= n or text[i] == '\n':
                    raise FormError(line, 'unterminated string')
                if text[i] == "'":
                    if i + 1 < n and text[i + 1] == "'":
                        parts.append("'")
                        i += 2
                        continue
                    i += 1
                    break
                parts.append(text[i])
                i += 1
        elif text[i] == '#':
            m = CHAR_RE.match(text, i)
            if not m:
                raise FormError(line, 'bad character code')
            digits = m.group(1)
            code = int(digits[1:], 16) if digits.startswith('$') else int(digits)
            if code > 0xFFFF:
                raise FormError(line, 'character code above #65535')
            parts.append(chr(code))
            i = m.end()
        else:
            break
    return ''.join(parts), i, line


class Writer:
    def __init__(self, tokens, reader=None):
        self.tokens = tokens
        self.at = 0
        self.out = bytearray()
        self.reader = reader
        self.property = ''

    # ---- tokens ----
    def peek(self):
        return self.tokens[self.at]

    def next(self):
        token = self.tokens[self.at]
        if token.kind != 'eof':
            self.at += 1
        return token

    def is_symbol(self, symbol):
        token = self.peek()
        return token.kind == 'symbol' and token.value == symbol

    def is_word(self, word):
        token = self.peek()
        return token.kind == 'ident' and token.value.lower() == word

    def expect_symbol(self, symbol):
        token = self.next()
        if token.kind != 'symbol' or token.value != symbol:
            raise FormError(token.line, 'expected %r, found %r' % (symbol, token))

    def expect_word(self, word):
        token = self.next()
        if token.kind != 'ident' or token.value.lower() != word:
            raise FormError(token.line, 'expected %r, found %r' % (word, token))

    def expect_ident(self, what):
        token = self.next()
        if token.kind != 'ident':
            raise FormError(token.line, 'expected %s, found %r' % (what, token))
        return token

    # ---- bytes ----
    def byte(self, value):
        self.out.append(value)

    def value_type(self, kind, line):
        """The type byte of a value, refused when the resource's reader does not take the type."""
        if self.reader:
            accepted, described = READERS[self.reader]
            if kind not in accepted:
                raise FormError(line, '%s: the %s reader refuses %s values (it takes %s)'
                                % (self.property, self.reader, TYPE_NAMES[kind], described))
        self.byte(kind)

    def short_string(self, text, line):
        try:
            data = text.encode('latin-1')
        except UnicodeEncodeError:
            raise FormError(line, 'name with a character above #255: %s' % text) from None
        if len(data) > 255:
            raise FormError(line, 'name longer than 255 bytes: %s...' % text[:20])
        self.out.append(len(data))
        self.out += data

    # ---- grammar ----
    def form(self):
        self.out += b'TPF0'
        self.object()
        token = self.peek()
        if token.kind != 'eof':
            raise FormError(token.line, 'expected end of file, found %r' % token)
        return bytes(self.out)

    def object(self):
        token = self.peek()
        if self.is_word('inherited') or self.is_word('inline'):
            raise FormError(token.line, '%s objects are not supported' % token.value)
        self.expect_word('object')
        first = self.expect_ident('a name or class name')
        if self.is_symbol(':'):
            self.next()
            name, cls = first, self.expect_ident('a class name')
        else:
            name, cls = None, first
        self.short_string(cls.value, cls.line)
        self.short_string(name.value if name else '', first.line)
        self.properties(allow_objects=True)

    def properties(self, allow_objects):
        """Properties, then (for objects) children, up to and including "end"."""
        children = False
        while True:
            token = self.peek()
            if self.is_word('end'):
                self.next()
                break
            if allow_objects and (self.is_word('object') or self.is_word('inherited') or self.is_word('inline')):
                if not children:
                    self.byte(0)
                    children = True
                self.object()
                continue
            if token.kind != 'ident':
                raise FormError(token.line, 'expected a property name, found %r' % token)
            if children:
                raise FormError(token.line, 'property %s after a child object' % token.value)
            self.next()
            self.short_string(token.value, token.line)
            self.property = token.value
            self.expect_symbol('=')
            self.value()
        if allow_objects and not children:
            self.byte(0)
        self.byte(0)

    def value(self):
        token = self.next()
        if token.kind == 'number':
            self.number(token)
        elif token.kind == 'string':
            self.string(token)
        elif token.kind == 'binary':
            self.value_type(BINARY, token.line)
            self.out += struct.pack('<I', len(token.value))
            self.out += token.value
        elif token.kind == 'ident':
            word = token.value.lower()
            if word == 'true':
                self.value_type(TRUE, token.line)
            elif word == 'false':
                self.value_type(FALSE, token.line)
            elif word == 'nil':
                self.value_type(NIL, token.line)
            else:
                self.value_type(IDENT, token.line)
                self.short_string(token.value, token.line)
        elif token.kind == 'symbol' and token.value == '[':
            self.value_type(SET, token.line)
            while not self.is_symbol(']'):
                element = self.expect_ident('a set element')
                self.short_string(element.value, element.line)
                if not self.is_symbol(']'):
                    self.expect_symbol(',')
            self.next()
            self.byte(0)
        elif token.kind == 'symbol' and token.value == '(':
            self.value_type(LIST, token.line)
            while not self.is_symbol(')'):
                self.value()
            self.next()
            self.byte(NULL)
        elif token.kind == 'symbol' and token.value == '<':
            self.value_type(COLLECTION, token.line)
            while not self.is_symbol('>'):
                self.expect_word('item')
                if self.is_symbol('['):
                    self.next()
                    order = self.next()
                    if order.kind != 'number' or not INTEGER_RE.fullmatch(order.value):
                        raise FormError(order.line, 'expected an item order number, found %r' % order)
                    self.integer(int(order.value), order.line, int32_only=True)
                    self.expect_symbol(']')
                self.byte(LIST)
                self.properties(allow_objects=False)
            self.next()
            self.byte(NULL)
        else:
            raise FormError(token.line, 'expected a value, found %r' % token)

    def integer(self, value, line, int32_only=False):
        if -0x80 <= value <= 0x7F:
            self.value_type(INT8, line)
            self.out += struct.pack('<b', value)
        elif -0x8000 <= value <= 0x7FFF:
            self.value_type(INT16, line)
            self.out += struct.pack('<h', value)
        elif -0x80000000 <= value <= 0x7FFFFFFF:
            self.value_type(INT32, line)
            self.out += struct.pack('<i', value)
        elif not int32_only and -0x8000000000000000 <= value <= 0x7FFFFFFFFFFFFFFF:
            self.value_type(INT64, line)
            self.out += struct.pack('<q', value)
        else:
            raise FormError(line, 'integer out of range: %d' % value)

    def number(self, token):
        text = token.value
        sign = -1 if text.startswith('-') else 1
        body = text.lstrip('-')
        if body.startswith('$'):
            self.integer(sign * int(body[1:], 16), token.line)
            return
        suffix = body[-1].lower() if body[-1].isalpha() and body[-1].lower() in 'scd' else ''
        digits = text[:-1] if suffix else text
        if not suffix and INTEGER_RE.fullmatch(digits):
            self.integer(int(digits), token.line)
            return
        if suffix == 'c':
            try:
                scaled = Decimal(digits) * 10000
            except InvalidOperation:
                raise FormError(token.line, 'bad currency value') from None
            if scaled != scaled.to_integral_value() or abs(scaled) >= 2 ** 63:
                raise FormError(token.line, 'currency value needs at most 4 decimals and 64 bits')
            self.value_type(CURRENCY, token.line)
            self.out += struct.pack('<q', int(scaled))
            return
        number = float(digits)
        if math.isinf(number):
            raise FormError(token.line, 'number out of range')
        if suffix == 's':
            self.value_type(SINGLE, token.line)
            self.out += struct.pack('<f', number)
        elif suffix == 'd':
            self.value_type(DATE, token.line)
            self.out += struct.pack('<d', number)
        else:
            self.value_type(EXTENDED, token.line)
            self.out += extended(number)

    def string(self, token):
        # Parts joined with + make one string; the type of the first part decides.
        text = token.value
        typed = token.typed
        while self.is_symbol('+'):
            self.next()
            part = self.next()
            if part.kind != 'string':
                raise FormError(part.line, 'expected a string after +, found %r' % part)
            text += part.value
        if typed == 'wide':
            # Surrogate pairs written as two character codes stay one character.
            data = text.encode('utf-16-le', 'surrogatepass')
            self.value_type(WSTRING, token.line)
            self.out += struct.pack('<I', len(data) // 2)
            self.out += data
        elif typed == 'utf8':
            try:
                data = text.encode('utf-8')
            except UnicodeEncodeError:
                raise FormError(token.line, 'half of a surrogate pair in a utf8 string') from None
            self.value_type(UTF8STRING, token.line)
            self.out += struct.pack('<I', len(data))
            self.out += data
        else:
            data = ansi_bytes(text, token.line)
            if len(data) <= 255:
                self.value_type(STRING, token.line)
                self.byte(len(data))
            else:
                self.value_type(LSTRING, token.line)
                self.out += struct.pack('<I', len(data))
            self.out += data


def ansi_bytes(text, line):
    """Codes up to #255 are the bytes themselves; anything above takes its code page 1252 byte."""
    data = bytearray()
    for c in text:
        if ord(c) <= 0xFF:
            data.append(ord(c))
            continue
        try:
            data += c.encode('cp1252')
        except UnicodeEncodeError:
            raise FormError(line, 'character U+%04X has no place in code page 1252' % ord(c)) from None
    return bytes(data)


def extended(number):
    """The 10-byte x87 form: 64-bit mantissa with its integer bit, then sign and exponent."""
    sign = 0x8000 if math.copysign(1.0, number) < 0 else 0
    number = abs(number)
    if number == 0:
        return struct.pack('<QH', 0, sign)
    fraction, exponent = math.frexp(number)  # number = fraction * 2**exponent, 0.5 <= fraction < 1
    return struct.pack('<QH', int(fraction * 2 ** 64), sign | (exponent - 1 + 16383))


def convert(text, reader=None):
    return Writer(tokenize(text), reader).form()


def main(argv):
    arguments = argv[1:]
    reader = None
    if len(arguments) == 4 and arguments[0] == '--reader':
        reader = arguments[1]
        arguments = arguments[2:]
    if len(arguments) != 2 or (reader is not None and reader not in READERS):
        print('usage: formconv.py [--reader settings|assistant] INPUT.txt OUTPUT.bin', file=sys.stderr)
        if reader is not None and reader not in READERS:
            print('formconv.py: error: no reader called %s' % reader, file=sys.stderr)
        return 2
    source, target = arguments
    try:
        with open(source, encoding='utf-8-sig') as f:
            data = convert(f.read(), reader)
    except FormError as error:
        print('%s:%d: error: %s' % (source, error.line, error), file=sys.stderr)
        return 1
    except (OSError, UnicodeDecodeError) as error:
        print('%s: error: %s' % (source, error), file=sys.stderr)
        return 1
    temporary = target + '.tmp'
    with open(temporary, 'wb') as f:
        f.write(data)
    os.replace(temporary, target)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
