"""Our update-server as a client of the base protocol sees it: the fast-mode offer
lies after byte 113 of the package reply, where such a client never reads, and
every file comes in chunks of the server's own size."""
import hashlib
import os
import struct
import unittest

from base_client import BaseClient
from harness import Run, current_flavour

FILES = {'a.bin': os.urandom(25000), 'b/c.txt': b'hello\r\n', 'empty': b''}


class BaseClientTest(unittest.TestCase):
    def setUp(self):
        self.run = Run(current_flavour()).__enter__()
        self.addCleanup(self.run.__exit__, None, None, None)
        self.run.package('game', files=FILES, package_id=42)

    def test_package_reply_is_read_at_offset_112_only(self):
        port = self.run.server()
        with BaseClient(port) as client:
            number, reply = client.request_package('game')
            self.assertEqual(number, 42)
            self.assertLessEqual(len(reply), 10240)
            # Everything a base client could take for meaning before offset 112 is zero.
            self.assertEqual(reply[2:112], b'\0' * 110)
            self.assertGreater(len(reply), 114)  # the offer, after byte 113
            unknown, reply = client.request_package('nothing')
            self.assertEqual(unknown, 0xFFFF)
            self.assertEqual(len(reply), 114)

    def test_every_file_comes_whole_in_the_servers_own_chunks(self):
        port = self.run.server()
        with BaseClient(port) as client:
            number, _ = client.request_package('game')
            by_size = {len(content): content for content in FILES.values()}
            served = []
            for serial in range(1, len(FILES) + 1):
                data, sizes = client.fetch(number, serial)
                served.append(data)
                self.assertTrue(all(size == 10237 for size in sizes[:-1]), sizes)
                self.assertLessEqual(sizes[-1], 10237)
                self.assertIn(len(data), by_size)
                self.assertEqual(data, by_size[len(data)])
            self.assertEqual(sorted(hashlib.md5(d).hexdigest() for d in served),
                             sorted(hashlib.md5(c).hexdigest() for c in FILES.values()))
            # Past the end the server refuses; exactly at the end the file is done.
            self.assertEqual(client.chunk(number, 1, 25001)[0], 0)
            size_of_first = len(served[0])
            self.assertEqual(client.chunk(number, 1, size_of_first), (2, b''))

    def test_a_pinned_chunk_size_is_what_a_base_client_gets(self):
        port = self.run.server(chunk=1000)
        with BaseClient(port) as client:
            number, reply = client.request_package('game')
            self.assertEqual(len(reply), 114)  # a pinned chunk offers no fast mode
            data, sizes = client.fetch(number, 1)
            self.assertEqual(set(sizes[:-1]), {1000})
            self.assertEqual(sum(sizes), len(data))

    def test_a_non_zero_size_field_is_honoured_up_to_the_servers_maximum(self):
        port = self.run.server(extra=('--fast-chunk', '20000'))
        with BaseClient(port) as client:
            number, reply = client.request_package('game')
            magic, version, largest, window = struct.unpack_from('<4sHHH', reply, 114)
            self.assertEqual((magic, version, largest, window), (b'AUFM', 4, 20000, 16))
            # A fast-mode client's request for serial 1 (a.bin, 25000 bytes, by its
            # first chunk): more than the server allows gets the server's maximum.
            client.sock.sendall(struct.pack('<HIHIHHI', 18, 34, 1, 65534, number, 1, 0))
            head = client._exactly(2)
            size = struct.unpack('<H', head)[0]
            self.assertEqual(size, 1 + 20000)
            client._exactly(size)
            self.assertEqual(len(client.chunk(number, 1, 20000, constant=3000)[1]), 3000)
            self.assertEqual(len(client.chunk(number, 1, 23000, constant=65534)[1]), 2000)


if __name__ == '__main__':
    unittest.main()
