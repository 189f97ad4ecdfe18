#!/usr/bin/env python3
"""http_test_server.py COMMAND...: the scripted HTTP/1.1 server of http_cases.h
on 127.0.0.1. Runs COMMAND (the native check or, under Wine, the Windows one)
with the server's port and a port where nothing listens as two more arguments,
prints its output (through a file: see wine.platform_crypto), returns its status.
  /object      100000 bytes, byte i is i % 251; 206 for one "Range: bytes=F-L"
  /redirect    302 to /object
  /connection  the serial number of its connection; /closing: the same, then closes it
  /cut         declares 1000 bytes, sends 500 and closes
  /stall       declares 1000000 bytes, sends 100, then waits for the client to go
  else         404
"""
import http.server
import itertools
import re
import select
import socket
import subprocess
import sys
import tempfile
import threading

SIZE = 100000
OBJECT = bytes(i % 251 for i in range(SIZE))
SERIALS = itertools.count(1)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'

    def setup(self):
        super().setup()
        self.serial = next(SERIALS)

    def log_message(self, *args):
        pass

    def answer(self, status, body=b'', headers=(), length=None):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header('Content-Length', str(len(body) if length is None else length))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        if self.path == '/object':
            asked = self.headers.get('Range')
            match = re.fullmatch(r'bytes=(\d+)-(\d+)', asked or '')
            if asked is None:
                self.answer(200, OBJECT)
            elif not match or int(match[1]) > int(match[2]):
                self.answer(400)
            elif int(match[1]) >= SIZE:
                self.answer(416, headers=[('Content-Range', f'bytes */{SIZE}')])
            else:
                first, last = int(match[1]), min(int(match[2]), SIZE - 1)
                self.answer(206, OBJECT[first:last + 1], [('Content-Range', f'bytes {first}-{last}/{SIZE}')])
        elif self.path == '/redirect':
            self.answer(302, headers=[('Location', '/object')])
        elif self.path in ('/connection', '/closing'):
            closing = [('Connection', 'close')] if self.path == '/closing' else []
            self.answer(200, str(self.serial).encode(), closing)
        elif self.path in ('/cut', '/stall'):
            self.close_connection = True
            self.answer(200, OBJECT[:500] if self.path == '/cut' else OBJECT[:100],
                        length=1000 if self.path == '/cut' else 1000000)
            if self.path == '/stall':
                select.select([self.connection], [], [], 30)
        else:
            self.answer(404, b'not here')


def main():
    server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Handler)
    server.daemon_threads = True
    server.handle_error = lambda *args: None  # a client that leaves mid-answer
    threading.Thread(target=server.serve_forever, daemon=True).start()
    with socket.socket() as probe:
        probe.bind(('127.0.0.1', 0))
        closed = probe.getsockname()[1]
    with tempfile.TemporaryFile() as output:
        status = subprocess.call(sys.argv[1:] + [str(server.server_address[1]), str(closed)],
                                 stdout=output, stderr=subprocess.STDOUT)
        output.seek(0)
        sys.stdout.write(output.read().decode(errors='replace'))
    return status


if __name__ == '__main__':
    sys.exit(main())
