"""A man in the middle on 127.0.0.1 between the launcher and our update-server(s).

It passes each request on and the one reply that answers it back, frame by frame, and
changes what an attacker on the path would change:

    file      one byte of the first chunk of a listed file that carries any bytes
    list      one letter of the list's first line, inside the package file (serial 0),
              which stays a valid package of a valid list
    manifest  one byte of the signed manifest (serial 0xFFFE)
    offer     the offer: the package reply goes back as the 114 bytes of the base reply
    swap      in a listed file's chunk, the bytes swap[0] replaced by swap[1] of the same
              length (a file with the same MD5 and other bytes, say)
    stage     file stage[0] answered with the bytes stage[1] and "more follows", every
              later request for it refused: a transfer cut short that leaves them staged

Any other build is served by pointing `upstream` at a server that holds it (an older
build replayed, an expired one); with `files_upstream` the listed files come from there
while the package, manifest and signature come from `upstream` (two builds mixed).
Requests are handled one at a time, so replies keep the order of the requests even when
two servers answer them. Which byte changes is drawn from `seed`.
"""
import random
import socket
import struct
import zlib

from harness.scripted_server import FILE_REQUEST, MAX_PAYLOAD, PACKAGE_REQUEST, ScriptedServer

MANIFEST_SERIAL = 0xFFFE
BASE_PACKAGE_REPLY = 114
TAMPERS = ('file', 'list', 'manifest', 'offer', 'swap', 'stage')


class Request:
    def __init__(self, frame):
        self.code = struct.unpack_from('<I', frame, 2)[0]
        self.wanted = self.serial = self.offset = None
        if self.code == FILE_REQUEST and len(frame) == 20:
            self.wanted, _, self.serial, self.offset = struct.unpack_from('<IHHI', frame, 8)

    def is_listed_file(self):
        return self.serial is not None and 0 < self.serial < MANIFEST_SERIAL and not self.serial & 0x8000


def flip_list_letter(package, rng):
    """The package file with one letter of the list's first line in the other case."""
    text = bytearray(zlib.decompress(package))
    first_line = text.split(b'\r\n', 1)[0]
    letters = [i for i, c in enumerate(first_line) if chr(c).isalpha()]
    text[rng.choice(letters)] ^= 0x20
    return zlib.compress(bytes(text))


class TamperProxy(ScriptedServer):
    """Listens, accepts and reads as the scripted server does; forwards instead of scripting."""

    def __init__(self, upstream, tamper=None, files_upstream=None, seed=0, swap=None, stage=None):
        if (tamper not in (None,) + TAMPERS or (tamper == 'swap') != (swap is not None)
                or (tamper == 'stage') != (stage is not None)):
            raise ValueError('unknown tamper %r' % tamper)
        if swap and len(swap[0]) != len(swap[1]):
            raise ValueError('a swap keeps the length of the chunk')
        self.upstream, self.files_upstream, self.tamper, self.swap = upstream, files_upstream, tamper, swap
        self.stage = stage
        self.rng = random.Random(seed)
        self.tampered = []   # what was changed, e.g. 'file 1 byte 3'
        super().__init__(None)  # self.requests: every Request, in arrival order

    def _note(self, what):
        with self._lock:
            self.tampered.append(what)

    def _change(self, request, reply):
        """The reply the client gets instead of reply; each kind is changed once per proxy."""
        with self._lock:
            done = any(t.split()[0] == self.tamper for t in self.tampered)
        if self.tamper == 'stage' and request.serial == self.stage[0]:
            if done:
                return struct.pack('<HB', 1, 0)
            self._note('stage %d' % request.serial)
            return struct.pack('<HB', len(self.stage[1]) + 1, 1) + self.stage[1]
        if done or self.tamper is None:
            return reply
        if self.tamper == 'offer' and request.code == PACKAGE_REQUEST and len(reply) > BASE_PACKAGE_REPLY:
            self._note('offer')
            return struct.pack('<H', BASE_PACKAGE_REPLY - 2) + reply[2:BASE_PACKAGE_REPLY]
        if request.serial is None or len(reply) <= 3 or reply[2] not in (1, 2):
            return reply
        if ((self.tamper == 'file' and request.is_listed_file())
                or (self.tamper == 'manifest' and request.serial == MANIFEST_SERIAL)):
            changed = bytearray(reply)
            at = self.rng.randrange(3, len(reply))
            changed[at] ^= 0xFF
            self._note('%s %d byte %d' % (self.tamper, request.serial, request.offset + at - 3))
            return bytes(changed)
        if self.tamper == 'swap' and request.is_listed_file() and self.swap[0] in reply[3:]:
            self._note('swap %d' % request.serial)
            return reply[:3] + reply[3:].replace(self.swap[0], self.swap[1], 1)
        # The package file is asked for a chunk at a time; only one that holds it
        # whole can be given back changed in a single reply.
        if self.tamper == 'list' and request.serial == 0 and request.offset == 0 and reply[2] == 2:
            package = flip_list_letter(reply[3:], self.rng)
            if len(package) <= (request.wanted or MAX_PAYLOAD):
                self._note('list')
                return struct.pack('<HB', len(package) + 1, 2) + package
        return reply

    def _read_frame(self, connection):
        """One frame, buffsize included; None once the peer has gone or we stop."""
        head = self._read(connection, 2)
        body = head and self._read(connection, struct.unpack('<H', head)[0])
        return None if body is None else head + body

    def _serve(self, client):
        client.settimeout(0.1)
        upstreams = {}
        try:
            while True:
                frame = self._read_frame(client)
                if frame is None or len(frame) < 6:
                    return
                request = Request(frame)
                with self._lock:
                    self.requests.append(request)
                port = self.files_upstream if self.files_upstream and request.is_listed_file() else self.upstream
                if port not in upstreams:
                    upstreams[port] = socket.create_connection(('127.0.0.1', port), timeout=30)
                    upstreams[port].settimeout(0.1)
                upstreams[port].sendall(frame)
                reply = self._read_frame(upstreams[port])
                if reply is None:
                    return
                client.sendall(self._change(request, reply))
        except OSError:
            return
        finally:
            client.close()
            for connection in upstreams.values():
                connection.close()
