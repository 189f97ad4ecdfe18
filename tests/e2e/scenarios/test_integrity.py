"""The run never reports a complete update over a broken game: a fetched file with the
wrong digest, a list that cannot be promoted, and system files without a system
directory each end the run incomplete with the last update kept, and the next run heals;
so does a disk too small for the run, found before any fetch or when a write runs out."""
import contextlib
import glob
import hashlib
import os
import stat
import subprocess
import unittest

from harness import Run, ServerEntry, current_flavour
from harness.tamper_proxy import TamperProxy

FILES = {'a.txt': 'alpha one', 'b.txt': 'bravo one', 'c.txt': 'charlie one'}
CHANGED = {'a.txt': 'alpha two', 'b.txt': 'bravo two', 'c.txt': 'charlie one'}


def md5(data):
    return hashlib.md5(data).hexdigest()


@contextlib.contextmanager
def small_volume(path, megabytes, links=()):
    """A tmpfs at path, also reached through each symbolic link of links (a Wine drive)."""
    os.makedirs(path)
    if subprocess.run(['mount', '-t', 'tmpfs', '-o', 'size=%dm' % megabytes, 'tmpfs', path]).returncode:
        raise unittest.SkipTest('a tmpfs cannot be mounted here (needs root)')
    try:
        for link in links:
            os.symlink(path, link)
        yield path
    finally:
        for link in filter(os.path.lexists, links):
            os.remove(link)
        subprocess.run(['umount', '-l', path])


class FillingProxy(TamperProxy):
    """Leaves a megabyte free on the volume of filler just before the first file is served."""

    def __init__(self, upstream, filler):
        super().__init__(upstream)
        self.filler = filler

    def _change(self, request, reply):
        if request.is_listed_file() and not os.path.exists(self.filler):
            info = os.statvfs(os.path.dirname(self.filler))
            with open(self.filler, 'wb') as f:
                f.write(bytes(info.f_bavail * info.f_frsize - (1 << 20)))
        return reply


class IntegrityTest(unittest.TestCase):
    def setUp(self):
        self.flavour = current_flavour()

    def first_update(self, run):
        run.package('game', files=FILES)
        run.server()
        first = run.update('game')
        self.assertEqual(first.exit_code, 0, first.describe())
        return run.game_file('game.upd'), run.game_file('gameMd5.ini')

    def assertKeptLastUpdate(self, run, kept, result):
        installed_list, digest_file = kept
        self.assertEqual(run.game_file('game.upd'), installed_list, result.describe())
        self.assertEqual(run.game_file('gameMd5.ini'), digest_file, result.describe())

    def test_served_file_with_another_digest_fails_its_transfer(self):
        with Run(self.flavour) as run:
            kept = self.first_update(run)
            run.package('game', files=CHANGED)
            # The server now sends bytes of the same length that the list does not name.
            served = sorted(glob.glob(os.path.join(run.packages_dir, '.store', 'game', '*',
                                                   'files', 'b.txt')))[-1]
            with open(served, 'wb') as f:
                f.write(b'bravo 2!!')
            result = run.update('game')

            self.assertEqual(result.exit_code, 1, result.describe())
            statuses = result.statuses()
            self.assertEqual(statuses.count((6, 1)), 1, result.describe())
            failed = statuses.index((6, 1))
            self.assertNotEqual(statuses[failed - 1], (7, 0), 'the bad file is never reported as fetched\n' +
                                result.describe())
            self.assertEqual(statuses[-1], (5, 0), result.describe())
            expected = 'game\\b.txt校验失败,应为%s,实为%s' % (md5(b'bravo two'), md5(b'bravo 2!!'))
            self.assertIn(expected, result.log_lines(), result.describe())
            self.assertIn('下载未完成', result.log_lines(), result.describe())
            self.assertIsNone(run.game_file('Update/game/b.txt'), result.describe())
            self.assertEqual(run.game_file('b.txt'), b'bravo one', result.describe())
            self.assertKeptLastUpdate(run, kept, result)

            with open(served, 'wb') as f:
                f.write(b'bravo two')
            healed = run.update('game')
            self.assertEqual(healed.exit_code, 0, healed.describe())
            self.assertEqual(healed.statuses()[-1], (5, 1), healed.describe())
            # a.txt was checked and kept staged by the failed run.
            self.assertIn('/a.txt已在暂存目录中,不再下载', healed.log_lines(), healed.describe())
            self.assertEqual(healed.file_tables()[0].rows, [('/b.txt', 9)], healed.describe())
            for path, text in CHANGED.items():
                self.assertEqual(run.game_file(path), text.encode(), path)

    def test_directory_at_the_installed_list_leaves_the_run_incomplete(self):
        with Run(self.flavour) as run:
            run.package('game', files=FILES)
            run.server()
            os.makedirs(os.path.join(run.game_dir, 'game.upd', 'keep'))
            result = run.update('game')

            self.assertEqual(result.exit_code, 1, result.describe())
            self.assertEqual(result.statuses()[-1], (5, 0), result.describe())
            self.assertTrue(any('\\game.upd无法更新,错误类型' in line for line in result.log_lines()),
                            result.describe())
            self.assertIn('下载未完成', result.log_lines(), result.describe())
            self.assertTrue(os.path.isdir(os.path.join(run.game_dir, 'game.upd', 'keep')))
            self.assertIsNone(run.game_file('gameMd5.ini'), result.describe())
            # The staged list stays for the next run; no temporary file is left.
            self.assertIsNotNone(run.game_file('Update/game.upd'), result.describe())
            self.assertEqual([p for p in run.game_files() if p.endswith('.tmp')], [])

            os.rmdir(os.path.join(run.game_dir, 'game.upd', 'keep'))
            os.rmdir(os.path.join(run.game_dir, 'game.upd'))
            healed = run.update('game')
            self.assertEqual(healed.statuses()[-1], (5, 1), healed.describe())
            self.assertEqual(md5(run.game_file('game.upd')),
                             run.game_file('gameMd5.ini').decode().split('MD5=')[1].strip())

    def test_read_only_installed_list_is_replaced(self):
        with Run(self.flavour) as run:
            old_list, _ = self.first_update(run)
            listed = os.path.join(run.game_dir, 'game.upd')
            os.chmod(listed, stat.S_IRUSR | stat.S_IRGRP | stat.S_IROTH)
            run.package('game', files=CHANGED)
            result = run.update('game')

            self.assertEqual(result.exit_code, 0, result.describe())
            self.assertEqual(result.statuses()[-1], (5, 1), result.describe())
            promoted = run.game_file('game.upd')
            self.assertNotEqual(promoted, old_list)
            self.assertIn(('MD5=' + md5(promoted)).encode(), run.game_file('gameMd5.ini'))
            self.assertIsNone(run.game_file('Update/game.upd'), result.describe())
            for path, text in CHANGED.items():
                self.assertEqual(run.game_file(path), text.encode(), path)

    def test_system_files_without_a_system_directory_end_the_run_before_any_fetch(self):
        if self.flavour.is_wine:
            self.skipTest('GetSystemDirectoryA cannot be made to fail under Wine')
        with Run(self.flavour) as run:
            run.package('game', files=FILES, system={'x.dll': 'system'})
            run.server()
            # Too long for the library's 256-byte field: no system directory at all.
            run.system_dir = os.path.join(run.dir, 's' * 300)
            result = run.update('game')

            self.assertEqual(result.exit_code, 1, result.describe())
            self.assertEqual(result.statuses()[-1], (6, 82), result.describe())
            self.assertIn('没有可用的系统目录,无法安装系统文件/x.dll', result.log_lines(),
                          result.describe())
            self.assertNotIn(11115, [m.msg for m in result.messages], result.describe())
            self.assertEqual(run.servers[0].requested_serials(), [0])
            self.assertEqual(sorted(run.game_files()), ['Update/game.upd', 'game.fast'])
            self.assertFalse(os.path.exists('/x.dll'))

            # A list without system files still installs without a system directory.
            run.package('game', files=FILES)
            plain = run.update('game')
            self.assertEqual(plain.statuses()[-1], (5, 1), plain.describe())
            for path, text in FILES.items():
                self.assertEqual(run.game_file(path), text.encode(), path)

    def test_a_disk_too_small_stops_the_run_and_keeps_what_is_staged(self):
        big = {'a.dat': os.urandom(3 << 20), 'b.dat': os.urandom(3 << 20)}
        # 4 MB: the check finds it short and nothing is asked for; 8 MB: the check passes,
        # the proxy fills the volume, and the first write that runs out stops the run.
        # A system directory on its own volume is checked for the copies made there.
        for megabytes, on in ((4, 'game'), (8, 'game')) + ((4, 'system'),) * (not self.flavour.is_wine):
            # Under Wine the game folder is drive Q: of its own, whose log the harness
            # reads through run.dir/Q:.
            drive = {'raw_game_dir': 'Q:\\'} if self.flavour.is_wine else {}
            with self.subTest(megabytes=megabytes, on=on), Run(self.flavour) as run, small_volume(
                    run.dir + '/small', megabytes, [run.dir + '/Q:', self.flavour.wine_prefix + '/dosdevices/q:']
                    if drive else []) as volume:
                setattr(run, on + '_dir', volume)
                kept = self.first_update(run)
                run.package('game', files=dict(FILES, **big) if on == 'game' else FILES,
                            system={'x.dll': big['a.dat'] * 2} if on == 'system' else None)
                filler = os.path.join(volume, 'filler')
                proxy = FillingProxy(run.servers[0].port, filler)
                run.gamedata([ServerEntry(port=proxy.port)])
                try:
                    short = run.update('game', **drive)
                finally:
                    proxy.stop()

                statuses = short.statuses()
                self.assertEqual([kind for kind, _ in statuses[-5:-2]], [14, 15, 16], short.describe())
                self.assertEqual(statuses[-2:], [(6, 84), (5, 0)], short.describe())
                self.assertGreater(statuses[-5][1], statuses[-4][1], short.describe())
                self.assertNotIn((6, 1), statuses, short.describe())
                self.assertTrue(any(line.startswith('磁盘空间不足:需要') for line in short.log_lines()),
                                short.describe())
                self.assertKeptLastUpdate(run, kept, short)
                self.assertEqual(statuses[-3][1], 'Q:' if drive else volume, short.describe())
                fetched = [r for r in proxy.requests if r.is_listed_file() and r.offset == 0]
                self.assertEqual(len(fetched), megabytes // 8, short.describe())
                staged = len(run.game_file('Update/game/a.dat') or b'')
                self.assertEqual(0 < staged < len(big['a.dat']), megabytes == 8, short.describe())
                if megabytes == 8:
                    os.remove(filler)
                    run.gamedata([ServerEntry(port=run.servers[0].port)])
                    healed = run.update('game', **drive)
                    self.assertEqual(healed.statuses()[-1], (5, 1), healed.describe())
                    self.assertIn('game\\a.dat从第%d字节续传' % staged, healed.log_lines(), healed.describe())
                    self.assertEqual(run.game_file('b.dat'), big['b.dat'])


if __name__ == '__main__':
    unittest.main()
