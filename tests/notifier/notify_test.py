#!/usr/bin/env python3
"""Runs setupnotify.exe under Wine against HTTP servers on 127.0.0.1.

The server's host is compiled into the program. Wine's WinINet, opened with the
preconfigured proxy setting, takes the http_proxy environment variable when the
registry enables no proxy, so each server here acts as that proxy and receives the
absolute URL of the request.

Usage: notify_test.py SETUPNOTIFY_EXE BASE_URL OBJDUMP
"""

import http.server
import os
import re
import socket
import subprocess
import sys
import threading
import time
import urllib.parse

WINE = "/usr/lib/wine/wine64"
SCRIPT = "/register_sweepkit_yz.php"
RUN_TIMEOUT = 60
SERVER_LIFETIME = 90
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "wininet.dll", "ntdll.dll", "advapi32.dll",
               "user32.dll"}
STARTERS = re.compile(r"\b(CreateProcess\w*|ShellExecute\w*|WinExec)\b")


class Failure(Exception):
    pass


def check(condition, text):
    if not condition:
        raise Failure(text)


class Server:
    """One-connection-at-a-time HTTP server that stops by itself after SERVER_LIFETIME."""

    def __init__(self, status, body_size):
        self.requests = []
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_GET(self):
                outer.requests.append((self.command, self.path, self.request_version,
                                       dict(self.headers)))
                body = b"r" * body_size
                try:
                    self.send_response(status)
                    self.send_header("Content-Type", "text/plain")
                    self.send_header("Content-Length", str(len(body)))
                    self.send_header("Connection", "close")
                    self.end_headers()
                    self.wfile.write(body)
                except OSError:
                    pass  # the client may close before the whole reply is sent
                self.close_connection = True

            def log_message(self, *args):
                pass

        self.httpd = http.server.HTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.timeout = 0.2
        self.port = self.httpd.server_address[1]
        self.stop = threading.Event()
        self.deadline = time.monotonic() + SERVER_LIFETIME
        self.thread = threading.Thread(target=self._serve, daemon=True)

    def _serve(self):
        while not self.stop.is_set() and time.monotonic() < self.deadline:
            self.httpd.handle_request()

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join()
        self.httpd.server_close()


def run_program(exe, proxy_port):
    env = dict(os.environ)
    for name in ("no_proxy", "NO_PROXY", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY"):
        env.pop(name, None)
    env["http_proxy"] = "http://127.0.0.1:%d" % proxy_port
    result = subprocess.run([WINE, exe, "ignored", "arguments"], env=env, stdin=subprocess.DEVNULL,
                            capture_output=True, timeout=RUN_TIMEOUT)
    return result.returncode, result.stdout


def expected_target(base_url):
    return base_url + SCRIPT + "?"


def check_quiet_run(exe, base_url, status, body_size):
    with Server(status, body_size) as server:
        code, out = run_program(exe, server.port)
    check(code == 0, "reply %d: exit code %d" % (status, code))
    check(out == b"", "reply %d: printed %r" % (status, out))
    check(len(server.requests) == 1,
          "reply %d: %d requests reached the test server (is a proxy enabled in the registry?)"
          % (status, len(server.requests)))
    method, target, version, headers = server.requests[0]
    check(method == "GET", "method %r" % method)
    check(version in ("HTTP/1.0", "HTTP/1.1"), "version %r" % version)
    check(target == expected_target(base_url),
          "request target %r, expected %r" % (target, expected_target(base_url)))
    split = urllib.parse.urlsplit(target)
    check(split.path == SCRIPT and target.endswith(SCRIPT + "?"), "path and query of %r" % target)
    check(headers.get("User-Agent") == "WebForm 1", "user agent %r" % headers.get("User-Agent"))


def check_refused(exe):
    # A bound socket that does not listen refuses connections and keeps the port ours.
    with socket.socket() as closed:
        closed.bind(("127.0.0.1", 0))
        code, out = run_program(exe, closed.getsockname()[1])
    check(code == 0, "refused: exit code %d" % code)
    check(out in (b"Error:- InternetOpenUrl()\r\n", b"Error:- InternetOpenUrl()\n"),
          "refused: printed %r" % out)


def check_imports(exe, objdump):
    dump = subprocess.run([objdump, "-p", exe], capture_output=True, text=True, check=True,
                          timeout=60).stdout
    dlls = {name.lower() for name in re.findall(r"DLL Name:\s*(\S+)", dump)}
    check("wininet.dll" in dlls, "no WinINet import: %s" % sorted(dlls))
    check(dlls <= SYSTEM_DLLS, "imports beyond system DLLs: %s" % sorted(dlls - SYSTEM_DLLS))
    starters = set(STARTERS.findall(dump))
    check(not starters, "imports process starters: %s" % sorted(starters))


def main():
    if len(sys.argv) != 4:
        print(__doc__)
        return 2
    exe, base_url, objdump = sys.argv[1:]
    cases = [
        ("imports only system DLLs", lambda: check_imports(exe, objdump)),
        ("reply 200", lambda: check_quiet_run(exe, base_url, 200, 2)),
        ("reply 500", lambda: check_quiet_run(exe, base_url, 500, 20)),
        ("reply over 100000 bytes", lambda: check_quiet_run(exe, base_url, 200, 300000)),
        ("connection refused", lambda: check_refused(exe)),
    ]
    failed = 0
    for name, case in cases:
        try:
            case()
            print("ok      %s" % name)
        except (Failure, subprocess.SubprocessError, OSError) as error:
            failed += 1
            print("FAILED  %s: %s" % (name, error))
    print("notifier end-to-end: %d of %d passed" % (len(cases) - failed, len(cases)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
