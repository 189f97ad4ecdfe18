"""Resume: a run that stopped half-way leaves verified files staged, and the next run
fetches only the rest. Repair: without the installed list a run checks every file on
disk and fetches exactly the missing and damaged ones."""
import re
import unittest

from harness import Run, ServerEntry, current_flavour


def version(n, count=20, size=3000):
    return {'data/f%02d.dat' % i: (('v%d file %02d ' % (n, i)) * size)[:size] for i in range(count)}


class ResumeAndRepairTest(unittest.TestCase):
    def setUp(self):
        self.flavour = current_flavour()

    def test_interrupted_update_resumes_from_the_staging_tree(self):
        with Run(self.flavour) as run:
            run.package('game', files=version(1))
            run.server()
            first = run.update('game')
            self.assertEqual(first.exit_code, 0, first.describe())

            second = version(2)
            run.package('game', files=second)
            # The connection drops about half-way through the 60000 bytes of files,
            # and no other server is there to go on with.
            dropping = run.server(drop_after=30000, chunk=1000)
            run.gamedata([ServerEntry(port=dropping)])
            interrupted = run.update('game')
            self.assertEqual(interrupted.statuses()[-1], (5, 0), interrupted.describe())
            order = [path for path, _ in interrupted.file_tables()[0].rows]
            self.assertEqual(sorted(order), sorted('/' + p for p in second))

            staged = [p for p in order if run.game_file('Update/game' + p) == second[p[1:]].encode()]
            self.assertTrue(0 < len(staged) < len(order), interrupted.describe())
            for path in second:
                self.assertEqual(run.game_file(path), version(1)[path].encode(), path)

            fresh = run.server()
            run.gamedata([ServerEntry(port=fresh)])
            resumed = run.update('game')

            self.assertEqual(resumed.exit_code, 0, resumed.describe())
            self.assertEqual(resumed.statuses()[-1], (5, 1), resumed.describe())
            missing = [p for p in order if p not in staged]
            self.assertEqual([path for path, _ in resumed.file_tables()[0].rows], missing)
            # Serials are list places; every record of this list was in the first table.
            self.assertEqual(run.servers[-1].requested_serials(),
                             [0] + [order.index(p) + 1 for p in missing], resumed.describe())
            for path in staged:
                self.assertIn(path + '已在暂存目录中,不再下载', resumed.log_lines(),
                              resumed.describe())
            for path, text in second.items():
                self.assertEqual(run.game_file(path), text.encode(), path)
            self.assertEqual([p for p in run.game_files() if p.startswith('Update/game/')], [])

    def test_a_file_cut_short_goes_on_from_its_staged_bytes(self):
        big = bytes((i * 7 + i // 4093) & 0xFF for i in range(3 << 20))
        for mode, chunk in (('base', 10237), ('fast', None)):
            with self.subTest(mode), Run(self.flavour) as run:
                run.package('game', files={'big.dat': big, 'small.txt': 'small'})
                run.gamedata([ServerEntry(port=run.server(chunk=chunk, drop_after=len(big) // 2))])
                cut = run.update('game')
                self.assertEqual(cut.statuses()[-1], (5, 0), cut.describe())
                reached = len(run.game_file('Update/game/big.dat') or b'')
                self.assertTrue(0 < reached < len(big), cut.describe())

                run.gamedata([ServerEntry(port=run.server(chunk=chunk))])
                resumed = run.update('game')
                self.assertEqual(resumed.exit_code, 0, resumed.describe())
                self.assertEqual(run.game_file('big.dat'), big)
                serial = [path for path, _ in cut.file_tables()[0].rows].index('/big.dat') + 1
                first = re.search(r'file \d+/%d offset (\d+) ' % serial, run.servers[-1].log_text())
                self.assertGreaterEqual(int(first.group(1)), reached, run.servers[-1].log_text()[:2000])
                self.assertIn('game\\big.dat从第%d字节续传' % reached, resumed.log_lines(), resumed.describe())

    def test_removing_the_installed_list_repairs_damaged_and_missing_files(self):
        with Run(self.flavour) as run:
            files = version(1, count=8, size=500)
            run.package('game', files=files)
            run.server()
            first = run.update('game')
            self.assertEqual(first.exit_code, 0, first.describe())
            order = [path for path, _ in first.file_tables()[0].rows]

            run.write_game_files({'data/f01.dat': 'damaged', 'data/f05.dat': files['data/f05.dat'][:-1] + 'X'})
            run.remove_game_file('data/f06.dat')
            run.remove_game_file('game.upd')
            before = len(run.servers[0].requested_serials())
            repair = run.update('game')

            self.assertEqual(repair.exit_code, 0, repair.describe())
            self.assertIn((11111, 9, 0), repair.keys(), repair.describe())
            self.assertEqual(sorted(path for path, _ in repair.file_tables()[0].rows),
                             ['/data/f01.dat', '/data/f05.dat', '/data/f06.dat'])
            self.assertEqual(sorted(run.servers[0].requested_serials()[before:]),
                             [0] + sorted(order.index(p) + 1 for p in
                                          ('/data/f01.dat', '/data/f05.dat', '/data/f06.dat')))
            self.assertEqual(repair.statuses()[-1], (5, 1), repair.describe())
            for path, text in files.items():
                self.assertEqual(run.game_file(path), text.encode(), path)
            self.assertIsNotNone(run.game_file('game.upd'))


if __name__ == '__main__':
    unittest.main()
