"""The reference launcher under Wine: a whole update against update-server on
127.0.0.1, then a repair; a slow download of Chinese names and a system file;
Retry after no server could be reached. The outcome is read from the game
directory. Screenshots of the window are kept when AUTOUPDATE_LAUNCHER_SCREENSHOTS
names a directory (the ones in docs/)."""
import hashlib
import os
import shutil
import socket
import subprocess
import threading
import time
import unittest

from harness import FuncEntry, Run, ServerEntry, current_flavour
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
# Centres of the two buttons in the window's client area (launcher_window.cpp).
REPAIR_BUTTON = (433, 394)
CANCEL_BUTTON = (539, 394)
RETRY_BUTTON = (327, 394)
# The log line written just before the final report of a complete run.
COMPLETE_LINE = '下载好了'.encode('gbk')
# List names the launcher draws from GBK under Wine's default code page.
CHINESE_FILES = {'中文/地图/长安城.dat': bytes(range(256)) * 300, '中文/音乐.ogg': b'OggS' * 6000,
                 'readme.txt': b'launcher test\r\n', 'data/big.dat': bytes(range(251)) * 12000}
FONT_LINKS = r'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink'


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

    def start_launcher(self, run, extra=(), close=True):
        shutil.copy2(self.launcher, run.host_dir)
        command = ['wine', os.path.join(run.host_dir, 'launcher.exe'),
                   '--server', '127.0.0.1', '--package', 'game',
                   '--game-dir', self.flavour.host_path(run.game_dir)] + list(extra)
        if close:
            command += ['--close-after-ms', '3000']
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

    def click(self, button):
        """Clicks a button of the launcher's window as a player would."""
        code, out, _ = run_bounded(['xdotool', 'search', '--sync', '--onlyvisible', '--name', WINDOW_TITLE],
                                   timeout=30)
        self.assertEqual(code, 0, 'the launcher window is not on screen')
        window = out.split()[0].decode()
        code, _, err = run_bounded(['xdotool', 'mousemove', '--window', window, str(button[0]), str(button[1]),
                                    'click', '1'], timeout=30)
        self.assertEqual(code, 0, err)

    def keep_screenshot(self, run, name):
        """A screenshot, kept in AUTOUPDATE_LAUNCHER_SCREENSHOTS when that names a directory."""
        shot = os.path.join(run.dir, name)
        self.assertTrue(self.screenshot(shot), 'no screenshot taken')
        if os.environ.get('AUTOUPDATE_LAUNCHER_SCREENSHOTS'):
            shutil.copy2(shot, os.path.join(os.environ['AUTOUPDATE_LAUNCHER_SCREENSHOTS'], name))

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
            os.remove(os.path.join(run.game_dir, 'autoupdatelog.txt'))
            process = self.start_launcher(run, ['--repair', '--max-kibps', '4096'])
            if self.wait_for(lambda: COMPLETE_LINE in (run.game_file('autoupdatelog.txt') or b''), 120):
                time.sleep(1.5)
                self.keep_screenshot(run, 'launcher-repair.png')
            code = self.finish(process, 120)
            self.assertEqual(code, 0)
            self.assertInstalled(run)
            self.assertEqual(run.game_file('gameMd5.ini'), first_digest)
            # The player's limit went into gamedata.xml before the run read it.
            self.assertIn('下载限速4096KiB/s'.encode('gbk'), run.game_file('autoupdatelog.txt'))


    def test_cancel_ends_a_stalled_run_and_installs_nothing(self):
        with Run(self.flavour) as run, StallingServer() as stall:
            run.package('game', files=FILES)
            run.gamedata(servers=[ServerEntry(port=stall.port)])
            process = self.start_launcher(run)
            # The package request has reached a server that will never answer.
            self.assertTrue(self.wait_for(lambda: stall.received > 0, 60), 'no request arrived')
            time.sleep(0.5)
            self.click(CANCEL_BUTTON)
            code = self.finish(process)
            self.assertEqual(code, 3)
            self.assertIsNone(run.game_file('game.upd'))
            self.assertIsNone(run.game_file('gameMd5.ini'))

    def test_the_repair_button_heals_what_a_normal_run_leaves_damaged(self):
        with Run(self.flavour) as run:
            run.package('game', files=FILES)
            run.server()
            run.gamedata()
            self.assertEqual(self.finish(self.start_launcher(run), 120), 0)
            self.assertInstalled(run)
            damaged = {'data/level1.dat': b'damaged', 'bin/tool.dll': b'MZ damaged'}
            run.write_game_files(damaged)
            os.remove(os.path.join(run.game_dir, 'readme.txt'))

            # Each run starts the log afresh; the earlier process's log must not count.
            os.remove(os.path.join(run.game_dir, 'autoupdatelog.txt'))
            log = lambda: run.game_file('autoupdatelog.txt') or b''
            # Without --close-after-ms the window stays open for the player.
            command = ['wine', os.path.join(run.host_dir, 'launcher.exe'), '--server', '127.0.0.1',
                       '--package', 'game', '--game-dir', self.flavour.host_path(run.game_dir)]
            process = subprocess.Popen(command, cwd=run.dir, env=self.flavour.environment(run.system_dir),
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                       stdin=subprocess.DEVNULL, start_new_session=True)
            try:
                self.assertTrue(self.wait_for(lambda: COMPLETE_LINE in log(), 120), 'the first run did not complete')
                # A run that trusts the installed list leaves the damage alone.
                self.assertEqual(run.game_file('data/level1.dat'), b'damaged')
                self.assertIsNone(run.game_file('readme.txt'))
                self.assertNotIn(b'readme.txt', log())
                # Repair is enabled once the run has been ended; the repair run
                # starts a new log, which names the files it fetches.
                for attempt in range(3):
                    time.sleep(2)
                    self.click(REPAIR_BUTTON)
                    if self.wait_for(lambda: b'readme.txt' in log(), 10):
                        break
                self.assertTrue(self.wait_for(lambda: b'readme.txt' in log() and COMPLETE_LINE in log(), 120),
                                'the repair did not complete')
                self.assertInstalled(run)
                time.sleep(2)
                self.click(CANCEL_BUTTON)  # reads "Close" once the run has ended
                self.assertEqual(self.finish(process), 0)
            finally:
                end_group(process)

    def test_retry_after_no_server_then_a_slow_download_of_chinese_names(self):
        with Run(self.flavour) as run:
            # Windows links a Chinese font behind its dialog font; Wine does not.
            for face in ('Tahoma', 'MS Shell Dlg'):
                run_bounded(['wine', 'reg', 'add', FONT_LINKS, '/v', face, '/t', 'REG_MULTI_SZ', '/d',
                             'wqy-microhei.ttc,WenQuanYi Micro Hei', '/f'], 60, env=self.flavour.environment(run.system_dir))
            run.package('game', files=CHINESE_FILES, system={'d3dx_au_test.dll': b'MZ' + b'\0' * 30000})
            funcs = [FuncEntry(expandprop=DOWNLOAD_ADDRESS)]
            run.gamedata(servers=[ServerEntry(port=run.closed_port())], funcs=funcs)
            log = lambda: run.game_file('autoupdatelog.txt') or b''
            process = self.start_launcher(run, close=False)
            try:
                # Retry shows once the failed run has been ended after its quiet period.
                self.assertTrue(self.wait_for(lambda: '连接失败'.encode('gbk') in log(), 60), 'no connection tried')
                time.sleep(6)
                self.keep_screenshot(run, 'launcher-retry.png')
                self.assertIsNone(run.game_file('gameMd5.ini'))
                # Each run reads gamedata.xml again: now it names a live server,
                # slow in small chunks, each asked for in turn.
                run.server(chunk=512)
                run.gamedata(funcs=funcs)
                self.click(RETRY_BUTTON)
                big = os.path.join(run.game_dir, 'Update', 'game', 'data', 'big.dat')
                if self.wait_for(lambda: os.path.exists(big) and os.path.getsize(big) > 1500000, 60):
                    self.keep_screenshot(run, 'launcher-download.png')
                self.assertTrue(self.wait_for(lambda: run.game_file('gameMd5.ini'), 120), 'Retry did not update')
                # On disk the Chinese names are what the code page makes of them.
                self.assertEqual(run.game_file('readme.txt'), CHINESE_FILES['readme.txt'])
                time.sleep(2)
                self.click(CANCEL_BUTTON)
                self.assertEqual(self.finish(process), 0)
            finally:
                end_group(process)


class StallingServer:
    """Accepts connections on 127.0.0.1 and reads them, never answering."""

    def __enter__(self):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(('127.0.0.1', 0))
        self.listener.listen(4)
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.received = 0
        self.stopping = False
        self.connections = []
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()
        return self

    def serve(self):
        while not self.stopping:
            try:
                connection, _ = self.listener.accept()
            except socket.timeout:
                continue
            connection.settimeout(0.2)
            self.connections.append(connection)
            while not self.stopping:
                try:
                    data = connection.recv(4096)
                except socket.timeout:
                    continue
                if not data:
                    break
                self.received += len(data)

    def __exit__(self, *exc):
        self.stopping = True
        self.thread.join(5)
        for connection in self.connections:
            connection.close()
        self.listener.close()
        return False


if __name__ == '__main__':
    unittest.main()
