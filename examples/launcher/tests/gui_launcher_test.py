"""The reference launcher under Wine: a whole update against update-server on
127.0.0.1, then a repair. The outcome is read from the game directory; a
screenshot of the window is taken at the end of the first run."""
import hashlib
import os
import shutil
import subprocess
import time
import unittest

from harness import FuncEntry, Run, current_flavour
from harness.flavour import _find_binary
from harness.processes import end_group, run_bounded

FILES = {
    'readme.txt': 'launcher test\r\n',
    'data/level1.dat': bytes(range(256)) * 600,
    'data/sub/level2.dat': b'level two\n' * 3000,
    'data/sub/level3.dat': b'level three\n' * 900,
    'bin/tool.dll': b'MZ' + bytes(range(200)) * 50,
}
WINDOW_TITLE = 'Game launcher - AutoUpdate'
DOWNLOAD_ADDRESS = 'http://127.0.0.1/full-game'


def md5(data):
    return hashlib.md5(data).hexdigest()


class GuiLauncherTest(unittest.TestCase):
    def setUp(self):
        self.flavour = current_flavour()
        if not self.flavour.is_wine:
            self.skipTest('the launcher is a Windows program')
        if not os.environ.get('DISPLAY'):
            self.skipTest('needs an X display: run under xvfb-run')
        self.launcher = _find_binary(self.flavour.win_build_dir, 'launcher.exe')

    def start_launcher(self, run, extra=()):
        shutil.copy2(self.launcher, run.host_dir)
        command = ['wine', os.path.join(run.host_dir, 'launcher.exe'),
                   '--server', '127.0.0.1', '--package', 'game',
                   '--game-dir', self.flavour.host_path(run.game_dir),
                   '--close-after-ms', '3000'] + list(extra)
        return subprocess.Popen(command, cwd=run.dir, env=self.flavour.environment(run.system_dir),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                stdin=subprocess.DEVNULL, start_new_session=True)

    def wait_for(self, condition, limit):
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            if condition():
                return True
            time.sleep(0.2)
        return False

    def finish(self, process, limit=60):
        try:
            return process.wait(timeout=limit)
        except subprocess.TimeoutExpired:
            end_group(process)
            self.fail('the launcher did not close by itself')

    def screenshot(self, path):
        """The launcher's window as a PNG (the whole screen when it cannot be found by name)."""
        for window in (WINDOW_TITLE, 'root'):
            code, _, _ = run_bounded(['import', '-window', window, '-depth', '8', path], timeout=30)
            if code == 0 and os.path.getsize(path) > 0:
                return True
        return False

    def assertInstalled(self, run):
        for path, content in FILES.items():
            expected = content.encode() if isinstance(content, str) else content
            self.assertEqual(run.game_file(path), expected, path)
        installed = run.game_file('game.upd')
        self.assertIsNotNone(installed)
        digest = run.game_file('gameMd5.ini')
        self.assertIsNotNone(digest)
        self.assertIn(('MD5=' + md5(installed)).encode(), digest)

    def test_whole_update_then_repair(self):
        with Run(self.flavour) as run:
            run.package('game', files=FILES)
            run.server(chunk=4096)
            run.gamedata(funcs=[FuncEntry(expandprop=DOWNLOAD_ADDRESS)])
            # One file is already right, one is stale: only the others are fetched.
            run.write_game_files({'readme.txt': FILES['readme.txt'], 'data/sub/level3.dat': b'old'})

            process = self.start_launcher(run)
            finished = self.wait_for(lambda: run.game_file('gameMd5.ini') is not None, 120)
            shot = os.path.join(run.dir, 'launcher.png')
            if finished:
                # The final report is drawn right after the digest file is written.
                time.sleep(1.5)
                self.assertTrue(self.screenshot(shot), 'no screenshot taken')
                with open(shot, 'rb') as f:
                    self.assertEqual(f.read(8), b'\x89PNG\r\n\x1a\n')
                keep = os.environ.get('AUTOUPDATE_LAUNCHER_SCREENSHOT')
                if keep:
                    shutil.copy2(shot, keep)
            code = self.finish(process)
            self.assertTrue(finished, 'the run wrote no digest file')
            self.assertEqual(code, 0)
            self.assertInstalled(run)
            first_digest = run.game_file('gameMd5.ini')

            # Damage two installed files and delete a third; a repair fetches them again.
            run.write_game_files({'data/level1.dat': b'damaged', 'bin/tool.dll': b'MZ damaged'})
            os.remove(os.path.join(run.game_dir, 'data', 'sub', 'level2.dat'))
            process = self.start_launcher(run, ['--repair'])
            code = self.finish(process, 120)
            self.assertEqual(code, 0)
            self.assertInstalled(run)
            self.assertEqual(run.game_file('gameMd5.ini'), first_digest)


if __name__ == '__main__':
    unittest.main()
