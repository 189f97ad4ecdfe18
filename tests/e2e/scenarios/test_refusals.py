"""Runs that AutoUpdate refuses before any worker starts."""
import os
import unittest

from harness import Run, current_flavour

SHORT_DIR_TEXT = '自动更新的游戏目录太短，可能是参数传输格式不对'


class RefusalTest(unittest.TestCase):
    def setUp(self):
        self.flavour = current_flavour()

    def test_two_character_directory_is_refused_with_a_message(self):
        with Run(self.flavour) as run:
            os.makedirs(os.path.join(run.dir, 'ab'))
            run.no_gamedata()
            result = run.update('game', raw_game_dir='ab', timeout=30)

            self.assertEqual(result.exit_code, 2, result.describe())
            self.assertEqual(result.returned(), 0, result.describe())
            self.assertEqual(result.messages, [], 'a refused run notifies nobody\n' + result.describe())
            # The log was opened in the directory as passed, before the length test.
            self.assertIsNotNone(result.log, result.describe())
            self.assertIn('下载game,当前目录为:ab', result.log_lines(), result.describe())
            self.assertTrue(result.log.startswith('日志创建时间： ['), result.describe())
            shown = result.stderr_contains(SHORT_DIR_TEXT) or any(
                SHORT_DIR_TEXT in line for line in result.comments)
            self.assertTrue(shown, 'the refusal message was not shown\n' + result.describe())

    def test_separators_only_directory_is_refused_silently(self):
        # '///' passes the length test and leaves no last component. Its log path is the
        # root of the file system, so a log file made there by this test is removed again.
        root_log = os.path.join(os.path.abspath(os.sep), 'autoupdatelog.txt')
        existed = os.path.exists(root_log)
        try:
            with Run(self.flavour) as run:
                run.no_gamedata()
                result = run.update('game', raw_game_dir='///', timeout=30)

                self.assertEqual(result.exit_code, 2, result.describe())
                self.assertEqual(result.returned(), 0, result.describe())
                self.assertEqual(result.messages, [], result.describe())
                self.assertFalse(result.stderr_contains(SHORT_DIR_TEXT), result.describe())
                self.assertFalse(any(line.startswith('# asked') for line in result.comments),
                                 result.describe())
        finally:
            if not existed and os.path.exists(root_log):
                os.remove(root_log)


if __name__ == '__main__':
    unittest.main()
