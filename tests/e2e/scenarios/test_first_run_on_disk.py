"""A first run has no installed list: the files on disk decide what is fetched, the
staged copy of an earlier unfinished run first, else the installed copy."""
import unittest

from harness import Run, current_flavour

FILES = {'same.txt': 'already here', 'staged.txt': 'staged earlier', 'stale.txt': 'new text',
         'missing.txt': 'not here yet'}


class FirstRunOnDiskTest(unittest.TestCase):
    def setUp(self):
        self.flavour = current_flavour()

    def test_matching_copies_are_not_fetched(self):
        with Run(self.flavour) as run:
            run.package('game', files=FILES)
            run.server()
            run.write_game_files({
                'same.txt': 'already here',
                'Update/game/staged.txt': 'staged earlier',
                # The staged copy decides even when the installed copy matches.
                'stale.txt': 'new text',
                'Update/game/stale.txt': 'an older staged text',
            })
            result = run.update('game')

            self.assertEqual(result.exit_code, 0, result.describe())
            self.assertIn((11111, 9, 0), result.keys(), result.describe())
            self.assertEqual(sorted(path for path, _ in result.file_tables()[0].rows),
                             ['/missing.txt', '/stale.txt'], result.describe())
            for path, text in FILES.items():
                self.assertEqual(run.game_file(path), text.encode(), path + result.describe())
            self.assertIsNone(run.game_file('Update/game/staged.txt'), result.describe())


if __name__ == '__main__':
    unittest.main()
