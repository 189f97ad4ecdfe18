"""A signed build's files from HTTP mirrors: nginx as the origin, nginx with slices in
front of it as the cache, and mirrors of our own that break HTTP in one way each.

Every run ends with the build installed byte for byte and nothing unverified in the
game; a failing mirror is dropped with a log line naming it and the next source, the
next mirror or our server, brings the rest. Without a key or a signature no HTTP
request goes out at all.

AUTOUPDATE_HTTP_CLIENTS sets how many launchers update through the cache at once (8
by default, 50 by hand); AUTOUPDATE_HTTP_FAULTS (comma separated) runs only some of
the faulty mirrors."""
import os
import random
import re
import shutil
import unittest
from concurrent.futures import ThreadPoolExecutor

from harness import Run, ServerEntry, current_flavour, gamedata_xml
from harness.http_mirrors import FAULTS, FaultyMirror, origin_bytes, start_cache, start_origin
from harness.processes import run_bounded
from harness.run import LOG_NAME

CLIENTS = int(os.environ.get('AUTOUPDATE_HTTP_CLIENTS', '8'))
SELECTED_FAULTS = [f for f in os.environ.get('AUTOUPDATE_HTTP_FAULTS', ','.join(FAULTS)).split(',') if f]

_random = random.Random(23)
BIG = bytes(_random.getrandbits(8) for _ in range(3 * 1024 * 1024 + 12345))
BUILD_1 = {'a.txt': 'alpha', 'empty.txt': '', 'data/mid.bin': bytes(range(256)) * 800, 'data/big.bin': BIG}
BUILD_2 = dict(BUILD_1, **{'a.txt': 'alpha 2', 'new.txt': 'new in 2',
                           'data/big.bin': BIG[:1500000] + bytes(70000) + BIG[1570000:]})
BIG_OBJECT_PIECES = 4  # 1 MiB pieces of big.bin


def content(value):
    return value.encode() if isinstance(value, str) else value


class HttpMirrorsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        run = cls.testbed = Run(current_flavour()).__enter__()
        cls.addClassCleanup(run.__exit__, None, None, None)
        key = os.path.join(run.dir, 'publisher.pem')
        code, out, err = run_bounded([run.flavour.tool('make-package'), '--new-key', key], timeout=60)
        assert code == 0, (out, err)
        with open(key + '.pub') as f:
            cls.public_key = f.read().strip()
        run.package('game', files=BUILD_1, extra=['--sign', key])
        cls.root_1 = os.path.join(run.dir, 'root-1')
        shutil.copytree(run.packages_dir, cls.root_1, symlinks=True)
        run.package('game', files=BUILD_2, extra=['--sign', key])
        cls.unsigned_root = os.path.join(run.dir, 'root-unsigned')
        run.package('game', files=BUILD_2, root=cls.unsigned_root)
        http_root = os.path.join(run.packages_dir, '.http')
        cls.origin = start_origin(http_root, run.dir)
        cls.addClassCleanup(cls.origin.stop)
        cls.cache = start_cache(cls.origin, run.dir)
        cls.addClassCleanup(cls.cache.stop)
        cls.http_root = http_root

    def mirror(self, fault=None):
        mirror = FaultyMirror(self.http_root, fault)
        self.addCleanup(mirror.stop)
        return mirror

    def server(self, mirrors, root=None):
        """An update-server naming these base URLs; returns it."""
        extra = []
        for url in mirrors:
            extra += ['--mirror', url + '/']
        self.testbed.server(root=root, extra=extra)
        return self.testbed.servers[-1]

    def game_dir(self, name, installed=None):
        path = os.path.join(self.testbed.dir, 'games', name)
        shutil.rmtree(path, ignore_errors=True)
        shutil.copytree(installed, path) if installed else os.makedirs(path)
        return path

    def use(self, server, keyed=True):
        content_xml = gamedata_xml([ServerEntry(port=server.port)])
        if keyed:
            element = '  <publisherkeys key1="%s"/>\r\n' % self.public_key
            content_xml = content_xml.replace(b'</gamedata>', element.encode() + b'</gamedata>')
        self.testbed.gamedata(content=content_xml)

    def update(self, server, game_dir, keyed=True):
        self.use(server, keyed)
        return self.testbed.update('game', game_dir=game_dir)

    def assertBuild(self, files, game_dir, result):
        describe = result.describe()
        self.assertEqual((result.exit_code, result.statuses()[-1]), (0, (5, 1)), describe)
        for path, value in files.items():
            with open(os.path.join(game_dir, *path.split('/')), 'rb') as f:
                self.assertEqual(f.read(), content(value), path + '\n' + describe)
        staged = [names for _, _, names in os.walk(os.path.join(game_dir, 'Update')) if names]
        self.assertEqual(staged, [], describe)

    def file_serials(self, server):
        return [s for s in server.requested_serials() if 0 < s < 0x8000]

    def build_1_installed(self):
        if not hasattr(self, '_installed_1'):
            game = self.game_dir('installed-1')
            result = self.update(self.server([], root=self.root_1), game)
            self.assertBuild(BUILD_1, game, result)
            type(self)._installed_1 = game
        return self._installed_1

    def test_clients_update_through_the_cache_and_the_origin_serves_each_object_about_once(self):
        server = self.server([self.cache.url])
        before = origin_bytes(self.origin)
        games = [self.game_dir('cached-%d' % i) for i in range(CLIENTS)]
        self.use(server)
        with ThreadPoolExecutor(4) as pool:
            results = list(pool.map(lambda game: self.testbed.update('game', game_dir=game), games))
        for game, result in zip(games, results):
            self.assertBuild(BUILD_2, game, result)
            self.assertIn('HTTP镜像:%s/' % self.cache.url, result.log_lines())
        build_bytes = sum(len(content(v)) for v in BUILD_2.values())
        self.assertLessEqual(origin_bytes(self.origin) - before, 1.1 * build_bytes)
        self.assertEqual(self.file_serials(server), [], 'every file came over HTTP')

    def test_a_failing_mirror_is_dropped_and_the_next_source_brings_the_rest(self):
        """Each fault before the origin; an unreachable mirror alone leaves it to our server."""
        cases = [(fault, True) for fault in SELECTED_FAULTS] + [('unreachable', False)]
        for fault, origin_next in cases:
            with self.subTest(fault=fault):
                mirror = None if fault == 'unreachable' else self.mirror(fault)
                url = mirror.url if mirror else 'http://127.0.0.1:%d' % self.testbed.closed_port()
                server = self.server([url] + ([self.origin.url] if origin_next else []))
                game = self.game_dir('fault-' + fault)
                result = self.update(server, game)
                self.assertBuild(BUILD_2, game, result)
                dropped = [line for line in result.log_lines() if line.startswith('HTTP镜像%s/不可用' % url)]
                self.assertEqual(len(dropped), 1, result.describe())
                self.assertEqual(bool(self.file_serials(server)), not origin_next, result.describe())
                if fault == 'flip':
                    self.assertIn('bytes that fail the signed digest', dropped[0])

    def test_a_staged_part_and_a_patch_travel_as_ranges(self):
        server = self.server([self.origin.url])
        before = len(self.origin.access())
        staged = self.game_dir('resumed')
        os.makedirs(os.path.join(staged, 'Update', 'game', 'data'))
        with open(os.path.join(staged, 'Update', 'game', 'data', 'big.bin'), 'wb') as f:
            f.write(BUILD_2['data/big.bin'][:1572864])
        result = self.update(server, staged)
        self.assertBuild(BUILD_2, staged, result)
        # Only what is not staged travels, in 1 MiB pieces on 1 MiB boundaries.
        size = len(BUILD_2['data/big.bin'])
        ranges = sorted(r[4] for r in self.origin.access()[before:] if r[4])
        self.assertEqual(ranges, ['bytes=1572864-2097151', 'bytes=2097152-3145727', 'bytes=3145728-%d' % (size - 1)])

        before = len(self.origin.access())
        patched = self.game_dir('patched', self.build_1_installed())
        result = self.update(server, patched)
        self.assertBuild(BUILD_2, patched, result)
        self.assertTrue(any(re.search(r'big\.bin按块更新', line) for line in result.log_lines()),
                        result.describe())
        served = sum(r[3] for r in self.origin.access()[before:] if '/objects/' in r[1])
        self.assertLess(served, len(BUILD_2['data/big.bin']) // 2, result.describe())

    def test_no_http_request_without_a_key_or_a_signature(self):
        mirror = self.mirror()
        unkeyed = self.game_dir('unkeyed')
        self.assertBuild(BUILD_2, unkeyed, self.update(self.server([mirror.url]), unkeyed, keyed=False))
        unsigned = self.game_dir('unsigned')
        refused = self.update(self.server([mirror.url], root=self.unsigned_root), unsigned)
        self.assertEqual(refused.statuses()[-1], (5, 0), refused.describe())
        self.assertEqual(mirror.count(), 0, mirror.requests)


if __name__ == '__main__':
    unittest.main()
