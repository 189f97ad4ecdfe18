"""A fake update server on 127.0.0.1 whose every answer a test scripts.

The script is a function of one Request that returns what goes back on the connection:
bytes, an iterable of bytes (sent piece by piece; a generator may pause between pieces),
CLOSE to hang up, or STALL to answer nothing until the client goes away."""
import socket
import struct
import threading
import time
from collections import namedtuple

Request = namedtuple('Request', 'code serial offset')

PACKAGE_REQUEST = 32
FILE_REQUEST = 34
CLOSE = object()
STALL = object()
MAX_PAYLOAD = 10237  # the largest chunk payload that fits the client's buffer


def frame(body):
    """A reply frame: buffsize, then body."""
    return struct.pack('<H', len(body)) + body


def chunk(flag, payload=b''):
    """A chunk reply: flag, then payload."""
    return frame(bytes([flag]) + payload)


def package_reply(package_id):
    """The 114-byte reply to a package request, carrying package_id at offset 112."""
    body = bytearray(112)
    body[110:112] = struct.pack('<H', package_id)
    return frame(bytes(body))


def serve_bytes(content, offset, payload=MAX_PAYLOAD):
    """The chunk that answers a request for content at offset."""
    piece = content[offset:offset + payload]
    return chunk(2 if offset + len(piece) >= len(content) else 1, piece)


class ScriptedServer:
    def __init__(self, script):
        self.script = script
        self.requests = []
        self._lock = threading.Lock()
        self._stopping = threading.Event()
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._listener.bind(('127.0.0.1', 0))
        self._listener.listen(8)
        self._listener.settimeout(0.1)
        self.port = self._listener.getsockname()[1]
        self._threads = [threading.Thread(target=self._accept, daemon=True)]
        self._threads[0].start()

    def serials(self):
        """The serials of every file request, in arrival order."""
        with self._lock:
            return [r.serial for r in self.requests if r.code == FILE_REQUEST]

    def stop(self):
        self._stopping.set()
        for thread in list(self._threads):
            thread.join(timeout=10)
        self._listener.close()

    def _accept(self):
        while not self._stopping.is_set():
            try:
                connection, _ = self._listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            thread = threading.Thread(target=self._serve, args=(connection,), daemon=True)
            self._threads.append(thread)
            thread.start()

    def _read(self, connection, count):
        data = b''
        while len(data) < count and not self._stopping.is_set():
            try:
                piece = connection.recv(count - len(data))
            except socket.timeout:
                continue
            except OSError:
                return None
            if not piece:
                return None
            data += piece
        return data if len(data) == count else None

    def _serve(self, connection):
        connection.settimeout(0.1)
        try:
            while True:
                head = self._read(connection, 2)
                if head is None:
                    return
                body = self._read(connection, struct.unpack('<H', head)[0])
                if body is None or len(body) < 4:
                    return
                code = struct.unpack('<I', body[0:4])[0]
                serial = offset = None
                if code == FILE_REQUEST and len(body) >= 18:
                    serial, offset = struct.unpack('<HI', body[12:18])
                request = Request(code, serial, offset)
                with self._lock:
                    self.requests.append(request)
                answer = self.script(request)
                if answer is CLOSE:
                    return
                if answer is STALL:
                    self._read(connection, 1 << 20)
                    return
                pieces = [answer] if isinstance(answer, (bytes, bytearray)) else answer
                for piece in pieces:
                    if self._stopping.is_set():
                        return
                    try:
                        connection.sendall(piece)
                    except OSError:
                        return
        finally:
            connection.close()


def trickle(data, interval):
    """data one byte at a time, interval seconds apart."""
    for i in range(len(data)):
        if i:
            time.sleep(interval)
        yield data[i:i + 1]
