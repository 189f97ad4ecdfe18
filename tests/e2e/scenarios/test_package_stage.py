"""The package itself: its dump in the log, packages that are too short, corrupt or
name unsafe paths, and a server that drops the connection in the middle of it."""
import hashlib
import os
import unittest

from harness import Run, ServerEntry, current_flavour, read_list, replace_package, stored_package


def dump_lines(result):
    return [line for line in result.log_lines() if line.startswith('!0x')]


class PackageStageTest(unittest.TestCase):
    def setUp(self):
        self.flavour = current_flavour()

    def run_with_package(self, run, size):
        """A full run whose package is a valid zlib stream of exactly size bytes."""
        root = run.package('game', files={'a.txt': 'alpha'})
        # Short header lines leave room for the smallest package.
        records = read_list(root, 'game').split(b'\n')[2]
        replace_package(root, 'game', stored_package(b'h\nh\n' + records + b'\n', size))
        run.server()
        return run.update('game')

    def test_the_log_dumps_up_to_fifty_lines_of_the_package(self):
        for size, lines in ((99, 0), (250, 2), (5000, 50), (6200, 50)):
            with self.subTest(size=size), Run(self.flavour) as run:
                result = self.run_with_package(run, size)
                self.assertEqual(result.exit_code, 0, result.describe())
                dump = dump_lines(result)
                self.assertEqual(len(dump), lines, result.describe())
                if dump:
                    self.assertEqual(dump[0][:16], '!0x78,0x01,0x01,', result.describe())
                    self.assertEqual(len(dump[0]), 1 + 100 * 5, result.describe())
                log = result.log_lines()
                self.assertIn('cms文件大小为%d' % size, log, result.describe())
                self.assertIn('0x78，0x01，0x01，大小为%d' % size, log, result.describe())
                self.assertTrue(any(line.startswith('0,') and line.endswith('!!!大小为%d' % (size - 11))
                                    for line in log), result.describe())
                self.assertEqual(run.game_file('a.txt'), b'alpha', result.describe())

    def test_one_byte_package_ends_the_run(self):
        with Run(self.flavour) as run:
            root = run.package('game', files={'a.txt': 'alpha'})
            replace_package(root, 'game', b'x')
            run.server()
            result = run.update('game')

            self.assertEqual(result.exit_code, 1, result.describe())
            self.assertEqual(result.keys_without_progress()[-2:],
                             [(11111, 7, 0), (11111, 6, 2)], result.describe())
            self.assertIsNone(run.game_file('a.txt'))

    def test_corrupt_package_changes_nothing(self):
        with Run(self.flavour) as run:
            run.package('game', files={'a.txt': 'alpha'})
            run.server()
            first = run.update('game')
            self.assertEqual(first.exit_code, 0, first.describe())
            installed_list = run.game_file('game.upd')
            digest_file = run.game_file('gameMd5.ini')

            corrupt_root = os.path.join(run.dir, 'corrupt')
            run.package('game', files={'a.txt': 'alpha, changed'}, root=corrupt_root)
            package = bytearray(open(os.path.join(corrupt_root, 'game.cms'), 'rb').read())
            package[len(package) // 2] ^= 0xFF
            package[-1] ^= 0xFF  # the checksum no longer matches either
            replace_package(corrupt_root, 'game', bytes(package))
            run.gamedata([ServerEntry(port=run.server(root=corrupt_root))])
            second = run.update('game')

            self.assertEqual(second.exit_code, 1, second.describe())
            self.assertEqual(second.statuses()[-1], (6, 3), second.describe())
            self.assertNotIn((8, 0), second.statuses(), second.describe())
            self.assertEqual(run.game_file('a.txt'), b'alpha')
            self.assertEqual(run.game_file('game.upd'), installed_list)
            self.assertEqual(run.game_file('gameMd5.ini'), digest_file)

    def test_list_naming_a_path_outside_the_game_is_refused(self):
        with Run(self.flavour) as run:
            root = run.package('game', files={'a.txt': 'alpha'})
            digest = hashlib.md5(b'alpha').hexdigest()
            unsafe = ('h1\nh2\n\\a.txt,5,0,%s,\\..\\..\\escaped.txt,5,0,%s\n'
                      % (digest, digest)).encode()
            replace_package(root, 'game', stored_package(unsafe, len(unsafe) + 11))
            run.server()
            result = run.update('game')

            self.assertEqual(result.exit_code, 1, result.describe())
            self.assertEqual(result.statuses()[-1], (6, 4), result.describe())
            self.assertNotIn((8, 0), result.statuses(), result.describe())
            self.assertIsNone(run.game_file('a.txt'))
            self.assertFalse(os.path.exists(os.path.join(run.dir, 'escaped.txt')))
            self.assertFalse(os.path.exists(os.path.join(os.path.dirname(run.dir), 'escaped.txt')))

    def test_package_arrives_whole_when_the_server_drops_in_the_middle(self):
        files = {'f%02d.txt' % i: 'file number %d\r\n' % i for i in range(40)}
        with Run(self.flavour) as run:
            root = run.package('game', files=files)
            self.assertGreater(os.path.getsize(os.path.join(root, 'game.cms')), 600)
            dropping = run.server(chunk=200, drop_after=300)
            steady = run.server(chunk=200)
            run.gamedata([ServerEntry(port=dropping), ServerEntry(port=steady)])
            result = run.update('game', server='127.0.0.1')

            self.assertEqual(result.exit_code, 0, result.describe())
            statuses = result.statuses()
            package_done = statuses.index((7, 0))
            # The reconnect comes while the package is on its way, before it is done.
            self.assertIn((30, 1), statuses[:package_done], result.describe())
            self.assertEqual(statuses[-1], (5, 1), result.describe())
            for path, text in files.items():
                self.assertEqual(run.game_file(path), text.encode(), path)
            # The second server went on from where the first stopped.
            self.assertNotIn(0, run.servers[1].requested_serials(), result.describe())


if __name__ == '__main__':
    unittest.main()
