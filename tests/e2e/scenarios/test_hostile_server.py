"""A hostile update server: unsafe list paths, an inflate bomb, lists and packages
just over their limits (and, as controls, just under them), a file longer than
listed, impossible frame sizes, endless garbage, a stall and a trickle. Every hostile
run ends with an error, never with 11111/5/1, fetches nothing it should not, promotes
nothing, and writes nothing outside the game directory, its Update directory and the
system directory. The runs are independent, so they go in parallel."""
import concurrent.futures
import contextlib
import hashlib
import os
import random
import struct
import unittest
import zlib

from harness import Run, ServerEntry, current_flavour
from harness.run import LOG_NAME
from harness.scripted_server import (CLOSE, FILE_REQUEST, MAX_PAYLOAD, PACKAGE_REQUEST, STALL,
                                     ScriptedServer, chunk, frame, package_reply, serve_bytes,
                                     trickle)

# A short frame deadline (the library's test-only setting) keeps the stall cases brief.
FRAME_DEADLINE_MS = 2500
PACKAGE_LIMIT = 16 * 1024 * 1024
LIST_BUFFER = 300000
LIST_CAPACITY = 4400
HEADER = b'header one\r\nheader two\r\n'
ALPHA = b'alpha'


def setUpModule():
    os.environ['AUTOUPDATE_FRAME_DEADLINE_MS'] = str(FRAME_DEADLINE_MS)


def tearDownModule():
    os.environ.pop('AUTOUPDATE_FRAME_DEADLINE_MS', None)


def md5(data):
    return hashlib.md5(data).hexdigest().encode()


def record(path, content):
    return b'%s,%d,0,%s' % (path, len(content), md5(content))


def list_of(*records, header=HEADER):
    return header + b','.join(records) + b'\r\n'


def padded_list(records, size):
    """A list of exactly size bytes: the first header line takes the padding."""
    body = b'header two\r\n' + b','.join(records) + b'\r\n'
    return b'h' * (size - len(body) - 2) + b'\r\n' + body


def stored_stream(data, size):
    """A zlib stream of exactly size bytes that inflates to data: empty stored blocks
    fill the room (data's length must leave a multiple of 5 bytes of them)."""
    room = size - 2 - 4 - (5 + len(data))
    assert room >= 0 and room % 5 == 0, room
    blocks = b'\x00\x00\x00\xff\xff' * (room // 5)
    last = b'\x01' + struct.pack('<HH', len(data), len(data) ^ 0xFFFF) + data
    return b'\x78\x01' + blocks + last + struct.pack('>I', zlib.adler32(data))


def list_for_stream(size):
    """A list holding a.dat whose stored stream of size bytes works out exactly."""
    text = list_of(record(b'\\a.dat', ALPHA))
    while (size - 11 - len(text)) % 5:
        text = b'h' + text
    return text


def well_behaved(cms, files=None, package_id=5):
    """A script that serves the package cms and files {serial: bytes} correctly."""
    files = files or {}

    def script(request):
        if request.code == PACKAGE_REQUEST:
            return package_reply(package_id)
        if request.serial == 0:
            return serve_bytes(cms, request.offset)
        if request.serial in files:
            return serve_bytes(files[request.serial], request.offset)
        return chunk(0)
    return script


def with_files(cms, answer_file):
    """Serves the package cms correctly and answers every listed file with answer_file."""
    honest = well_behaved(cms)

    def script(request):
        if request.code == FILE_REQUEST and request.serial != 0:
            return answer_file(request)
        return honest(request)
    return script


def garbage(seed):
    generator = random.Random(seed)
    while True:
        yield bytes(generator.getrandbits(8) for _ in range(4096))


def snapshot(root, skip_dirs):
    """{relative path: (size, mtime)} of every file and directory below root, except
    below skip_dirs and the launcher's transcripts."""
    found = {}
    for directory, subdirs, names in os.walk(root):
        subdirs[:] = [d for d in subdirs if os.path.join(directory, d) not in skip_dirs]
        for name in subdirs + names:
            path = os.path.join(directory, name)
            relative = os.path.relpath(path, root)
            if relative.startswith('transcript-'):
                continue
            info = os.lstat(path)
            found[relative] = (info.st_size if os.path.isfile(path) else -1, info.st_mtime_ns)
    return found


def unsafe_cases():
    """(name, path) of list paths that must be refused before anything is fetched."""
    devices = [b'\\NUL.dat', b'\\CON', b'\\COM1.txt', b'\\LPT1', b'\\CONIN$', b'\\AUX.bin',
               b'\\conout$', b'\\prn.', b'\\sub\\Nul.txt. ', b'\\Com9 .log', b'\\lpt9\\x.dat']
    others = [b'\\', b'\\..\\escaped.dat', b'\\a\\..\\..\\escaped.dat', b'\\c:\\escaped.dat',
              b'\\\\server\\share\\escaped.dat', b'\\' + b'p' * 200 + b'.dat']
    return [('unsafe %r' % path, path) for path in devices + others]


class Outcome:
    def __init__(self, result, serials, outside_before, outside_after, game_files, system_same,
                 placed):
        self.result = result
        self.placed = {path: content.encode() if isinstance(content, str) else content
                       for path, content in (placed or {}).items()}
        self.serials = serials
        self.outside_changed = sorted(set(outside_before.items()) ^ set(outside_after.items()))
        self.game_files = game_files
        self.system_same = system_same


class HostileServerTest(unittest.TestCase):
    def setUp(self):
        self.flavour = current_flavour()

    def run_all(self, cases):
        """Runs {name: (script, game files)} side by side; {name: Outcome}.

        Every run directory is made before any launcher starts: copying the launcher
        while another thread starts one would leave it busy for writing in that child."""
        with contextlib.ExitStack() as stack:
            prepared = {}
            for name, (script, game_files) in cases.items():
                run = stack.enter_context(Run(self.flavour))
                server = ScriptedServer(script)
                stack.callback(server.stop)
                run.gamedata([ServerEntry(port=server.port)])
                if game_files:
                    run.write_game_files(game_files)
                skip = {run.game_dir, run.system_dir}
                prepared[name] = (run, server, skip, snapshot(run.dir, skip),
                                  snapshot(run.system_dir, set()))
            workers = 3 if self.flavour.is_wine else 6
            with concurrent.futures.ThreadPoolExecutor(max_workers=workers) as pool:
                futures = {name: pool.submit(entry[0].update, 'game', quiet_period=1000, timeout=90)
                           for name, entry in prepared.items()}
                results = {name: future.result() for name, future in futures.items()}
            outcomes = {}
            for name, (run, server, skip, outside_before, system_before) in prepared.items():
                outcomes[name] = Outcome(results[name], server.serials(), outside_before,
                                         snapshot(run.dir, skip), run.game_files(skip=()),
                                         snapshot(run.system_dir, set()) == system_before,
                                         cases[name][1])
            return outcomes

    def assert_contained(self, name, outcome):
        described = name + '\n' + outcome.result.describe()
        self.assertEqual(outcome.outside_changed, [], described)
        if not self.flavour.is_wine:
            # Wine keeps its own files in its system directory.
            self.assertTrue(outcome.system_same, described)

    def assert_refused(self, name, outcome, status=None, fetched=(0,)):
        """An error ends the run; nothing is promoted, nothing listed is installed."""
        described = name + '\n' + outcome.result.describe()
        statuses = outcome.result.statuses()
        self.assertEqual(outcome.result.exit_code, 1, described)
        self.assertNotIn((5, 1), statuses, described)
        if status is not None:
            self.assertIn(status, statuses, described)
        self.assertEqual(sorted(set(outcome.serials)), sorted(fetched), described)
        # Beside the staging tree, only the log and the files the test put there.
        for path, content in outcome.game_files.items():
            if path != LOG_NAME and not path.startswith('Update/'):
                self.assertEqual(outcome.placed.get(path), content, path + described)
        self.assert_contained(name, outcome)

    def assert_complete(self, name, outcome):
        described = name + '\n' + outcome.result.describe()
        self.assertEqual(outcome.result.exit_code, 0, described)
        self.assertEqual(outcome.result.statuses()[-1], (5, 1), described)
        self.assertEqual(outcome.game_files.get('a.dat'), ALPHA, described)
        self.assert_contained(name, outcome)

    def test_unsafe_list_paths_are_refused_before_anything_is_fetched(self):
        cases = {}
        for name, path in unsafe_cases():
            cms = zlib.compress(list_of(record(b'\\a.dat', ALPHA), record(path, b'evil')))
            cases[name] = (well_behaved(cms, {1: ALPHA, 2: b'evil'}), None)
        for name, outcome in self.run_all(cases).items():
            with self.subTest(name):
                self.assert_refused(name, outcome, status=(6, 4))

    def test_lists_over_their_limits_are_refused_and_just_under_them_install(self):
        bomb = zlib.compress(b'a' * (64 * 1024 * 1024), 9)
        exact = padded_list([record(b'\\a.dat', ALPHA)], LIST_BUFFER)
        over = padded_list([record(b'\\a.dat', ALPHA)], LIST_BUFFER + 1)
        # Every record names a.dat, already in place, so nothing needs fetching.
        many = [record(b'\\a.dat', ALPHA)] * (LIST_CAPACITY - 1)
        with_nul = list_of(record(b'\\a.dat', ALPHA)) + b'\x00' + list_of(record(b'\\b.dat', b'b'))
        in_place = {'a.dat': ALPHA}
        cases = {
            'inflate bomb': (well_behaved(bomb), None),
            'list one byte over the buffer': (well_behaved(zlib.compress(over)), None),
            'list of 4400 records': (well_behaved(zlib.compress(list_of(*(many + many[:1])))), in_place),
            'NUL byte in the list': (well_behaved(zlib.compress(with_nul), {1: ALPHA}), None),
            'list that fills the buffer': (well_behaved(zlib.compress(exact), {1: ALPHA}), None),
            'list of 4399 records': (well_behaved(zlib.compress(list_of(*many))), in_place),
        }
        outcomes = self.run_all(cases)
        for name, status in (('inflate bomb', (6, 3)), ('list one byte over the buffer', (6, 3)),
                             ('list of 4400 records', (6, 55)), ('NUL byte in the list', (6, 3))):
            with self.subTest(name):
                self.assert_refused(name, outcomes[name], status=status)
        for name in ('list that fills the buffer', 'list of 4399 records'):
            with self.subTest(name):
                self.assert_complete(name, outcomes[name])

    def test_packages_and_files_beyond_their_size_fail_while_they_arrive(self):
        cms = zlib.compress(list_of(record(b'\\a.dat', ALPHA)))
        over = PACKAGE_LIMIT + 1
        cases = {
            'package one byte over the limit': (
                well_behaved(stored_stream(list_for_stream(over), over), {1: ALPHA}), None),
            'package of exactly the limit': (
                well_behaved(stored_stream(list_for_stream(PACKAGE_LIMIT), PACKAGE_LIMIT),
                             {1: ALPHA}), None),
            'package that never ends': (lambda r: package_reply(5) if r.code == PACKAGE_REQUEST
                                        else chunk(1, b'x' * MAX_PAYLOAD), None),
            'file longer than listed': (with_files(cms, lambda r: chunk(1, b'y' * 1000)), None),
            'file trickling past its size': (with_files(cms, lambda r: chunk(1, b'yy')), None),
            'file promising more for ever': (with_files(cms, lambda r: chunk(1)), None),
        }
        outcomes = self.run_all(cases)
        for name in ('package one byte over the limit', 'package that never ends'):
            with self.subTest(name):
                outcome = outcomes[name]
                self.assert_refused(name, outcome, status=(6, 1))
                package = outcome.game_files.get('Update/game.cms', b'')
                self.assertLessEqual(len(package), PACKAGE_LIMIT, name)
        for name in ('file longer than listed', 'file trickling past its size',
                     'file promising more for ever'):
            with self.subTest(name):
                outcome = outcomes[name]
                self.assert_refused(name, outcome, status=(6, 1), fetched=(0, 1))
                self.assertLessEqual(len(outcome.game_files.get('Update/game/a.dat', b'')),
                                     len(ALPHA), name)
        with self.subTest('package of exactly the limit'):
            self.assert_complete('package of exactly the limit',
                                 outcomes['package of exactly the limit'])

    def test_impossible_frames_garbage_stalls_and_trickles_end_the_run(self):
        cms = zlib.compress(list_of(record(b'\\a.dat', ALPHA)))
        huge = struct.pack('<H', 0xFFFF) + b'\x02' * 64
        one_too_many = struct.pack('<H', 10239) + b'\x02' * 10239
        honest = well_behaved(cms, {1: ALPHA})

        def on_package(answer):
            return lambda r: answer if r.code == PACKAGE_REQUEST else honest(r)

        def on_chunks(answer):
            return lambda r: honest(r) if r.code == PACKAGE_REQUEST else answer

        # name: (script, the serials the client gets as far as asking for)
        hostile = {
            'impossible buffsize in the package reply': (on_package(huge), ()),
            'buffsize one over the buffer in a chunk': (on_chunks(one_too_many), (0,)),
            'endless garbage': (lambda r: garbage(8), ()),
            'garbage after the package reply': (
                lambda r: honest(r) if r.code == PACKAGE_REQUEST else garbage(9), (0,)),
            'stall on the package request': (on_package(STALL), ()),
            'stall on the first chunk': (on_chunks(STALL), (0,)),
            'trickled package reply': (on_package(trickle(package_reply(5), 0.5)), ()),
            'server hanging up at once': (lambda r: CLOSE, ()),
        }
        outcomes = self.run_all({name: (script, None) for name, (script, _) in hostile.items()})
        for name, (_, fetched) in hostile.items():
            with self.subTest(name):
                self.assert_refused(name, outcomes[name], fetched=fetched)


if __name__ == '__main__':
    unittest.main()
