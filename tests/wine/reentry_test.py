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
            command = ['xvfb-run', '-a', 'wine', os.path.join(run.host_dir, 'reentry_probe.exe'),
                       flavour.host_path(run.game_dir)]
            code, stdout, stderr = run_bounded(command, timeout=120, cwd=run.dir,
                                               env=flavour.environment(run.system_dir))
            report = stdout.decode('utf-8', 'replace')
            described = report + stderr.decode('utf-8', 'replace')[-2000:]
            self.assertEqual(code, 0, described)
            self.assertNotIn('FAIL', report, described)
            self.assertEqual(report.count('PASS'), 11, described)
            for path, content in files.items():
                self.assertEqual(run.game_file(path), content, described)


if __name__ == '__main__':
    unittest.main()
