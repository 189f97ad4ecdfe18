"""Tests of the harness's own reading of transcripts, logs, gamedata.xml and objdump output."""
import os
import signal
import socket
import sys
import unittest
import xml.etree.ElementTree as ElementTree

from harness import FuncEntry, ServerEntry, gamedata_xml, parse_transcript
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
