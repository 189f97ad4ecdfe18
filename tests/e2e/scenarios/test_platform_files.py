"""What the operating system's file layer leaves in the game directory over whole
runs: an executable keeps its mode, temporaries of a killed run are cleaned up,
and a directory where the list names a file is never taken for that file."""
import os
import stat
import unittest

from harness import Run, current_flavour

# Above any process number either system hands out, so no process owns it.
NO_SUCH_PROCESS = 99999999


class PlatformFilesTest(unittest.TestCase):
    def setUp(self):
        self.flavour = current_flavour()

    def test_an_updated_executable_stays_executable(self):
        if self.flavour.is_wine:
            self.skipTest('Windows files have no mode bits')
        with Run(self.flavour) as run:
            run.package('game', files={'bin/start.sh': '#!/bin/sh\necho one\n', 'data.txt': 'one'})
            run.server()
            self.assertEqual(run.update('game').exit_code, 0)
            launcher = os.path.join(run.game_dir, 'bin', 'start.sh')
            os.chmod(launcher, 0o750)
            run.package('game', files={'bin/start.sh': '#!/bin/sh\necho two\n', 'data.txt': 'two'})
            result = run.update('game')

            self.assertEqual(result.exit_code, 0, result.describe())
            self.assertEqual(run.game_file('bin/start.sh'), b'#!/bin/sh\necho two\n')
            self.assertEqual(stat.S_IMODE(os.stat(launcher).st_mode), 0o750, result.describe())

    def test_a_folder_renamed_in_letter_case_installs(self):
        # The second build renames data/ to Data/ and spells it both ways.
        second = {'Data/x.txt': 'two', 'Data/y.txt': 'y', 'data/z.txt': 'z'}
        with Run(self.flavour) as run:
            run.package('game', files={'data/x.txt': 'one', 'a.txt': 'a'})
            run.server()
            self.assertEqual(run.update('game').exit_code, 0)
            run.package('game', files=second)
            result = run.update('game')
            self.assertEqual(result.exit_code, 0, result.describe())
            again = run.update('game')
            self.assertEqual(again.exit_code, 0, again.describe())
            self.assertEqual([k for k in again.keys_without_progress() if k[:2] == (11111, 2)], [],
                             again.describe())
            for path, content in second.items():
                # Windows puts every spelling into the folder already there.
                on_disk = 'data/' + path[5:] if self.flavour.is_wine else path
                self.assertEqual(run.game_file(on_disk), content.encode(), path + '\n' + result.describe())

    def test_temporaries_left_by_a_killed_run_are_removed(self):
        leftovers = ['.autoupdate~%d.0.tmp' % NO_SUCH_PROCESS, 'data/.autoupdate~%d.7.tmp' % NO_SUCH_PROCESS]
        with Run(self.flavour) as run:
            run.package('game', files={'a.txt': 'one', 'data/b.txt': 'one'})
            run.server()
            self.assertEqual(run.update('game').exit_code, 0)
            run.write_game_files({path: 'half a file' for path in leftovers})
            run.write_game_files({'data/.autoupdate~notours.tmp': 'a game file'})
            run.package('game', files={'a.txt': 'two', 'data/b.txt': 'two'})
            result = run.update('game')

            self.assertEqual(result.exit_code, 0, result.describe())
            for path in leftovers:
                self.assertIsNone(run.game_file(path), path + '\n' + result.describe())
            self.assertEqual(run.game_file('data/.autoupdate~notours.tmp'), b'a game file')
            self.assertEqual(run.game_file('data/b.txt'), b'two')

    def test_a_directory_where_the_list_names_a_file_is_no_empty_file(self):
        with Run(self.flavour) as run:
            run.package('game', files={'empty.dat': b'', 'a.txt': 'one'})
            run.server()
            os.makedirs(os.path.join(run.game_dir, 'empty.dat'))
            result = run.update('game', answer='no')

            # The file is missing and cannot be put in place: the run never says complete.
            self.assertNotEqual(result.exit_code, 0, result.describe())
            self.assertNotIn((5, 1), result.statuses(), result.describe())
            self.assertIn('/empty.dat', [path for path, _ in result.file_tables()[0].rows], result.describe())
            self.assertTrue(os.path.isdir(os.path.join(run.game_dir, 'empty.dat')))


if __name__ == '__main__':
    unittest.main()
