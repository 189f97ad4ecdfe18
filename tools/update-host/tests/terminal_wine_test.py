"""update-host.exe on a console under Wine (a pseudo-terminal becomes Wine's
console): the library's log stays off the screen without --verbose, shows up
converted with it, and never as raw GBK; one summary line ends the run."""
import os
import pty
import re
import select
import time
import unittest

from harness import Run, current_flavour

FILES = {'readme.txt': 'console test\r\n', 'data/a.dat': b'a' * 5000}
# 下载好了, the log line before a complete run's final report, in GBK.
COMPLETE_GBK = '下载好了'.encode('gbk')


def visible(shown):
    """The text of Wine's console output without its cursor controls; Wine draws
    a blank as "erase to the end of the line, one step right"."""
    text = shown.replace(b'\x1b[K\x1b[1C', b' ')
    return re.sub(rb'\x1b\[[0-9;?]*[A-Za-z]', b'', text)


def run_on_console(command, env, cwd, limit=90):
    """Runs command on a new pseudo-terminal; returns (exit status, everything it showed)."""
    pid, fd = pty.fork()
    if pid == 0:
        os.chdir(cwd)
        os.execvpe(command[0], command, env)
    shown = b''
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.2)
        if ready:
            try:
                data = os.read(fd, 4096)
            except OSError:
                break
            if not data:
                break
            shown += data
    finished, status = os.waitpid(pid, os.WNOHANG)
    if finished == 0:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        return None, shown
    os.close(fd)
    return os.waitstatus_to_exitcode(status), shown


class UpdateHostConsoleTest(unittest.TestCase):
    def setUp(self):
        self.flavour = current_flavour()
        if not self.flavour.is_wine:
            self.skipTest('the console path is the Windows one')

    def console_run(self, verbose):
        with Run(self.flavour) as run:
            run.package('game', files=FILES)
            run.server()
            run.gamedata()
            command = ['wine', run.host_executable, '--game-dir', self.flavour.host_path(run.game_dir),
                       '--package', 'game', '--server', '127.0.0.1', '--timeout', '60']
            if verbose:
                command.append('--verbose')
            code, shown = run_on_console(command, self.flavour.environment(run.system_dir), run.dir)
            shown = visible(shown)
            for path, content in FILES.items():
                expected = content.encode() if isinstance(content, str) else content
                self.assertEqual(run.game_file(path), expected, path)
            # The log file itself keeps its GBK bytes.
            self.assertIn(COMPLETE_GBK, run.game_file('autoupdatelog.txt'))
            return code, shown

    def test_without_verbose_the_log_stays_off_the_console(self):
        code, shown = self.console_run(verbose=False)
        self.assertEqual(code, 0, shown)
        self.assertNotIn(COMPLETE_GBK, shown)
        self.assertNotIn(b'[    1]', shown)
        self.assertIn(b'update complete - 2 of 2 files fetched', shown)

    def test_verbose_shows_the_log_converted(self):
        code, shown = self.console_run(verbose=True)
        self.assertEqual(code, 0, shown)
        self.assertIn(b'[    1]', shown)
        self.assertNotIn(COMPLETE_GBK, shown)
        self.assertIn(b'update complete - 2 of 2 files fetched', shown)


if __name__ == '__main__':
    unittest.main()
