"""Shared pieces of the stop, fault and kill matrices: one run directory with a
package and its servers, launcher folders ("lanes") that each point at their own
servers, and launches of update-host whose transcript is watched as it grows, so
that the moment each line appeared is known."""
import hashlib
import os
import random
import shutil
import signal
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))

from harness import ServerEntry, current_flavour  # noqa: E402
from harness.gamedata import gamedata_xml  # noqa: E402
from harness.http_mirrors import FaultyMirror  # noqa: E402
from harness.processes import end_group  # noqa: E402
from harness.run import Run, read_tree  # noqa: E402
from harness.transcript import parse_transcript  # noqa: E402

PACKAGE = 'game'
LOG_NAME = 'autoupdatelog.txt'
# At most this many launchers at a time: the machine is shared.
JOBS = 2


def package_files(seed, count, size):
    """count game files of size bytes each, the same for the same seed."""
    generator = random.Random(seed)
    return {'data/part%02d.dat' % i: bytes(generator.getrandbits(8) for _ in range(size))
            for i in range(count)}


class Launch:
    """One update-host process: its transcript lines with the moment each was first seen."""

    def __init__(self):
        self.exit_code = None
        self.hung = False
        self.lines = []  # (seconds since spawn, line)
        self.stderr = b''
        self.transcript = ''
        self.killed_at = None
        self.exited_at = None  # seconds since spawn when the launcher's exit was seen

    def first(self, prefix):
        """Seconds since spawn when a line starting with prefix was first seen, or None."""
        for moment, line in self.lines:
            if line.startswith(prefix):
                return moment
        return None

    def messages(self):
        return parse_transcript(self.transcript)

    def after_end(self):
        """The lines written after '# EndUpdate returned'."""
        texts = [line for _, line in self.lines]
        for i, line in enumerate(texts):
            if line.startswith('# EndUpdate returned'):
                return texts[i + 1:]
        return []

    def late_warning(self):
        return b'after EndUpdate returned' in self.stderr

    def describe(self):
        return ('exit %s hung %s\n--- transcript (last lines)\n%s\n--- stderr\n%s'
                % (self.exit_code, self.hung, '\n'.join(l for _, l in self.lines[-12:]),
                   self.stderr.decode('utf-8', 'replace')[-1500:]))


class Lane:
    """A launcher folder whose gamedata.xml names the given servers."""

    def __init__(self, matrix, name, ports, keyed=False):
        self.matrix = matrix
        self.host_dir = os.path.join(matrix.dir, 'host-' + name)
        self.executable = matrix.flavour.install_host(self.host_dir)
        content = gamedata_xml([ServerEntry(port=port) for port in ports])
        if keyed:
            # With the publisher's key the run takes files from the build's HTTP mirrors.
            element = '  <publisherkeys key1="%s"/>\r\n' % matrix.public_key
            content = content.replace(b'</gamedata>', element.encode() + b'</gamedata>')
        with open(os.path.join(self.host_dir, 'gamedata.xml'), 'wb') as f:
            f.write(content)

    def launch(self, game_dir, stop_after=None, kill_after=None, kill_mark='# AutoUpdate returned',
               timeout=60, limit=None):
        """Runs update-host on game_dir; kill_after (seconds after the transcript line that
        starts with kill_mark appeared) ends the launcher with SIGKILL instead of letting
        it finish."""
        flavour = self.matrix.flavour
        transcript = os.path.join(game_dir + '.transcript')
        if os.path.exists(transcript):
            os.remove(transcript)
        arguments = ['--game-dir', flavour.host_path(game_dir), '--package', PACKAGE,
                     '--server', '127.0.0.1', '--timeout', str(timeout),
                     '--transcript', flavour.host_path(transcript)]
        if stop_after is not None:
            arguments += ['--stop-after', str(int(stop_after * 1000))]
        command = self.matrix.command(self.executable, arguments)
        result = Launch()
        stderr_path = game_dir + '.stderr'
        with open(stderr_path, 'wb') as stderr:
            started = time.monotonic()
            process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=stderr,
                                       stdin=subprocess.DEVNULL, start_new_session=True,
                                       cwd=self.matrix.dir, env=self.matrix.environment)
            deadline = started + (limit or timeout + 60)
            offset = 0
            pending = b''
            while True:
                ended = process.poll() is not None
                try:
                    with open(transcript, 'rb') as f:
                        f.seek(offset)
                        chunk = f.read()
                except FileNotFoundError:
                    chunk = b''
                if chunk:
                    offset += len(chunk)
                    pending += chunk
                    now = time.monotonic() - started
                    *complete, pending = pending.split(b'\n')
                    result.lines += [(now, line.decode('gbk', 'replace')) for line in complete]
                if ended:
                    result.exited_at = time.monotonic() - started
                    break
                if kill_after is not None and result.killed_at is None:
                    returned = result.first(kill_mark)
                    if returned is not None and time.monotonic() - started >= returned + kill_after:
                        self.matrix.kill(process)
                        result.killed_at = time.monotonic() - started
                if time.monotonic() > deadline:
                    result.hung = True
                    end_group(process)
                    break
                time.sleep(0.003)
            result.exit_code = process.wait()
        with open(stderr_path, 'rb') as f:
            result.stderr = f.read()
        result.transcript = '\n'.join(line for _, line in result.lines) + '\n'
        return result


class Matrix:
    """The run directory of a matrix: one package, its servers and lanes."""

    def __init__(self, files, flavour=None, signed=False):
        """signed: the package is signed, and mirror() can serve its files over HTTP."""
        self.flavour = flavour or current_flavour()
        self.files = files
        self._run = Run(self.flavour)
        self._run.__enter__()
        self.dir = self._run.dir
        self._mirrors = []
        extra = []
        if signed:
            key = os.path.join(self.dir, 'publisher.pem')
            subprocess.run([self.flavour.tool('make-package'), '--new-key', key], check=True,
                           capture_output=True, timeout=60)
            with open(key + '.pub') as f:
                self.public_key = f.read().strip()
            extra = ['--sign', key]
        self._run.package(PACKAGE, files=files, extra=extra)
        self.environment = self.flavour.environment(self._run.system_dir)
        self._display = None
        self._games = 0
        self._lock = threading.Lock()
        if self.flavour.is_wine:
            self._start_display()

    def _start_display(self):
        # One X server for every launcher instead of one per launch: the test run's
        # when there is one.
        shared = self.flavour.shared_display()
        if shared:
            self.environment['DISPLAY'] = shared
            return
        for number in range(90, 140):
            if not os.path.exists('/tmp/.X11-unix/X%d' % number) and \
                    not os.path.exists('/tmp/.X%d-lock' % number):
                break
        self._display = subprocess.Popen(['Xvfb', ':%d' % number, '-nolisten', 'tcp'],
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                         start_new_session=True)
        for _ in range(200):
            if os.path.exists('/tmp/.X11-unix/X%d' % number):
                break
            time.sleep(0.05)
        self.environment['DISPLAY'] = ':%d' % number

    def command(self, executable, arguments):
        if self.flavour.is_wine:
            return ['wine', executable] + arguments
        return [executable] + self.flavour.library_arguments() + arguments

    def kill(self, process):
        """SIGKILL to the launcher: natively update-host itself, under Wine the process
        that runs update-host.exe (Wine's TerminateProcess of it)."""
        try:
            os.kill(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass

    def package_size(self):
        """Bytes of the package file the servers send first."""
        return os.path.getsize(os.path.join(self._run.packages_dir, PACKAGE + '.cms'))

    def server(self, extra=()):
        return self._run.server(extra=list(extra))

    def mirror(self, rate):
        """An HTTP mirror of the signed package's objects at rate bytes per second per
        answer; returns the update-server option that names it."""
        mirror = FaultyMirror(os.path.join(self._run.packages_dir, '.http'), rate=rate)
        self._mirrors.append(mirror)
        return ['--mirror', mirror.url + '/']

    def lane(self, name, ports, keyed=False):
        return Lane(self, name, ports, keyed)

    def game_dir(self):
        with self._lock:
            self._games += 1
            path = os.path.join(self.dir, 'games', 'g%03d' % self._games)
        os.makedirs(path)
        return path

    def state(self, game_dir):
        """Every file of game_dir except the log and the staging tree: {relative path: md5}."""
        return {path: hashlib.md5(data).hexdigest()
                for path, data in read_tree(game_dir, skip=(LOG_NAME,)).items()
                if not path.startswith('Update/')}

    def install_base(self, files):
        """A game directory holding an earlier version (files), installed by a run of
        its own from a server of its own; copy it with copy_game()."""
        root = os.path.join(self.dir, 'base-packages')
        self._run.package(PACKAGE, files=files, root=root)
        lane = self.lane('base', [self._run.server(root=root)])
        game = self.game_dir()
        run = lane.launch(game)
        problems = self.complete(game, files)
        if run.exit_code != 0 or problems:
            raise RuntimeError('the earlier version did not install: %s\n%s'
                               % (problems, run.describe()))
        self._run.servers[-1].stop()
        return game

    def copy_game(self, template):
        game = self.game_dir()
        os.rmdir(game)
        shutil.copytree(template, game)
        return game

    def complete(self, game_dir, files=None):
        """Whether game_dir holds every file of the package byte for byte, the installed
        list and its digest, and nothing staged or stray (problems, or [])."""
        files = files or self.files
        problems = []
        for relative in files:
            path = os.path.join(game_dir, *relative.split('/'))
            content = open(path, 'rb').read() if os.path.isfile(path) else None
            if content != files[relative]:
                problems.append('%s %s' % (relative, 'missing' if content is None else 'differs'))
        tree = read_tree(game_dir, skip=(LOG_NAME,))
        expected = set(files) | {PACKAGE + '.upd', PACKAGE + 'Md5.ini', PACKAGE + '.fast', PACKAGE + '.seq'}
        stray = sorted(path for path in tree if path not in expected and not path.startswith('Update/'))
        staged = sorted(path for path in tree if path.startswith('Update/' + PACKAGE + '/'))
        if stray:
            problems.append('stray files: %s' % ', '.join(stray))
        if staged:
            problems.append('staged files left: %s' % ', '.join(staged))
        upd = tree.get(PACKAGE + '.upd')
        ini = tree.get(PACKAGE + 'Md5.ini', b'').decode('ascii', 'replace')
        if upd is None or ('MD5=' + hashlib.md5(upd).hexdigest()) not in ini:
            problems.append('installed list or digest file wrong')
        return problems

    def close(self):
        for mirror in self._mirrors:
            mirror.stop()
        if self._display is not None:
            end_group(self._display)
        self._run.__exit__(None, None, None)


def run_parallel(function, items, jobs=JOBS):
    with ThreadPoolExecutor(max_workers=jobs) as pool:
        return list(pool.map(function, items))


def percentile(values, fraction):
    ordered = sorted(values)
    if not ordered:
        return None
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]
