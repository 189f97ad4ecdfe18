"""A destination file held open by another program during the install: the user is
asked to retry. Only Windows locks files against replacement, so this runs under Wine."""
import unittest

from harness import Run, current_flavour

QUESTION_END = '被程序占用，无法移动文件，请确定您的进程里没有程序使用这个文件\\n是否重试？'


class LockedFileTest(unittest.TestCase):
    def setUp(self):
        self.flavour = current_flavour()
        if not self.flavour.is_wine:
            self.skipTest('POSIX has no mandatory file locks')

    def first_update(self, run):
        run.package('game', files={'locked.txt': 'version one', 'free.txt': 'one'})
        run.server()
        first = run.update('game')
        self.assertEqual(first.exit_code, 0, first.describe())
        run.package('game', files={'locked.txt': 'version two', 'free.txt': 'two'})

    def assertAsked(self, result, answer):
        asked = [line for line in result.comments if line.startswith('# asked: ')]
        self.assertEqual(len(asked), 1, result.describe())
        self.assertTrue(asked[0].endswith('locked.txt' + QUESTION_END), result.describe())
        self.assertIn('# answered: ' + answer, result.comments, result.describe())

    def test_yes_after_the_lock_is_released_moves_the_file(self):
        with Run(self.flavour) as run:
            self.first_update(run)
            result = run.update('game', lock='locked.txt', answer='yes')

            self.assertEqual(result.exit_code, 0, result.describe())
            self.assertAsked(result, 'yes')
            self.assertEqual(run.game_file('locked.txt'), b'version two')
            self.assertTrue(any(line.endswith('locked.txt移动成功') for line in result.log_lines()),
                            result.describe())
            self.assertEqual(result.statuses()[-1], (5, 1), result.describe())

    def test_no_abandons_the_install_and_keeps_the_last_update(self):
        with Run(self.flavour) as run:
            self.first_update(run)
            installed_list = run.game_file('game.upd')
            digest_file = run.game_file('gameMd5.ini')
            result = run.update('game', lock='locked.txt', answer='no')

            self.assertEqual(result.exit_code, 1, result.describe())
            self.assertAsked(result, 'no')
            self.assertEqual(result.statuses()[-1], (6, 81), result.describe())
            self.assertEqual(run.game_file('locked.txt'), b'version one')
            self.assertEqual(run.game_file('Update/game/locked.txt'), b'version two')
            self.assertEqual(run.game_file('game.upd'), installed_list)
            self.assertEqual(run.game_file('gameMd5.ini'), digest_file)

    def test_stop_while_the_question_waits_answers_it_no(self):
        with Run(self.flavour) as run:
            self.first_update(run)
            installed_list = run.game_file('game.upd')
            digest_file = run.game_file('gameMd5.ini')
            # Nobody answers; the launcher ends the update while the question is up
            # (it comes about 2.5 s after AutoUpdate, behind the fixed 2 s pause).
            result = run.update('game', lock='locked.txt', answer='ask', silent_user=True,
                                stop_after=8000)

            self.assertEqual(result.exit_code, 3, result.describe())
            self.assertEqual(result.comments[-1], '# EndUpdate returned 1', result.describe())
            asked = [line for line in result.comments if line.startswith('# asked: ')]
            self.assertEqual(len(asked), 1, result.describe())
            self.assertFalse([line for line in result.comments if line.startswith('# answered: ')],
                             result.describe())
            # The stop pressed No: the worker left by itself, where it was once
            # ended by force after EndUpdate's four seconds (update-host warns then).
            self.assertNotIn('EndUpdate took', result.stderr, result.describe())
            self.assertEqual(run.game_file('locked.txt'), b'version one')
            self.assertEqual(run.game_file('Update/game/locked.txt'), b'version two')
            self.assertEqual(run.game_file('game.upd'), installed_list)
            self.assertEqual(run.game_file('gameMd5.ini'), digest_file)


if __name__ == '__main__':
    unittest.main()
