#!/usr/bin/env python3
"""Starts loopback DNS, SMTP and HTTP servers, runs the network test program under the emulator
with their ports in its environment, then checks what the servers received."""
import base64
import email
import email.header
import email.utils
import os
import re
import socket
import socketserver
import struct
import subprocess
import sys
import threading
import time
import http.server

BOUNDARY = 'velmarweb_multipart_boundary'
failures = []


def check(condition, text):
    if not condition:
        failures.append(text)


def pattern(size, seed):
    return bytes((i * 37 + seed) & 0xFF for i in range(size))


# ---- DNS ----

def encode_name(name):
    out = b''
    for label in name.split('.'):
        out += bytes([len(label)]) + label.encode()
    return out + b'\0'


def record(rtype, data, owner=b'\xc0\x0c'):
    return owner + struct.pack('>HHIH', rtype, 1, 60, len(data)) + data


def mx(name):
    return record(15, struct.pack('>H', 10) + encode_name(name))


def ns(name):
    return record(2, encode_name(name))


def parse_question(data):
    pos, labels = 12, []
    while data[pos]:
        labels.append(data[pos + 1:pos + 1 + data[pos]].decode())
        pos += 1 + data[pos]
    qtype = struct.unpack('>H', data[pos + 1:pos + 3])[0]
    return '.'.join(labels), qtype, pos + 5


class DnsServer:
    def __init__(self, name, zone):
        self.name, self.zone, self.queries = name, zone, []
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(('127.0.0.1', 0))
        self.port = self.sock.getsockname()[1]
        threading.Thread(target=self.run, daemon=True).start()

    def reply(self, data, qend, rcode, answers=(), authorities=(), id_=None):
        head = (id_ if id_ is not None else data[:2]) + struct.pack(
            '>HHHHH', 0x8180 | rcode, 1, len(answers), len(authorities), 0)
        return head + data[12:qend] + b''.join(answers) + b''.join(authorities)

    def run(self):
        while True:
            try:
                data, peer = self.sock.recvfrom(512)
            except OSError:
                return
            name, qtype, qend = parse_question(data)
            self.queries.append((data, name, qtype))
            entry = self.zone.get((name, qtype))
            if entry == 'spoof':
                other = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                other.sendto(self.reply(data, qend, 0, [mx('evil1.example.test')]), peer)
                other.close()
                wrong = bytes([data[0] ^ 0x55, data[1]])
                self.sock.sendto(self.reply(data, qend, 0, [mx('evil2.example.test')], id_=wrong), peer)
                self.sock.sendto(self.reply(data, qend, 0, [mx('good.example.test')]), peer)
            elif entry == 'loop':
                at = qend + 12 + 2
                self.sock.sendto(self.reply(data, qend, 0, [record(15, b'\0\x0a' + struct.pack('>H', 0xC000 | at))]), peer)
            elif entry is None:
                self.sock.sendto(self.reply(data, qend, 3), peer)
            else:
                answers, authorities = entry
                self.sock.sendto(self.reply(data, qend, 0, answers, authorities), peer)


# ---- SMTP ----

class SmtpHandler(socketserver.StreamRequestHandler):
    def send(self, text):
        self.wfile.write(text.encode('latin-1'))
        self.wfile.flush()

    def handle(self):
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        mode = self.server.mode
        session = {'mode': mode, 'lines': [], 'data': None}
        self.server.sessions.append(session)
        self.send('220 test ready\r\n')
        while True:
            raw = self.rfile.readline()
            if not raw:
                return
            line = raw.decode('latin-1').rstrip('\r\n')
            session['lines'].append(line)
            cmd = line.upper()
            if cmd.startswith('EHLO'):
                if mode == 'noauth':
                    self.send('502 say hello\r\n')
                else:
                    # The reply arrives in two pieces, the break inside a line.
                    self.send('250-test greets you\r\n250-SIZE 1000000\r\n250-AU')
                    time.sleep(0.1)
                    self.send('TH=PLAIN LOGIN CRAM-MD5\r\n250 8BITMIME\r\n')
            elif cmd.startswith('HELO'):
                self.send('250 hello\r\n')
            elif cmd == 'AUTH LOGIN':
                self.send('334 VXNlcm5hbWU6\r\n')
                session['lines'].append(self.rfile.readline().decode('latin-1').rstrip('\r\n'))
                self.send('334 UGFzc3dvcmQ6\r\n')
                session['lines'].append(self.rfile.readline().decode('latin-1').rstrip('\r\n'))
                self.send('235 welcome\r\n')
            elif cmd.startswith('RCPT TO:'):
                self.send('550 no such user\r\n' if 'nobody' in line else '250 ok\r\n')
            elif cmd.startswith('MAIL FROM:') or cmd == 'RSET':
                self.send('250 ok\r\n')
            elif cmd == 'DATA':
                self.send('354 go ahead\r\n')
                lines = []
                while True:
                    raw = self.rfile.readline()
                    if not raw or raw == b'.\r\n':
                        break
                    lines.append(raw[1:] if raw.startswith(b'.') else raw)
                session['data'] = b''.join(lines)
                self.send('250 queued\r\n')
            elif cmd == 'QUIT':
                self.send('500 not now\r\n' if mode == 'badquit' else '221 bye\r\n')
                return
            else:
                self.send('500 what\r\n')


def smtp_server(mode):
    server = socketserver.ThreadingTCPServer(('127.0.0.1', 0), SmtpHandler)
    server.daemon_threads = True
    server.mode, server.sessions = mode, []
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


# ---- HTTP ----

class HttpHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.0'

    def log_message(self, *args):
        pass

    def do_POST(self):
        length = int(self.headers.get('Content-Length', '0'))
        body = self.rfile.read(length)
        self.server.requests.append({'path': self.path, 'headers': self.headers, 'body': body})
        if len(body) < length:
            return  # the client gave up mid-request and is gone
        if self.path.endswith('/moved'):
            self.wfile.write(b'HTTP/1.0 302 Found\r\nLocation: /elsewhere\r\n\r\n')
        elif self.path.endswith('/split'):
            self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self.wfile.write(b'HTTP/1.0 2')
            self.wfile.flush()
            time.sleep(0.1)
            self.wfile.write(b'00 OK\r\nContent-Length: 0\r\n\r\n')
        else:
            self.wfile.write(b'HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok')


def http_server():
    server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), HttpHandler)
    server.daemon_threads = True
    server.requests = []
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


# ---- checks ----

def check_dns(servers):
    queries = [q for s in servers for q in s.queries]
    check(queries, 'no DNS query arrived')
    for data, name, qtype in queries:
        expected = b'\x01\x00\x00\x01' + bytes(6) + encode_name(name) + struct.pack('>HH', qtype, 1)
        check(data[2:] == expected and len(data) == 17 + len(name) + 1,
              'DNS query for %s: %r' % (name, data))
    check(len({q[0][:2] for q in queries}) > 1, 'DNS query ids do not vary')
    root, tld, auth = servers
    asked = [(n, t) for _, n, t in auth.queries]
    check(asked.index(('a.b.example.test', 15)) + 1 == asked.index(('b.example.test', 15)),
          'base domain not asked after the full one: %r' % asked)
    check(('example.test', 2) in [(n, t) for _, n, t in root.queries], 'root not asked for NS')
    check(('example.test', 2) in [(n, t) for _, n, t in tld.queries], 'TLD server not asked for NS')
    check(('example.test', 2) in asked, 'name server not asked for NS')


def check_smtp(full, noauth, badquit):
    main = [s for s in full.sessions if 'AUTH LOGIN' in s['lines']]
    check(len(main) == 1, 'one authenticated SMTP session expected')
    if main:
        s = main[0]
        lines = s['lines']
        check(lines[0].startswith('EHLO '), 'EHLO first: %r' % lines[:1])
        check(lines[1:] == ['AUTH LOGIN', base64.b64encode(b'bug user').decode(),
                            base64.b64encode(b's\xe9cret').decode(),
                            'MAIL FROM:<sender@example.test>', 'RCPT TO:<desk@example.test>',
                            'RCPT TO:<two@example.test>', 'RCPT TO:<nobody@example.test>', 'DATA',
                            'QUIT'], 'SMTP dialogue: %r' % lines)
        msg = email.message_from_bytes(s['data'] or b'')
        check(msg['To'] == 'Bug Desk <desk@example.test>, <two@example.test>, <nobody@example.test>',
              'To: %r' % msg['To'])
        check(msg['From'] == 'Sender Name <sender@example.test>', 'From: %r' % msg['From'])
        subject = email.header.decode_header(msg['Subject'])
        check(subject == [(b'Crash: 100% "bad"', 'iso-8859-1')], 'Subject: %r' % subject)
        try:
            email.utils.parsedate_to_datetime(msg['Date'])
        except (TypeError, ValueError):
            check(False, 'Date: %r' % msg['Date'])
        check(re.fullmatch(r'<[0-9a-f]{16}@hxExcept>', msg['Message-ID'] or ''), 'Message-ID')
        parts = msg.get_payload() if msg.is_multipart() else []
        check(len(parts) == 3, 'three MIME parts expected, got %d' % len(parts))
        if len(parts) == 3:
            text = parts[0].get_payload(decode=True).replace(b'\r\n', b'\n')
            check(text == b'Line one\n.hidden dot\n..two\nEnd.', 'mail text: %r' % text)
            check(parts[1].get_content_type() == 'image/png', 'PNG part type')
            check(parts[1].get_filename() == 'screen shot.png', 'PNG part name')
            check(parts[1].get_payload(decode=True) == pattern(3000, 5), 'PNG part bytes')
            check(parts[2].get_content_type() == 'application/octet-stream', 'data part type')
            check(parts[2].get_filename() == 'da%22ta.bin', 'data part name: %r' % parts[2].get_filename())
            check(parts[2].get_payload(decode=True) == pattern(58, 9), 'data part bytes')
            b64 = [l for l in s['data'].split(b'\r\n') if re.fullmatch(rb'[A-Za-z0-9+/=]{76}|[A-Za-z0-9+/=]{4,72}', l)]
            check(len([l for l in b64 if len(l) == 76]) >= 1, 'base64 lines of 76 characters')
    direct = [s for s in full.sessions if 'MAIL FROM:<direct@example.test>' in s['lines']]
    check(len(direct) == 1, 'direct delivery session missing')
    if direct:
        msg = email.message_from_bytes(direct[0]['data'] or b'')
        check(msg.get_payload() == 'direct body\r\n', 'direct body: %r' % msg.get_payload())
        check(direct[0]['lines'][-1] == 'QUIT', 'direct delivery QUIT')
    each = sorted(l for s in full.sessions if 'MAIL FROM:<each@example.test>' in s['lines']
                  for l in s['lines'] if l.startswith('RCPT TO:'))
    check(each == ['RCPT TO:<one@example.test>', 'RCPT TO:<two@example.test>'] and
          len([s for s in full.sessions if 'MAIL FROM:<each@example.test>' in s['lines']]) == 2,
          'direct delivery to each recipient: %r' % each)
    check(len([s for s in full.sessions if 'MAIL FROM:<directdriver@example.test>' in s['lines']]) == 1,
          'send driver direct session missing')
    driver = [s for s in full.sessions if 'MAIL FROM:<driver@example.test>' in s['lines']]
    check(len(driver) == 1, 'send driver session missing')
    if driver:
        msg = email.message_from_bytes(driver[0]['data'] or b'')
        subject = email.header.decode_header(msg['Subject'])
        check(subject == [(b'report: Sent by the driver.', 'iso-8859-1')], 'driver Subject: %r' % subject)
        parts = msg.get_payload() if msg.is_multipart() else []
        report = [p for p in parts if p.get_filename() == 'report.txt']
        check(len(report) == 1, 'driver mail without report.txt')
        if report:
            data = report[0].get_payload(decode=True)
            check(data.startswith(b'date/time : now\r\nexception message : Sent by the driver.'),
                  'driver report bytes: %r' % data[:80])
    # The typed address is no sender: the program's contact form leaves the configured one.
    check(not [s for s in full.sessions if 'MAIL FROM:<assisted@example.test>' in s['lines']],
          'the typed address became the envelope sender')
    assisted = [s for s in full.sessions if 'MAIL FROM:<nobody.typed@example.test>' in s['lines']]
    check(len(assisted) == 1, 'send assistant session missing')
    if assisted:
        msg = email.message_from_bytes(assisted[0]['data'] or b'')
        check(msg['From'] == '<nobody.typed@example.test>', 'assisted From: %r' % msg['From'])
        parts = msg.get_payload() if msg.is_multipart() else []
        report = [p.get_payload(decode=True) for p in parts if p.get_filename() == 'assisted.txt']
        check(len(report) == 1, 'assisted mail without its report')
        if report:
            check(re.search(rb'\r\nContact Name +: Ann Smith\r\nContact Email +: assisted@example\.test\r\n'
                            rb'Contact Me +: yes\r\n', report[0]), 'assisted report header: %r' % report[0][:1200])
            check(report[0].rstrip(b'\r\n').endswith(b'\r\n\r\nError Details:\r\nIt broke\r\nwhen I pressed Delete.'),
                  'assisted report end: %r' % report[0][-200:])
    check(len(noauth.sessions) == 1 and [l.split(' ')[0] for l in noauth.sessions[0]['lines']] ==
          ['EHLO', 'HELO', 'QUIT'], 'no-AUTH server dialogue: %r' % [s['lines'] for s in noauth.sessions])
    bq = [s['lines'] for s in badquit.sessions]
    check(len(bq) == 2, 'two sessions on the bad-QUIT server: %r' % bq)
    if len(bq) == 2:
        check(bq[0][1:] == ['MAIL FROM:<nobody@example.test>', 'RCPT TO:<nobody@example.test>', 'QUIT'],
              'no recipient accepted: %r' % bq[0])
        check('DATA' in bq[1] and bq[1][-1] == 'QUIT', 'bad QUIT session: %r' % bq[1])


def form_parts(request):
    ct = request['headers']['Content-Type']
    msg = email.message_from_bytes(b'Content-Type: ' + ct.encode() + b'\r\n\r\n' + request['body'])
    return msg.get_payload() if msg.is_multipart() else []


def check_http(server):
    reqs = {r['path']: r for r in server.requests}
    main = reqs.get('/bugs/post.php')
    check(main is not None, 'upload request missing: %r' % list(reqs))
    if main:
        h = main['headers']
        check(h['Host'] == 'upload.example.test:80', 'Host: %r' % h['Host'])
        check(h['Authorization'] == 'Basic ' + base64.b64encode(b'user:').decode(), 'Authorization')
        check(h['From'] == '<sender@example.test>', 'From: %r' % h['From'])
        check(h['User-Agent'] == 'hxExcept/3.0' and h['Connection'] == 'close' and
              h['Pragma'] == 'no-cache', 'request head')
        check(h['Content-Type'] == 'multipart/form-data; boundary=' + BOUNDARY, 'Content-Type')
        check(int(h['Content-Length']) == len(main['body']) and
              main['body'].endswith(('\r\n--%s--\r\n' % BOUNDARY).encode()), 'Content-Length and end')
        parts = form_parts(main)
        names = [p.get_param('name', header='content-disposition') for p in parts]
        check(names == ['Name', 'Quo%22te', 'BugReport', 'ScreenShot'], 'form names: %r' % names)
        if len(parts) == 4:
            check(parts[0].get_payload(decode=True) == b'Value', 'field value')
            check(parts[1].get_payload(decode=True) == b'two\r\nlines', 'field value with line break')
            check(parts[2].get_filename() == 'bugreport.txt' and
                  parts[2].get_payload(decode=True) == pattern(10, 3), 'report part')
            check(parts[3].get_filename() == 'shot.png' and
                  parts[3].get_payload(decode=True) == pattern(3000, 7), 'picture part')
    for path in ('/moved', '/split', 'http://upload.example.test/viaproxy'):
        r = reqs.get(path)
        check(r is not None, 'request %s missing: %r' % (path, list(reqs)))
        if r:
            check('Authorization' not in r['headers'], 'no Authorization without account')
            check(r['headers']['Host'] == 'upload.example.test:80', 'Host of %s' % path)
            parts = form_parts(r)
            check(len(parts) == 1 and parts[0].get_payload(decode=True) == pattern(10, 3),
                  'one part in %s' % path)
    direct = reqs.get('/direct')
    check(direct is not None, 'request past the other protocols\' proxies missing: %r' % list(reqs))
    if direct:
        check(direct['headers']['Host'] == 'upload.example.test:80', 'Host of /direct')
    # The upload with a file that does not open stops inside that file's part.
    locked = reqs.get('/locked')
    check(locked is not None, 'request with a locked file missing: %r' % list(reqs))
    if locked:
        check(len(locked['body']) < int(locked['headers']['Content-Length']) and
              b'shot.png' not in locked['body'], 'request with a locked file: %r' % locked['body'])
    check(len(server.requests) == 6, 'requests: %r' % [r['path'] for r in server.requests])


def main():
    emulator, program = sys.argv[1], sys.argv[2]
    root = DnsServer('root', {('example.test', 2): ([], [ns('ns.tld.test')])})
    tld = DnsServer('tld', {('example.test', 2): ([], [ns('ns1.example.test')])})
    auth = DnsServer('auth', {
        ('example.test', 15): ([mx('mx.example.test')], []),
        ('example.test', 2): ([ns('ns1.example.test')], []),
        ('b.example.test', 15): ([mx('mx2.example.test')], []),
        ('spoof.test', 15): 'spoof',
        ('loop.test', 15): 'loop',
        ('mixed.test', 15): ([record(5, encode_name('alias.test')), mx('mx.mixed.test')], []),
    })
    full, noauth, badquit = smtp_server('full'), smtp_server('noauth'), smtp_server('badquit')
    web = http_server()
    env = dict(os.environ)
    env.update({
        'NET_DNS_ROOT': str(root.port), 'NET_DNS_TLD': str(tld.port), 'NET_DNS_AUTH': str(auth.port),
        'NET_SMTP': str(full.server_address[1]), 'NET_SMTP_NOAUTH': str(noauth.server_address[1]),
        'NET_SMTP_BADQUIT': str(badquit.server_address[1]), 'NET_HTTP': str(web.server_address[1]),
    })
    rc = subprocess.run([emulator, program] + sys.argv[3:], env=env, timeout=280).returncode
    for s in (full, noauth, badquit, web):
        s.shutdown()
    if '--gtest_filter' not in ' '.join(sys.argv[3:]):
        check_dns([root, tld, auth])
        check_smtp(full, noauth, badquit)
        check_http(web)
    for f in failures:
        print('FAILED:', f)
    print('network test program exit code', rc)
    sys.exit(1 if rc or failures else 0)


if __name__ == '__main__':
    main()
