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
# The log line of a server that refused the first connection.
REFUSED_LINE = '连接失败'.encode('gbk')
# List names the launcher has to draw from GBK on a Western code page.
CHINESE_FILES = {
    '中文/角色.txt': b'role\r\n' * 20000,
    '中文/地图/长安城.dat': bytes(range(256)) * 3000,
    '中文/音乐.ogg': b'OggS' * 60000,
    'readme.txt': 'launcher test\r\n',
}
FONT_LINKS = r'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink'
SYSTEM_FILES = {'d3dx_au_test.dll': b'MZ' + b'\0' * 30000}


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
        """Takes a screenshot into the run and keeps it when asked to."""
        shot = os.path.join(run.dir, name)
        self.assertTrue(self.screenshot(shot), 'no screenshot taken')
        with open(shot, 'rb') as f:
            self.assertEqual(f.read(8), b'\x89PNG\r\n\x1a\n')
        keep = os.environ.get('AUTOUPDATE_LAUNCHER_SCREENSHOTS')
        if keep:
            shutil.copy2(shot, os.path.join(keep, name))

    def open_launcher(self, run):
        """A launcher that stays open for the player once its run has ended."""
        shutil.copy2(self.launcher, run.host_dir)
        command = ['wine', os.path.join(run.host_dir, 'launcher.exe'), '--server', '127.0.0.1',
                   '--package', 'game', '--game-dir', self.flavour.host_path(run.game_dir)]
        return subprocess.Popen(command, cwd=run.dir, env=self.flavour.environment(run.system_dir),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                stdin=subprocess.DEVNULL, start_new_session=True)

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
            process = self.start_launcher(run, ['--repair'])
            if self.wait_for(lambda: COMPLETE_LINE in (run.game_file('autoupdatelog.txt') or b''), 120):
                time.sleep(1.5)
                self.keep_screenshot(run, 'launcher-repair.png')
            code = self.finish(process, 120)
            self.assertEqual(code, 0)
            self.assertInstalled(run)
            self.assertEqual(run.game_file('gameMd5.ini'), first_digest)


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

    def link_a_chinese_font(self, run):
        """Links a Chinese font behind the dialog font, as a Western Windows has
        it: the names are drawn in the system's code page, not from one."""
        for face in ('Tahoma', 'MS Shell Dlg', 'Microsoft Sans Serif'):
            code, _, err = run_bounded(['wine', 'reg', 'add', FONT_LINKS, '/v', face, '/t', 'REG_MULTI_SZ',
                                        '/d', 'wqy-microhei.ttc,WenQuanYi Micro Hei', '/f'],
                                       timeout=60, env=self.flavour.environment(run.system_dir))
            self.assertEqual(code, 0, err)

    def test_a_slow_download_of_chinese_names_and_a_system_file(self):
        with Run(self.flavour) as run:
            self.link_a_chinese_font(run)
            run.package('game', files=CHINESE_FILES, system=SYSTEM_FILES)
            run.server(chunk=4096)
            with ThrottlingProxy(run.servers[0].port, bytes_per_second=200 * 1024) as proxy:
                run.gamedata(servers=[ServerEntry(port=proxy.port)], funcs=[FuncEntry(expandprop=DOWNLOAD_ADDRESS)])
                process = self.start_launcher(run)
                total = sum(len(content) for content in CHINESE_FILES.values())
                if self.wait_for(lambda: proxy.sent > total // 2, 60):
                    self.keep_screenshot(run, 'launcher-download.png')
                self.assertEqual(self.finish(process, 120), 0)
            # On disk the names are whatever the system's code page makes of
            # them; the ASCII ones are checked.
            self.assertEqual(run.game_file('readme.txt'), CHINESE_FILES['readme.txt'].encode())
            self.assertIsNotNone(run.game_file('gameMd5.ini'))

    def test_retry_after_no_server_could_be_reached(self):
        with Run(self.flavour) as run:
            run.package('game', files=FILES)
            funcs = [FuncEntry(expandprop=DOWNLOAD_ADDRESS)]
            run.gamedata(servers=[ServerEntry(port=run.closed_port())], funcs=funcs)
            log = lambda: run.game_file('autoupdatelog.txt') or b''
            process = self.open_launcher(run)
            try:
                self.assertTrue(self.wait_for(lambda: REFUSED_LINE in log(), 60), 'no connection was tried')
                # Retry appears once the run has been ended after its quiet period.
                time.sleep(6)
                self.keep_screenshot(run, 'launcher-retry.png')
                self.assertIsNone(run.game_file('gameMd5.ini'))

                # Each run reads gamedata.xml again: now it names a live server.
                run.server()
                run.gamedata(funcs=funcs)
                for attempt in range(3):
                    self.click(RETRY_BUTTON)
                    if self.wait_for(lambda: COMPLETE_LINE in log(), 30):
                        break
                self.assertTrue(self.wait_for(lambda: run.game_file('gameMd5.ini') is not None, 60),
                                'Retry did not complete the update')
                self.assertInstalled(run)
                time.sleep(2)
                self.click(CANCEL_BUTTON)
                self.assertEqual(self.finish(process), 0)
            finally:
                end_group(process)


class ThrottlingProxy:
    """Forwards 127.0.0.1 connections to a server, its answers at a bounded rate."""

    def __init__(self, upstream_port, bytes_per_second):
        self.upstream_port = upstream_port
        self.bytes_per_second = bytes_per_second

    def __enter__(self):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(('127.0.0.1', 0))
        self.listener.listen(4)
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.sent = 0
        self.stopping = False
        self.sockets = [self.listener]
        self.threads = [threading.Thread(target=self.accept, daemon=True)]
        self.threads[0].start()
        return self

    def accept(self):
        while not self.stopping:
            try:
                client, _ = self.listener.accept()
            except socket.timeout:
                continue
            server = socket.create_connection(('127.0.0.1', self.upstream_port), timeout=10)
            self.sockets += [client, server]
            for source, target, limited in ((client, server, False), (server, client, True)):
                thread = threading.Thread(target=self.pump, args=(source, target, limited), daemon=True)
                self.threads.append(thread)
                thread.start()

    def pump(self, source, target, limited):
        source.settimeout(0.2)
        while not self.stopping:
            try:
                data = source.recv(4096)
            except socket.timeout:
                continue
            except OSError:
                break
            if not data:
                break
            try:
                target.sendall(data)
            except OSError:
                break
            if limited:
                self.sent += len(data)
                time.sleep(len(data) / self.bytes_per_second)
        try:
            target.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    def __exit__(self, *exc):
        self.stopping = True
        for thread in self.threads:
            thread.join(5)
        for s in self.sockets:
            s.close()
        return False


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
