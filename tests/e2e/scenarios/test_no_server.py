"""Runs that find no server to talk to."""
import unittest

from harness import Run, ServerEntry, current_flavour


class NoServerTest(unittest.TestCase):
    def setUp(self):
        self.flavour = current_flavour()

    def test_closed_port_ends_the_run_with_no_connection(self):
        with Run(self.flavour) as run:
            port = run.closed_port()
            run.gamedata([ServerEntry(port=port)])
            # No preferred address: the first attempt is skipped and the one row is drawn.
            result = run.update('game', server=None)

            self.assertEqual(result.exit_code, 1, result.describe())
            self.assertEqual(result.returned(), 1, result.describe())
            self.assertEqual(result.keys(), [(11111, 30, 0), (11111, 30, 1), (11111, 6, 27)],
                             result.describe())
            lines = result.log_lines()
            self.assertIn('有这么多个服务器1', lines, result.describe())
            self.assertIn('端口跟ftp:[38432] ，38432,连接该服务器', lines, result.describe())
            self.assertIn('端口跟ftp:[38432] ，连接失败', lines, result.describe())
            self.assertIn('端口跟ftp:[%d] 127.0.0.1,连接该服务器' % port, lines, result.describe())
            # The one row is tried once; every later draw lands on it and is used up.
            self.assertEqual(sum('连接该服务器' in line for line in lines), 2, result.describe())
            self.assertEqual(run.game_files(), {}, result.describe())

    def test_preferred_address_that_is_the_only_row_is_tried_once(self):
        with Run(self.flavour) as run:
            port = run.closed_port()
            run.gamedata([ServerEntry(port=port)])
            result = run.update('game', server='127.0.0.1')

            self.assertEqual(result.exit_code, 1, result.describe())
            self.assertEqual(result.keys(), [(11111, 30, 0), (11111, 6, 27)], result.describe())
            self.assertIn('端口跟ftp:[%d] 127.0.0.1，%d,连接该服务器' % (port, port),
                          result.log_lines(), result.describe())

    def test_missing_gamedata_leaves_only_the_preferred_address(self):
        with Run(self.flavour) as run:
            run.no_gamedata()
            result = run.update('game', server=None)

            self.assertEqual(result.exit_code, 1, result.describe())
            self.assertEqual(result.keys(), [(11111, 30, 0), (11111, 6, 27)], result.describe())
            lines = result.log_lines()
            self.assertIn('没有gamedataxml', lines, result.describe())
            self.assertIn('有这么多个服务器0', lines, result.describe())
            self.assertTrue(any(line.startswith('无xml路径默认：') and line.endswith('gamedata.xml')
                                for line in lines), result.describe())


if __name__ == '__main__':
    unittest.main()
