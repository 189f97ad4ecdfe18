"""Whole runs: a first update into an empty game directory, a second with nothing
changed, an incremental update, and a run whose transfers fail."""
import hashlib
import os
import unittest

from harness import Run, ServerEntry, current_flavour

FILES = {
    'readme.txt': 'first version\r\n',
    'data/level1.dat': bytes(range(256)) * 40,
    'data/sub/level2.dat': b'level two\n' * 700,
}
SYSTEM = {'autoupdate-e2e.dll': b'MZ system file of the test\n'}


def md5(data):
    return hashlib.md5(data).hexdigest()


class FullRunTest(unittest.TestCase):
    def setUp(self):
        self.flavour = current_flavour()

    def assertInstalled(self, run, files, result):
        for path, content in files.items():
            expected = content.encode() if isinstance(content, str) else content
            self.assertEqual(run.game_file(path), expected, path + '\n' + result.describe())

    def assertRecorded(self, run, result):
        """The installed list is the promoted staged list and the digest file names it."""
        installed = run.game_file('game.upd')
        self.assertIsNotNone(installed, result.describe())
        self.assertIsNone(run.game_file('Update/game.upd'), result.describe())
        digest = run.game_file('gameMd5.ini').decode('ascii')
        self.assertIn('[MD5]', digest, result.describe())
        self.assertIn('MD5=' + md5(installed), digest, result.describe())

    def test_first_run_fetches_and_installs_everything(self):
        with Run(self.flavour) as run:
            run.package('game', files=FILES, system=SYSTEM)
            run.server()
            result = run.update('game')

            self.assertEqual(result.exit_code, 0, result.describe())
            keys = result.keys_without_progress()
            self.assertEqual(keys[:5], [(11111, 30, 0), (11111, 4, 10), (11111, 7, 0),
                                        (11111, 8, 0), (11111, 9, 0)], result.describe())
            self.assertEqual(keys[-2:], [(11111, 4, 0), (11111, 5, 1)], result.describe())
            table = result.file_tables()
            self.assertEqual(len(table), 1, result.describe())
            expected = [('/' + path, len(content)) for path, content in
                        list(FILES.items()) + list(SYSTEM.items())]
            self.assertEqual(sorted(table[0].rows), sorted(expected), result.describe())
            fetched = [lparam for msg, wparam, lparam in keys if (msg, wparam) == (11111, 2)]
            self.assertEqual(sorted(fetched), sorted(path for path, _ in table[0].rows))
            # The byte count of the last progress message is the whole run's.
            progress = [m for m in result.messages if m.msg == 11117]
            self.assertEqual(progress[-1].wparam, progress[-1].lparam, result.describe())

            self.assertInstalled(run, FILES, result)
            self.assertEqual(run.system_file('autoupdate-e2e.dll'), SYSTEM['autoupdate-e2e.dll'])
            # The system file, last in the list, is asked for under the package's System
            # name and staged in the package's system folder.
            self.assertTrue(any(line.endswith('\\Update\\gamesystem,序列号4,文件名:gameSystem\\autoupdate-e2e.dll')
                                for line in result.log_lines()), result.describe())
            self.assertRecorded(run, result)
            # Every staged file was moved, none is left behind.
            staged = [path for path in run.game_files() if path.startswith('Update/game')]
            self.assertEqual(staged, [], result.describe())
            self.assertIn('下载好了', result.log_lines(), result.describe())

    def test_second_run_fetches_nothing(self):
        with Run(self.flavour) as run:
            run.package('game', files=FILES)
            run.server()
            first = run.update('game')
            self.assertEqual(first.exit_code, 0, first.describe())
            serials_before = len(run.servers[0].requested_serials())

            second = run.update('game')
            self.assertEqual(second.exit_code, 0, second.describe())
            self.assertEqual(second.keys_without_progress(), [
                (11111, 30, 0), (11111, 4, 10), (11111, 7, 0), (11111, 8, 0), (11115, 0, None),
                (11111, 4, 0), (11111, 5, 1)], second.describe())
            # Only the package itself was asked for.
            self.assertEqual(run.servers[0].requested_serials()[serials_before:], [0])
            self.assertInstalled(run, FILES, second)
            self.assertRecorded(run, second)

    def test_incremental_update_fetches_only_changed_records(self):
        with Run(self.flavour) as run:
            run.package('game', files={'a.txt': 'alpha', 'b.txt': 'beta', 'c.txt': 'gamma'})
            run.server()
            first = run.update('game')
            self.assertEqual(first.exit_code, 0, first.describe())

            # b.txt changes; d.txt holds what a.txt holds, under another path.
            changed = {'a.txt': 'alpha', 'b.txt': 'beta, second edition', 'c.txt': 'gamma',
                       'd.txt': 'alpha'}
            run.package('game', files=changed)
            serials_before = len(run.servers[0].requested_serials())
            second = run.update('game')

            self.assertEqual(second.exit_code, 0, second.describe())
            self.assertEqual(second.file_tables()[0].rows, [('/b.txt', 20), ('/d.txt', 5)],
                             second.describe())
            # A record's serial is its place in the list, counted from 1.
            self.assertEqual(run.servers[0].requested_serials()[serials_before:], [0, 2, 4])
            self.assertInstalled(run, changed, second)
            self.assertRecorded(run, second)

    def test_failed_transfer_fails_the_run_and_keeps_the_last_update(self):
        with Run(self.flavour) as run:
            run.package('game', files={'a.txt': 'one', 'b.txt': 'two', 'c.txt': 'three'})
            run.server()
            first = run.update('game')
            self.assertEqual(first.exit_code, 0, first.describe())
            installed_list = run.game_file('game.upd')
            digest_file = run.game_file('gameMd5.ini')

            run.package('game', files={'a.txt': 'one', 'b.txt': 'two!', 'c.txt': 'three!'})
            refusing = run.server(refuse_serial=2)
            run.gamedata([ServerEntry(port=refusing)])
            second = run.update('game')

            self.assertEqual(second.exit_code, 1, second.describe())
            statuses = second.statuses()
            # The refused file fails, and so does every later transfer of the run.
            self.assertEqual(statuses.count((6, 1)), 2, second.describe())
            self.assertNotIn((7, 0), statuses[statuses.index((8, 0)):], second.describe())
            self.assertEqual(statuses[-1], (5, 0), second.describe())
            self.assertIn('下载未完成', second.log_lines(), second.describe())
            self.assertEqual(run.game_file('b.txt'), b'two', second.describe())
            self.assertEqual(run.game_file('game.upd'), installed_list)
            self.assertEqual(run.game_file('gameMd5.ini'), digest_file)

    def test_preferred_address_that_fails_falls_over_to_a_table_row(self):
        with Run(self.flavour) as run:
            run.package('game', files={'a.txt': 'alpha'})
            port = run.server()
            # The preferred address matches the first row, whose port is closed.
            run.gamedata([ServerEntry(port=run.closed_port()), ServerEntry(port=port)])
            result = run.update('game', server='127.0.0.1')

            self.assertEqual(result.exit_code, 0, result.describe())
            self.assertEqual(result.keys_without_progress()[:3],
                             [(11111, 30, 0), (11111, 30, 1), (11111, 4, 10)], result.describe())
            self.assertIn('端口跟ftp:[%d] 127.0.0.1,连接该服务器' % port, result.log_lines())
            self.assertEqual(run.game_file('a.txt'), b'alpha')


if __name__ == '__main__':
    unittest.main()
