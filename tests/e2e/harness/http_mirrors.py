"""HTTP mirrors on 127.0.0.1 for delivering a signed build's objects.

nginx as an origin and as a caching proxy, both run from packaging/nginx/*.conf.in as
shipped, and a mirror of our own that breaks HTTP in one chosen way:

    origin = start_origin(http_root, work_dir)      # make-package's ROOT/.http
    cache = start_cache(origin, work_dir)
    ... the client fetches cache.url + '/objects/ab/ab12...' ...
    origin_bytes(origin)                            # body bytes the origin sent so far
    mirror = FaultyMirror(http_root, 'cut')
    mirror.count() == 0                             # not asked anything
"""
import os
import posixpath
import re
import shutil
import socket
import subprocess
import tempfile
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from .processes import end_group
from .run import closed_port

TEMPLATES = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', '..', 'packaging', 'nginx')
NGINX = shutil.which('nginx') or '/usr/sbin/nginx'  # /usr/sbin is only on root's PATH
ACCESS_LINE = re.compile(r'"([^"]*)" (\d{3}) (\d+) "([^"]*)"')


def render(template, values):
    """The template's text with every @NAME@ replaced; an unreplaced one is an error."""
    with open(os.path.join(TEMPLATES, template)) as f:
        text = f.read()
    for name, value in values.items():
        text = text.replace('@%s@' % name, str(value))
    left = re.findall(r'@[A-Z_]+@', text)
    if left:
        raise ValueError('%s: no value for %s' % (template, ', '.join(sorted(set(left)))))
    return text


class Nginx:
    """One nginx from a template, with its configuration, pid, logs, temp files and cache
    in a directory of its own below work_dir.

    It runs as a single process (master_process off): that process keeps the identity of
    whoever started it, so under root it does not hand requests to workers running as
    nobody, who could not read the tests' private temp directories; and ending it ends
    the whole server."""

    def __init__(self, template, work_dir, start_timeout=10, **values):
        self.dir = tempfile.mkdtemp(prefix=template.split('.')[0] + '-', dir=work_dir)
        self.access_log = os.path.join(self.dir, 'access.log')
        self.process = None
        # The free port is only known free until nginx binds it: another try on a clash.
        for _ in range(3):
            self.port = closed_port()
            self.url = 'http://127.0.0.1:%d' % self.port
            config = os.path.join(self.dir, template[:-len('.in')])
            with open(config, 'w') as f:
                f.write(render(template, dict(values, LISTEN='127.0.0.1:%d' % self.port, PREFIX=self.dir)))
            with open(os.path.join(self.dir, 'nginx.out'), 'wb') as out:
                self.process = subprocess.Popen(
                    [NGINX, '-p', self.dir + '/', '-c', config, '-g', 'master_process off;'],
                    stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
            if self._listening(start_timeout):
                return
        raise RuntimeError('nginx from %s did not start:\n%s' % (template, self.errors()))

    def _listening(self, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and self.process.poll() is None:
            with socket.socket() as s:
                if s.connect_ex(('127.0.0.1', self.port)) == 0:
                    return True
            time.sleep(0.05)
        self.stop()
        return False

    def errors(self):
        text = ''
        for name in ('nginx.out', 'error.log'):
            try:
                with open(os.path.join(self.dir, name), 'rb') as f:
                    text += f.read().decode('utf-8', 'replace')
            except FileNotFoundError:
                pass
        return text

    def access(self):
        """(method, path, status, body bytes sent, Range header or '') per finished request."""
        try:
            with open(self.access_log) as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return []
        found = []
        for m in filter(None, map(ACCESS_LINE.search, lines)):
            method, path = (m[1].split(' ') + [''])[:2]
            found.append((method, path, int(m[2]), int(m[3]), '' if m[4] == '-' else m[4]))
        return found

    def stop(self):
        if self.process:
            end_group(self.process)


def start_origin(root, work_dir):
    """nginx serving the directory root (a .http tree) at origin.url."""
    return Nginx('origin.conf.in', work_dir, ROOT=os.path.abspath(root))


def start_cache(origin, work_dir):
    """nginx caching 1 MiB slices of what origin serves, at cache.url."""
    return Nginx('cache.conf.in', work_dir, ORIGIN='127.0.0.1:%d' % origin.port)


def origin_bytes(origin):
    """Body bytes origin has sent, summed over its access log."""
    return sum(entry[3] for entry in origin.access())


FAULTS = ('flip', '404', '500', 'stall', 'extra', 'wrong-range', 'ignore-range', 'cut')
EXTRA_BYTES = 64


def asked_span(header, size):
    """(first, last) of a single 'bytes=F-L' or 'bytes=F-' within size bytes; None when
    there is no Range or one that is ignored (answered whole); 'past' when F >= size."""
    m = re.fullmatch(r'bytes=(\d+)-(\d*)', header or '')
    if not m or (m[2] and int(m[2]) < int(m[1])):
        return None
    first = int(m[1])
    if first >= size:
        return 'past'
    return first, min(int(m[2]) if m[2] else size - 1, size - 1)


class FaultyMirror:
    """Serves root on 127.0.0.1 at mirror.url as the origin does (200 with Content-Length
    for a whole GET, 206 with Content-Range for one range, 416 past the end, keep-alive
    HTTP/1.1), except for one fault in every answer:

        None          none
        flip          the byte in the middle of every object changed (ranges cut from that)
        404, 500      that status for every request
        stall         the headers, then not one body byte until the mirror stops
        extra         EXTRA_BYTES more than the object or range, counted in Content-Length
        wrong-range   a 206 for the range one byte beside the one asked
        ignore-range  a 200 with the whole object for a range request
        cut           Content-Length as due, half the body, then closed

    mirror.requests holds (path, Range header or None) of every request, in order."""

    def __init__(self, root, fault=None, rate=None):
        """rate: bytes per second per answer, so that a transfer lasts long enough for a
        stop or a kill to land inside it."""
        if fault is not None and fault not in FAULTS:
            raise ValueError('unknown fault %r' % fault)
        self.root, self.fault, self.rate = root, fault, rate
        self.requests = []
        self._lock = threading.Lock()
        self.stopping = threading.Event()
        self._server = ThreadingHTTPServer(('127.0.0.1', 0), type('Handler', (_MirrorHandler,), {'mirror': self}))
        self._server.daemon_threads = True
        # A client going away mid-answer is part of the tests, not an error to print.
        self._server.handle_error = lambda request, address: None
        self.port = self._server.server_address[1]
        self.url = 'http://127.0.0.1:%d' % self.port
        threading.Thread(target=self._server.serve_forever, kwargs={'poll_interval': 0.05}, daemon=True).start()

    def count(self, path=None):
        """How many requests were made (for path only, when given)."""
        with self._lock:
            return sum(1 for asked, _ in self.requests if path is None or asked == path)

    def note(self, path, asked_range):
        with self._lock:
            self.requests.append((path, asked_range))

    def object(self, path):
        """The bytes of the file at URL path below root, None if there is none."""
        relative = posixpath.normpath(urllib.parse.unquote(path)).lstrip('/')
        if relative.startswith('..'):
            return None
        try:
            with open(os.path.join(self.root, relative), 'rb') as f:
                return f.read()
        except OSError:
            return None

    def stop(self):
        self.stopping.set()
        self._server.shutdown()
        self._server.server_close()


class _MirrorHandler(BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'
    mirror = None

    def log_message(self, *args):
        pass

    def do_GET(self):
        mirror, fault = self.mirror, self.mirror.fault
        path, asked = urllib.parse.urlsplit(self.path).path, self.headers.get('Range')
        mirror.note(path, asked)
        body = mirror.object(path)
        if fault in ('404', '500') or body is None:
            return self._answer(int(fault) if fault in ('404', '500') else 404, b'')
        if fault == 'flip' and body:
            middle = len(body) // 2
            body = body[:middle] + bytes([body[middle] ^ 0xFF]) + body[middle + 1:]
        span = asked_span(asked, len(body))
        if span == 'past':
            return self._answer(416, b'', [('Content-Range', 'bytes */%d' % len(body))])
        if span is None or fault == 'ignore-range':
            return self._answer(200, body)
        first, last = span
        if fault == 'wrong-range':
            first, last = (first - 1, last - 1) if first else (1, min(last + 1, len(body) - 1))
        self._answer(206, body[first:last + 1], [('Content-Range', 'bytes %d-%d/%d' % (first, last, len(body)))])

    def _answer(self, status, body, headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        fault = self.mirror.fault
        if fault == 'extra' and body:
            body += b'\0' * EXTRA_BYTES
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        if fault == 'stall' and body:
            self.mirror.stopping.wait()
            self.close_connection = True
        elif fault == 'cut' and body:
            self.wfile.write(body[:len(body) // 2])
            self.close_connection = True
        elif self.mirror.rate:
            for at in range(0, len(body), 8192):
                self.wfile.write(body[at:at + 8192])
                time.sleep(8192 / self.mirror.rate)
        else:
            self.wfile.write(body)
