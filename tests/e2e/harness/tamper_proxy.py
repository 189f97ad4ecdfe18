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

Any other build is served by pointing `upstream` at a server that holds it (an older
build replayed, an expired one); with `files_upstream` the listed files come from there
while the package, manifest and signature come from `upstream` (two builds mixed).
Requests are handled one at a time, so replies keep the order of the requests even when
two servers answer them. Which byte changes is drawn from `seed`.

By hand: tamper_proxy.py --upstream PORT [--files-upstream PORT] [--tamper KIND]
                          [--swap OLD_HEX NEW_HEX] [--seed N] [--port-file FILE]
"""
import argparse
import random
import socket
import struct
import threading
import zlib

PACKAGE_REQUEST = 32
FILE_REQUEST = 34
MANIFEST_SERIAL = 0xFFFE
SIGNATURE_SERIAL = 0xFFFD
BASE_PACKAGE_REPLY = 114
TAMPERS = ('file', 'list', 'manifest', 'offer', 'swap')


class Request:
    def __init__(self, frame):
        self.frame = frame
        self.code = struct.unpack_from('<I', frame, 2)[0]
        self.wanted = self.serial = self.offset = None
        if self.code == FILE_REQUEST and len(frame) == 20:
            self.wanted, _, self.serial, self.offset = struct.unpack_from('<IHHI', frame, 8)

    def is_listed_file(self):
        return self.serial is not None and 0 < self.serial < MANIFEST_SERIAL and not self.serial & 0x8000


def read_exactly(connection, count):
    data = b''
    while len(data) < count:
        piece = connection.recv(count - len(data))
        if not piece:
            return None
        data += piece
    return data


def read_frame(connection):
    """One frame, buffsize included; None once the peer has gone."""
    head = read_exactly(connection, 2)
    if head is None:
        return None
    body = read_exactly(connection, struct.unpack('<H', head)[0])
    return None if body is None else head + body


def flip_list_letter(package, rng):
    """The package file with one letter of the list's first line in the other case."""
    text = bytearray(zlib.decompress(package))
    first_line = text.split(b'\r\n', 1)[0]
    letters = [i for i, c in enumerate(first_line) if chr(c).isalpha()]
    text[rng.choice(letters)] ^= 0x20
    return zlib.compress(bytes(text))


class TamperProxy:
    def __init__(self, upstream, tamper=None, files_upstream=None, seed=0, swap=None):
        if tamper not in (None,) + TAMPERS or (tamper == 'swap') != (swap is not None):
            raise ValueError('unknown tamper %r' % tamper)
        if swap and len(swap[0]) != len(swap[1]):
            raise ValueError('a swap keeps the length of the chunk')
        self.swap = swap
        self.upstream = upstream
        self.files_upstream = files_upstream
        self.tamper = tamper
        self.rng = random.Random(seed)
        self.requests = []   # every Request, in arrival order
        self.tampered = []   # what was changed, e.g. 'file 1 byte 3'
        self._lock = threading.Lock()
        self._open = []      # client connections, shut down by stop()
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
        with self._lock:
            return [r.serial for r in self.requests if r.serial is not None]

    def stop(self):
        self._stopping.set()
        with self._lock:
            for connection in self._open:
                try:
                    connection.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
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
            connection.settimeout(None)
            with self._lock:
                self._open.append(connection)
            thread = threading.Thread(target=self._serve, args=(connection,), daemon=True)
            self._threads.append(thread)
            thread.start()

    def _note(self, what):
        with self._lock:
            self.tampered.append(what)

    def _change(self, request, reply):
        """The reply the client gets instead of reply; each kind is changed once per proxy."""
        with self._lock:
            done = any(t.split()[0] == self.tamper for t in self.tampered)
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
            if len(package) <= (request.wanted or 10237):
                self._note('list')
                return struct.pack('<HB', len(package) + 1, 2) + package
        return reply

    def _serve(self, client):
        upstreams = {}

        def connection_to(port):
            if port not in upstreams:
                upstreams[port] = socket.create_connection(('127.0.0.1', port), timeout=30)
            return upstreams[port]

        try:
            while not self._stopping.is_set():
                frame = read_frame(client)
                if frame is None or len(frame) < 6:
                    return
                request = Request(frame)
                with self._lock:
                    self.requests.append(request)
                port = self.upstream
                if self.files_upstream and request.is_listed_file():
                    port = self.files_upstream
                server = connection_to(port)
                server.sendall(frame)
                reply = read_frame(server)
                if reply is None:
                    return
                client.sendall(self._change(request, reply))
        except OSError:
            return
        finally:
            client.close()
            for connection in upstreams.values():
                connection.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--upstream', type=int, required=True)
    parser.add_argument('--files-upstream', type=int)
    parser.add_argument('--tamper', choices=TAMPERS)
    parser.add_argument('--swap', nargs=2, metavar=('OLD_HEX', 'NEW_HEX'), type=bytes.fromhex)
    parser.add_argument('--seed', type=int, default=0)
    parser.add_argument('--port-file')
    args = parser.parse_args()
    proxy = TamperProxy(args.upstream, args.tamper, args.files_upstream, args.seed, args.swap)
    if args.port_file:
        with open(args.port_file, 'w') as f:
            f.write('%d\n' % proxy.port)
    print('listening on 127.0.0.1:%d' % proxy.port, flush=True)
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        proxy.stop()


if __name__ == '__main__':
    main()
