"""Runs reentry_probe.exe under Wine beside AutoUpdate.dll against update-server on
127.0.0.1: a launcher that calls AutoUpdate and EndUpdate from its window procedure."""
import os
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'e2e'))

from harness import Run  # noqa: E402
from harness.flavour import Flavour  # noqa: E402
from harness.processes import run_bounded  # noqa: E402


class ReentryTest(unittest.TestCase):
    def test_calls_from_the_window_procedure(self):
        flavour = Flavour('wine')
        with Run(flavour) as run:
            files = {'data/a.dat': os.urandom(50000), 'readme.txt': b'hello\r\n'}
            run.package('game', files=files)
            run.server()
            run.gamedata()
            shutil.copy2(os.path.join(flavour.win_build_dir, 'reentry_probe.exe'), run.host_dir)
            command = flavour.wine_command(os.path.join(run.host_dir, 'reentry_probe.exe'),
                                           [flavour.host_path(run.game_dir)])
            code, stdout, stderr = run_bounded(command, timeout=120, cwd=run.dir,
                                               env=flavour.environment(run.system_dir))
            report = stdout.decode('utf-8', 'replace')
            described = report + stderr.decode('utf-8', 'replace')[-2000:]
            self.assertEqual(code, 0, described)
            self.assertNotIn('FAIL', report, described)
            self.assertEqual(report.count('PASS'), 11, described)
            for path, content in files.items():
                self.assertEqual(run.game_file(path), content, described)

    def test_free_library_inside_handlers(self):
        # 5 runs of each kind in CI; AUTOUPDATE_UNLOAD_RUNS=50 by hand.
        runs = int(os.environ.get('AUTOUPDATE_UNLOAD_RUNS', '5'))
        flavour = Flavour('wine')
        with Run(flavour) as run:
            # Large enough that no progress run gets to the end of it.
            run.package('game', files={'data/big.dat': os.urandom(8 * 1024 * 1024), 'readme.txt': b'x'})
            run.server()
            run.gamedata()
            shutil.copy2(os.path.join(flavour.win_build_dir, 'reentry_probe.exe'), run.host_dir)
            for mode in ('progress', 'final'):
                command = flavour.wine_command(os.path.join(run.host_dir, 'reentry_probe.exe'),
                                               [flavour.host_path(run.game_dir), mode, str(runs)])
                code, stdout, stderr = run_bounded(command, timeout=60 + 10 * runs, cwd=run.dir,
                                                   env=flavour.environment(run.system_dir))
                report = stdout.decode('utf-8', 'replace')
                described = mode + ':\n' + report + stderr.decode('utf-8', 'replace')[-2000:]
                self.assertEqual(code, 0, described)
                self.assertNotIn('FAIL', report, described)
                self.assertIn('runs (%d)' % runs, report, described)


if __name__ == '__main__':
    unittest.main()
