"""A server that does not hold the requested package."""
import os
import unittest

from harness import Run, current_flavour


class UnknownPackageTest(unittest.TestCase):
    def setUp(self):
        self.flavour = current_flavour()

    def test_unknown_package_ends_after_the_handshake(self):
        with Run(self.flavour) as run:
            run.package('known', files={'readme.txt': 'hello\r\n'})
            run.server()
            result = run.update('missing', server='127.0.0.1')

            self.assertEqual(result.exit_code, 1, result.describe())
            self.assertEqual(result.returned(), 1, result.describe())
            self.assertEqual(result.keys(), [(11111, 30, 0), (11111, 6, 23)], result.describe())
            self.assertTrue(any(line.startswith('错误代码:[') and line.endswith('missing，没这个文件')
                                for line in result.log_lines()), result.describe())
            # Nothing of the known package reached the game directory.
            self.assertEqual(run.game_file('readme.txt'), None, result.describe())
            self.assertIsNone(run.game_file('missing.upd'), result.describe())
            self.assertFalse(os.path.isdir(os.path.join(run.game_dir, 'Update')), result.describe())


if __name__ == '__main__':
    unittest.main()
