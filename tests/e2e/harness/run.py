"""One end-to-end run directory: packages, servers, gamedata.xml and update-host runs."""
import os
import shutil
import socket
import sys
import tempfile
import threading

from .flavour import current_flavour
from .gamedata import ServerEntry, gamedata_xml
from .processes import run_bounded
from .server import UpdateServer
from .transcript import RunResult, parse_transcript

LOG_NAME = 'autoupdatelog.txt'


class HarnessError(Exception):
    pass


def write_tree(root, files):
    """Writes {relative '/' path: bytes or str} below root."""
    for relative, content in files.items():
        path = os.path.join(root, *relative.split('/'))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, 'wb') as f:
            f.write(content.encode('utf-8') if isinstance(content, str) else content)


def read_tree(root, skip=()):
    """{relative '/' path: bytes} of every file below root, except the relative paths in skip."""
    found = {}
    for directory, _, names in os.walk(root):
        for name in names:
            path = os.path.join(directory, name)
            relative = os.path.relpath(path, root).replace(os.sep, '/')
            if relative not in skip:
                with open(path, 'rb') as f:
                    found[relative] = f.read()
    return found


def closed_port():
    """A loopback port that nothing listens on (bound once, then released)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def _read_text(path, encoding):
    try:
        with open(path, 'rb') as f:
            return f.read().decode(encoding, 'replace')
    except FileNotFoundError:
        return None


class Run:
    """A temp directory holding the launcher, the game directory, package roots and servers.

    Use as a context manager; servers are stopped and the directory removed at the end
    (kept, and its path printed, when the block raised or AUTOUPDATE_KEEP_RUNS is set)."""

    def __init__(self, flavour=None):
        self.flavour = flavour or current_flavour()
        self.servers = []
        self._gamedata_state = None
        self._system_files_added = []
        self._runs = 0
        # Launchers may run from several threads at once.
        self._runs_lock = threading.Lock()
        self._packages = 0

    def __enter__(self):
        self.dir = os.path.realpath(tempfile.mkdtemp(prefix='autoupdate-e2e-'))
        self.host_dir = os.path.join(self.dir, 'host')
        self.game_dir = os.path.join(self.dir, 'game')
        self.packages_dir = os.path.join(self.dir, 'packages')
        self.system_dir = self.flavour.system_dir(self.dir)
        for directory in (self.game_dir, self.packages_dir, self.system_dir):
            os.makedirs(directory, exist_ok=True)
        self.host_executable = self.flavour.install_host(self.host_dir)
        return self

    def __exit__(self, exc_type, exc, tb):
        for server in self.servers:
            server.stop()
        for path in self._system_files_added:
            if os.path.exists(path):
                os.remove(path)
        if exc_type is not None or os.environ.get('AUTOUPDATE_KEEP_RUNS'):
            print('run directory kept: %s' % self.dir, file=sys.stderr)
        else:
            shutil.rmtree(self.dir, ignore_errors=True)
        return False

    # --- packages and servers ------------------------------------------------

    def package(self, name, files, system=None, package_id=None, root=None, extra=()):
        """Builds package name from the given game files (and system files) with make-package.

        Returns the package root (self.packages_dir unless root is given)."""
        root = root or self.packages_dir
        self._packages += 1
        tree = os.path.join(self.dir, 'trees', '%s-%d' % (name, self._packages))
        game_tree = os.path.join(tree, 'game')
        os.makedirs(game_tree, exist_ok=True)
        write_tree(game_tree, files)
        command = [self.flavour.tool('make-package'), '--name', name, '--game', game_tree,
                   '--out', root]
        if system is not None:
            system_tree = os.path.join(tree, 'system')
            os.makedirs(system_tree, exist_ok=True)
            write_tree(system_tree, system)
            command += ['--system', system_tree]
            for relative in system:
                path = os.path.join(self.system_dir, *relative.split('/'))
                if not os.path.exists(path):
                    self._system_files_added.append(path)
        if package_id is not None:
            command += ['--id', str(package_id)]
        command += list(extra)
        code, stdout, stderr = run_bounded(command, timeout=120)
        if code != 0:
            raise HarnessError('make-package failed (%d):\n%s%s' % (
                code, stdout.decode('utf-8', 'replace'), stderr.decode('utf-8', 'replace')))
        return root

    def server(self, root=None, chunk=None, drop_after=None, refuse_serial=None, extra=()):
        """Starts update-server on 127.0.0.1 for root; returns its port."""
        arguments = list(extra)
        if chunk is not None:
            arguments += ['--chunk', str(chunk)]
        if drop_after is not None:
            arguments += ['--drop-after', str(drop_after)]
        if refuse_serial is not None:
            arguments += ['--refuse-serial', str(refuse_serial)]
        server = UpdateServer(self.flavour.tool('update-server'), root or self.packages_dir,
                              self.dir, arguments)
        self.servers.append(server)
        return server.port

    closed_port = staticmethod(closed_port)

    # --- launcher side --------------------------------------------------------

    def gamedata(self, servers=None, funcs=None, encoding='UTF-8', content=None):
        """Writes gamedata.xml beside the launcher: the given entries, one entry per
        started server by default, or content (bytes) as it is."""
        if content is None:
            if servers is None:
                servers = [ServerEntry(port=s.port) for s in self.servers]
            content = gamedata_xml(servers, funcs, encoding)
        with open(os.path.join(self.host_dir, 'gamedata.xml'), 'wb') as f:
            f.write(content)
        self._gamedata_state = 'written'

    def no_gamedata(self):
        path = os.path.join(self.host_dir, 'gamedata.xml')
        if os.path.exists(path):
            os.remove(path)
        self._gamedata_state = 'absent'

    def write_game_files(self, files):
        write_tree(self.game_dir, files)

    def remove_game_file(self, relative):
        os.remove(os.path.join(self.game_dir, *relative.split('/')))

    def game_file(self, relative):
        """The bytes of a file of the game directory, or None."""
        path = os.path.join(self.game_dir, *relative.split('/'))
        if not os.path.isfile(path):
            return None
        with open(path, 'rb') as f:
            return f.read()

    def game_files(self, skip=(LOG_NAME,)):
        return read_tree(self.game_dir, skip)

    def system_file(self, relative):
        path = os.path.join(self.system_dir, *relative.split('/'))
        if not os.path.isfile(path):
            return None
        with open(path, 'rb') as f:
            return f.read()

    def update(self, package, server='127.0.0.1', digest=None, answer=None, stop_after=None,
               timeout=60, game_dir=None, raw_game_dir=None, lock=None, quiet_period=None,
               extra=(), silent_user=False):
        """Runs update-host once and returns its RunResult.

        game_dir is a directory of this machine (self.game_dir by default), handed to the
        launcher in its own form; raw_game_dir is passed byte for byte instead and is
        relative to the run directory, the launcher's working directory.

        silent_user keeps the launcher's standard input open and empty, so that a
        question asked with answer='ask' waits for a person who never replies."""
        if self._gamedata_state is None:
            if not self.servers:
                raise HarnessError('no server started: call gamedata() or no_gamedata() first')
            self.gamedata()
        with self._runs_lock:
            self._runs += 1
            number = self._runs
        transcript_path = os.path.join(self.dir, 'transcript-%d.txt' % number)
        if raw_game_dir is not None:
            passed_dir = raw_game_dir
            log_dir = os.path.join(self.dir, raw_game_dir.replace('\\', '/'))
        else:
            log_dir = game_dir or self.game_dir
            passed_dir = self.flavour.host_path(log_dir)
        arguments = ['--game-dir', passed_dir, '--package', package,
                     '--timeout', str(timeout),
                     '--transcript', self.flavour.host_path(transcript_path)]
        if server is not None:
            arguments += ['--server', server]
        if digest is not None:
            arguments += ['--digest', digest]
        if answer is not None:
            arguments += ['--answer', answer]
        if stop_after is not None:
            arguments += ['--stop-after', str(stop_after)]
        if lock is not None:
            arguments += ['--lock', self.flavour.host_path(os.path.join(self.game_dir, lock))]
        if quiet_period is not None:
            arguments += ['--quiet-period', str(quiet_period)]
        arguments += list(extra)
        command = self.flavour.command(self.host_executable, arguments)
        # Wine's first start in a prefix can take a while beyond the run itself.
        limit = timeout + (60 if self.flavour.is_wine else 20)
        silence = os.pipe() if silent_user else None
        try:
            code, stdout, stderr = run_bounded(command, timeout=limit, cwd=self.dir,
                                               env=self.flavour.environment(self.system_dir),
                                               **({'stdin': silence[0]} if silence else {}))
        finally:
            if silence:
                os.close(silence[0])
                os.close(silence[1])
        transcript = _read_text(transcript_path, 'gbk') or ''
        messages, comments = parse_transcript(transcript)
        return RunResult(exit_code=code, transcript=transcript, messages=messages,
                         comments=comments,
                         log=_read_text(os.path.join(log_dir, LOG_NAME), 'gbk'),
                         stdout=stdout.decode('gbk', 'replace'),
                         stderr=stderr.decode('gbk', 'replace'), stderr_bytes=stderr)
