"""EndUpdate in the middle of the fetch loop."""
import os
import time
import unittest

from harness import Run, current_flavour


class StopTest(unittest.TestCase):
    def setUp(self):
        self.flavour = current_flavour()

    def test_stop_during_the_fetch_loop_ends_the_run_quietly(self):
        with Run(self.flavour) as run:
            # Small chunks make the transfer last minutes, so the stop lands inside it.
            run.package('game', files={'big.dat': os.urandom(2 * 1024 * 1024)})
            run.server(chunk=64)
            started = time.monotonic()
            result = run.update('game', stop_after=4000)
            elapsed = time.monotonic() - started

            self.assertEqual(result.exit_code, 3, result.describe())
            self.assertEqual(result.comments[-1], '# EndUpdate returned 1', result.describe())
            statuses = result.statuses()
            self.assertIn((2, '/big.dat'), statuses, result.describe())
            self.assertFalse([s for s in statuses if s[0] == 5], result.describe())
            self.assertNotIn('下载好了', result.log_lines(), result.describe())
            # Nothing was installed: the file is only partly staged.
            self.assertIsNone(run.game_file('big.dat'), result.describe())
            self.assertIsNone(run.game_file('game.upd'), result.describe())
            if not self.flavour.is_wine:
                # The worker acknowledges at its next stop test, so EndUpdate does not
                # sit out its full four seconds (a start-up of Wine would blur this).
                self.assertLess(elapsed, 4.0 + 3.5, result.describe())


if __name__ == '__main__':
    unittest.main()
