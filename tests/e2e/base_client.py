"""A client that knows only the base protocol, written from its wire format alone:
little-endian frames that start with buffsize (the count of the bytes after it),
a 114-byte PackageRequest (code 32) whose reply carries the package number at
offset 112, and 20-byte FileRequests (code 34) whose constant field at offset 8 is
0, answered with one chunk each (flag 2 on the last one, 0 for a refusal)."""
import socket
import struct

PACKAGE_REQUEST = 32
FILE_REQUEST = 34
RECEIVE_BUFFER = 10240
LAST_CHUNK = 2
REFUSED = 0


class ProtocolError(Exception):
    pass


def package_request(name):
    body = struct.pack('<IHI', PACKAGE_REQUEST, 1, 0) + name.encode('ascii')[:99].ljust(99, b'\0') + b'\0' * 3
    return struct.pack('<H', len(body)) + body


def file_request(package_id, serial, offset, constant=0):
    body = struct.pack('<IHIHHI', FILE_REQUEST, 1, constant, package_id, serial, offset)
    return struct.pack('<H', len(body)) + body


class BaseClient:
    def __init__(self, port, timeout=10):
        self.sock = socket.create_connection(('127.0.0.1', port), timeout=timeout)

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def _exactly(self, count):
        data = b''
        while len(data) < count:
            piece = self.sock.recv(count - len(data))
            if not piece:
                raise ProtocolError('connection closed after %d of %d bytes' % (len(data), count))
            data += piece
        return data

    def frame(self):
        """One reply frame, as the receive buffer holds it: at most 10240 bytes."""
        head = self._exactly(2)
        size = struct.unpack('<H', head)[0]
        if size + 2 > RECEIVE_BUFFER:
            raise ProtocolError('a frame of %d bytes does not fit the receive buffer' % (size + 2))
        return head + self._exactly(size)

    def request_package(self, name):
        """The package number: the only field of the reply a base client reads."""
        self.sock.sendall(package_request(name))
        reply = self.frame()
        # The receive buffer is zero-filled, so a short reply reads as 0 there.
        buffer = reply.ljust(114, b'\0')
        return struct.unpack_from('<H', buffer, 112)[0], reply

    def chunk(self, package_id, serial, offset, constant=0):
        self.sock.sendall(file_request(package_id, serial, offset, constant))
        reply = self.frame()
        if len(reply) < 3:
            raise ProtocolError('a chunk without its flag')
        return reply[2], reply[3:]

    def fetch(self, package_id, serial):
        """A whole file, chunk by chunk, each asked for at the offset reached; the
        payload sizes in order."""
        data = b''
        sizes = []
        while True:
            flag, payload = self.chunk(package_id, serial, len(data))
            if flag == REFUSED:
                raise ProtocolError('serial %d refused at offset %d' % (serial, len(data)))
            data += payload
            sizes.append(len(payload))
            if flag == LAST_CHUNK:
                return data, sizes
