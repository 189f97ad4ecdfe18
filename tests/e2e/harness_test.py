"""Tests of the harness's own reading of transcripts, logs, gamedata.xml and objdump output."""
import concurrent.futures
import hashlib
import os
import random
import signal
import socket
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

from harness import FuncEntry, ServerEntry, gamedata_xml, parse_transcript
from harness.http_mirrors import EXTRA_BYTES, FaultyMirror, origin_bytes, start_cache, start_origin
from harness.processes import run_bounded
from harness.run import closed_port, read_tree, write_tree
from harness.transcript import RunResult

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'wine'))
import check_dll_interface  # noqa: E402

TRANSCRIPT = """# AutoUpdate returned 1
11111 11117 http://127.0.0.1/full.zip
11111 30 0
11115 2
  /data/a b.dat 1234
  /x.dll 2048
11111 2 /data/a b.dat
11114 5000 2500
11111 5 1
# EndUpdate returned 1
"""


def result_with(transcript='', log=None):
    messages, comments = parse_transcript(transcript)
    return RunResult(0, transcript, messages, comments, log, '', '')


class TranscriptTest(unittest.TestCase):
    def test_messages_rows_and_comments(self):
        result = result_with(TRANSCRIPT)
        self.assertEqual(result.returned(), 1)
        self.assertEqual(result.keys(), [
            (11111, 11117, 'http://127.0.0.1/full.zip'), (11111, 30, 0), (11115, 2, None),
            (11111, 2, '/data/a b.dat'), (11114, 5000, 2500), (11111, 5, 1)])
        # Paths with blanks keep them; the size is the last field.
        self.assertEqual(result.file_tables()[0].rows, [('/data/a b.dat', 1234), ('/x.dll', 2048)])
        self.assertEqual(result.keys_without_progress()[-2:], [(11111, 2, '/data/a b.dat'),
                                                               (11111, 5, 1)])
        self.assertEqual(result.statuses()[0], (11117, 'http://127.0.0.1/full.zip'))

    def test_refused_run_has_no_messages(self):
        result = result_with('# AutoUpdate returned 0\n')
        self.assertEqual(result.returned(), 0)
        self.assertEqual(result.messages, [])

    def test_row_outside_a_table_is_an_error(self):
        with self.assertRaises(ValueError):
            parse_transcript('11111 30 0\n  /a.txt 3\n')


class LogLinesTest(unittest.TestCase):
    def test_stamps_and_header_are_removed(self):
        log = ('日志创建时间： [12/06/26 17:24:18]\r\n'
               '[    1][17:24:18]下载game,当前目录为:ab\r\n'
               '[    2][17:24:18]\r\n'
               '[100000][17:24:19]端口跟ftp:[38432] ，连接失败\r\n')
        self.assertEqual(result_with(log=log).log_lines(),
                         ['下载game,当前目录为:ab', '', '端口跟ftp:[38432] ，连接失败'])

    def test_missing_log_has_no_lines(self):
        self.assertEqual(result_with(log=None).log_lines(), [])

    def test_stderr_is_matched_in_either_encoding(self):
        text = '自动更新失败'
        for encoding in ('gbk', 'utf-8'):
            result = result_with()
            result.stderr_bytes = ('x: ' + text).encode(encoding)
            self.assertTrue(result.stderr_contains(text), encoding)
        self.assertFalse(result_with().stderr_contains(text))


class GamedataTest(unittest.TestCase):
    def test_servers_and_funcs(self):
        content = gamedata_xml([ServerEntry(port=4000), ServerEntry(port=None, serverid=None,
                                                                    ip='a"b')],
                               [FuncEntry(expandprop='http://127.0.0.1/x')])
        root = ElementTree.fromstring(content)
        servers = root.find('servers').findall('server')
        self.assertEqual(servers[0].attrib['autoupdateport'], '4000')
        self.assertEqual(servers[0].attrib['autoupdate'], '1')
        self.assertEqual(servers[0].attrib['ip'], '127.0.0.1')
        self.assertNotIn('serverid', servers[1].attrib)
        self.assertNotIn('autoupdateport', servers[1].attrib)
        self.assertEqual(servers[1].attrib['ip'], 'a"b')
        self.assertEqual(root.find('FuncConfig/Func').attrib['expandprop'], 'http://127.0.0.1/x')

    def test_without_funcconfig_and_in_gbk(self):
        content = gamedata_xml([ServerEntry(port=1, ip='服务器')], encoding='GBK')
        self.assertIn('encoding="GBK"'.encode(), content)
        self.assertIn('服务器'.encode('gbk'), content)
        self.assertNotIn(b'FuncConfig', content)
        with self.assertRaises(ValueError):
            gamedata_xml([], encoding='gb2312')


class FilesAndPortsTest(unittest.TestCase):
    def test_tree_round_trip(self):
        import tempfile
        with tempfile.TemporaryDirectory() as root:
            files = {'a.txt': 'x', 'd/e/f.bin': b'\x00\x01'}
            write_tree(root, files)
            self.assertEqual(read_tree(root), {'a.txt': b'x', 'd/e/f.bin': b'\x00\x01'})
            self.assertEqual(read_tree(root, skip=('a.txt',)), {'d/e/f.bin': b'\x00\x01'})

    def test_closed_port_refuses(self):
        port = closed_port()
        with socket.socket() as s:
            self.assertNotEqual(s.connect_ex(('127.0.0.1', port)), 0)

    def test_run_ends_with_the_child_not_its_output(self):
        # The background sleep keeps the child's stderr open, as Wine's server does.
        code, stdout, _ = run_bounded(['sh', '-c', 'sleep 30 & echo $!; exit 3'], timeout=10)
        os.kill(int(stdout), signal.SIGKILL)
        self.assertEqual(code, 3)


def curl(url, byte_range=None, *options):
    """(curl's exit code, HTTP status, Content-Range, Cache-Control, body) of one GET."""
    with tempfile.NamedTemporaryFile() as body:
        command = ['curl', '-s', '--max-time', '10', '-o', body.name, '-w',
                   '%{http_code}\\n%header{content-range}\\n%header{cache-control}', *options, url]
        if byte_range:
            command += ['-r', byte_range]
        code, out, _ = run_bounded(command, timeout=20)
        status, content_range, cache_control = out.decode().split('\n')
        return code, int(status), content_range, cache_control, body.read()


class HttpMirrorsTest(unittest.TestCase):
    """nginx from packaging/nginx and the faulty mirror, asked by curl."""
    DATA = random.Random(7).randbytes(4 << 20)
    NAME = hashlib.sha256(DATA).hexdigest()
    PATH = '/objects/%s/%s' % (NAME[:2], NAME)
    SIZE = len(DATA)

    def setUp(self):
        work = tempfile.TemporaryDirectory()
        self.addCleanup(work.cleanup)
        self.work, self.root = work.name, os.path.join(work.name, 'http')
        write_tree(self.root, {self.PATH[1:]: self.DATA})

    def started(self, server):
        self.addCleanup(server.stop)
        return server

    def test_origin_serves_whole_objects_and_ranges(self):
        origin = self.started(start_origin(self.root, self.work))
        immutable = 'public, max-age=31536000, immutable'
        self.assertEqual(curl(origin.url + self.PATH), (0, 200, '', immutable, self.DATA))
        self.assertEqual(curl(origin.url + self.PATH, '100-199'),
                         (0, 206, 'bytes 100-199/%d' % self.SIZE, immutable, self.DATA[100:200]))
        self.assertEqual(origin_bytes(origin), self.SIZE + 100)

    def test_cache_asks_the_origin_for_each_byte_about_once(self):
        origin = self.started(start_origin(self.root, self.work))
        cache = self.started(start_cache(origin, self.work))
        rng = random.Random(3)
        ranges = [None] * 4
        for _ in range(16):
            first = rng.randrange(self.SIZE)
            ranges.append((first, min(self.SIZE, first + rng.randrange(1, 3 << 20)) - 1))
        with concurrent.futures.ThreadPoolExecutor(len(ranges)) as pool:
            answers = list(pool.map(lambda r: curl(cache.url + self.PATH, r and '%d-%d' % r), ranges))
        for asked, (code, status, _, _, body) in zip(ranges, answers):
            first, last = asked or (0, self.SIZE - 1)
            self.assertEqual((code, status, body), (0, 206 if asked else 200, self.DATA[first:last + 1]))
        sent = origin_bytes(origin)
        self.assertGreaterEqual(sent, self.SIZE)
        self.assertLessEqual(sent, 1.1 * self.SIZE)

    def test_faulty_mirror_shows_its_fault(self):
        n, data = self.SIZE, self.DATA
        flipped = bytearray(data)
        flipped[n // 2] ^= 0xFF
        rows = [
            (None, None, (), (0, 200, '', data)),
            (None, '100-199', (), (0, 206, 'bytes 100-199/%d' % n, data[100:200])),
            (None, '%d-' % n, (), (0, 416, 'bytes */%d' % n, b'')),
            ('flip', None, (), (0, 200, '', bytes(flipped))),
            ('404', None, (), (0, 404, '', b'')),
            ('500', '0-9', (), (0, 500, '', b'')),
            ('stall', None, ('--max-time', '1'), (28, 200, '', b'')),
            ('extra', '100-199', (),
             (0, 206, 'bytes 100-199/%d' % n, data[100:200] + bytes(EXTRA_BYTES))),
            ('wrong-range', '100-199', (), (0, 206, 'bytes 99-198/%d' % n, data[99:199])),
            ('ignore-range', '100-199', (), (0, 200, '', data)),
            ('cut', None, (), (18, 200, '', data[:n // 2])),
        ]
        for fault, byte_range, options, expected in rows:
            with self.subTest(fault=fault, range=byte_range):
                mirror = FaultyMirror(self.root, fault)
                try:
                    code, status, content_range, _, body = curl(mirror.url + self.PATH, byte_range, *options)
                    self.assertEqual((code, status, content_range, body), expected)
                    self.assertEqual(mirror.requests, [(self.PATH, byte_range and 'bytes=' + byte_range)])
                finally:
                    mirror.stop()


OBJDUMP = """
[Ordinal/Name Pointer] Table
\t[   0] _AutoUpdate@20
\t[   1] _EndUpdate@0

The Import Tables (interpreted .idata section contents)
\tDLL Name: KERNEL32.dll
\tDLL Name: WSOCK32.DLL
"""


class DllInterfaceTest(unittest.TestCase):
    def test_clean_dll(self):
        exports, imports = check_dll_interface.exports_and_imports(OBJDUMP)
        self.assertEqual(exports, ['_AutoUpdate@20', '_EndUpdate@0'])
        self.assertEqual(imports, ['KERNEL32.dll', 'WSOCK32.DLL'])
        self.assertEqual(check_dll_interface.problems(exports, imports), [])

    def test_extra_export_and_runtime_import_are_reported(self):
        dump = OBJDUMP.replace('\t[   1] _EndUpdate@0\n', '\t[   1] _EndUpdate@0\n\t[   2] DllMain@12\n')
        dump += '\tDLL Name: libgcc_s_dw2-1.dll\n\tDLL Name: zlib.DLL\n'
        found = check_dll_interface.problems(*check_dll_interface.exports_and_imports(dump))
        self.assertEqual(len(found), 3, found)
        self.assertTrue(any('libgcc_s_dw2-1.dll' in p for p in found))
        self.assertTrue(any('zlib.DLL' in p for p in found))

    def test_missing_export_is_reported(self):
        dump = OBJDUMP.replace('\t[   1] _EndUpdate@0\n', '')
        self.assertTrue(check_dll_interface.problems(*check_dll_interface.exports_and_imports(dump)))


if __name__ == '__main__':
    unittest.main()
