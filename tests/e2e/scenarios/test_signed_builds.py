"""A man in the middle between the launcher and our server, which serves signed builds.

With the publisher's key in gamedata.xml every change on the path is refused (error 83
for the build as a whole, a failed transfer for a changed file), nothing installed
changes, and the next run against the honest server completes. Without a key the
launcher takes what it is served, as it always has.

AUTOUPDATE_TAMPER_SEED picks the changed bytes; AUTOUPDATE_TAMPER_MODES (comma
separated) runs only some of the modes."""
import itertools
import os
import re
import shutil
import unittest

from harness import Run, ServerEntry, current_flavour, gamedata_xml, read_list
from harness.processes import run_bounded
from harness.run import LOG_NAME
from harness.tamper_proxy import MANIFEST_SERIAL, TamperProxy

SEED = int(os.environ.get('AUTOUPDATE_TAMPER_SEED', '1'))
NOT_SIGNED = 83

# Build 1 is replayed, 2 is installed when a case begins, 3 is the honest server's,
# 4 has expired. Every file but same.txt changes from one build to the next.
BUILDS = [{'a.txt': 'alpha %d' % n, 'data/b.bin': bytes([n]) * (70000 + n), 'same.txt': 'same'}
          for n in (1, 2, 3, 4)]
BUILDS[2]['c.txt'] = 'new in 3'
# Two blocks with one MD5 (Wang and Yu, 2004), which differ in the top bit of six
# bytes: the list cannot tell them apart.
MD5_TWIN = bytes.fromhex(
    'd131dd02c5e6eec4693d9a0698aff95c2fcab58712467eab4004583eb8fb7f8955ad340609f4b30283e488832571415a'
    '085125e8f7cdc99fd91dbdf280373c5bd8823e3156348f5bae6dacd436c919c6dd53e2b487da03fd02396306d248cda0'
    'e99f33420f577ee8ce54b67080a80d1ec69821bcb6a8839396f9652b6ff72a70')
COLLISION = [MD5_TWIN, bytes(b ^ (0x80 if i in (19, 45, 59, 83, 109, 123) else 0) for i, b in enumerate(MD5_TWIN))]
BUILDS[2]['same-md5.bin'] = COLLISION[0]
# Installed as one twin in build 2, changed in 3: the other twin, staged by a transfer of
# build 3 cut short, must not be installed when build 2 is offered again.
BUILDS[1]['twin.bin'] = COLLISION[0]
BUILDS[2]['twin.bin'] = bytes(range(256)) * 3

# mode: (tamper, the server the proxy forwards to, the server of the listed files,
#        with a key: 'refused' or 'file fails'; without: 'file fails' or the build then installed)
MODES = {
    'file': ('file', 3, None, 'file fails', 'file fails'),
    'list': ('list', 3, None, 'refused', 3),
    'manifest': ('manifest', 3, None, 'refused', 3),
    'offer': ('offer', 3, None, 'refused', 3),
    'replay': (None, 1, None, 'refused', 1),
    'expired': (None, 4, None, 'refused', 4),
    'mix': (None, 3, 2, 'file fails', 'file fails'),
    'same-md5': ('swap', 3, None, 'file fails', 3),
}
SELECTED_MODES = [m for m in MODES if m in os.environ.get('AUTOUPDATE_TAMPER_MODES', ','.join(MODES)).split(',')]


def installed_state(run):
    """Every file of the game directory but the log, the staging folder and the servers
    known to offer the fast mode."""
    return {path: data for path, data in run.game_files(skip=(LOG_NAME, 'game.fast')).items()
            if not path.startswith('Update/')}


class SignedBuildsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        run = cls.testbed = Run(current_flavour()).__enter__()
        cls.addClassCleanup(run.__exit__, None, None, None)
        key = os.path.join(run.dir, 'publisher.pem')
        code, out, err = run_bounded([run.flavour.tool('make-package'), '--new-key', key], timeout=60)
        assert code == 0, (out, err)
        with open(key + '.pub') as f:
            cls.public_key = f.read().strip()
        # Copies of the root taken as the builds are published hold the older builds
        # as their current ones; the expired build goes into a copy of its own.
        roots = {}
        for number, files in enumerate(BUILDS, 1):
            if number == 4:
                roots[4] = os.path.join(run.dir, 'root-4')
                shutil.copytree(run.packages_dir, roots[4], symlinks=True)
            extra = ['--sign', key] + (['--expires-days', '0'] if number == 4 else [])
            run.package('game', files=files, root=roots.get(4), extra=extra)
            if number < 3:
                roots[number] = os.path.join(run.dir, 'root-%d' % number)
                shutil.copytree(run.packages_dir, roots[number], symlinks=True)
        roots[3] = run.packages_dir
        cls.ports = {number: run.server(root=root) for number, root in roots.items()}
        cls.snapshots = {}

    def use(self, port, keyed):
        content = gamedata_xml([ServerEntry(port=port)])
        if keyed:
            element = '  <publisherkeys key1="%s"/>\r\n' % self.public_key
            content = content.replace(b'</gamedata>', element.encode() + b'</gamedata>')
        self.testbed.gamedata(content=content)

    def begin_with_build_2(self, keyed):
        """The game directory as an honest run left it with build 2 installed."""
        run = self.testbed
        if keyed not in self.snapshots:
            shutil.rmtree(run.game_dir)
            os.makedirs(run.game_dir)
            self.use(self.ports[2], keyed)
            installed = run.update('game')
            self.assertEqual(installed.statuses()[-1], (5, 1), installed.describe())
            self.snapshots[keyed] = os.path.join(run.dir, 'snapshot-%s' % keyed)
            shutil.copytree(run.game_dir, self.snapshots[keyed])
        shutil.rmtree(run.game_dir)
        shutil.copytree(self.snapshots[keyed], run.game_dir)
        return installed_state(run)

    def attack(self, mode, keyed):
        tamper, upstream, files_from = MODES[mode][:3]
        proxy = TamperProxy(self.ports[upstream], tamper, self.ports[files_from] if files_from else None,
                            SEED, COLLISION if tamper == 'swap' else None)
        try:
            self.use(proxy.port, keyed)
            return self.testbed.update('game'), proxy
        finally:
            proxy.stop()

    def assertInstalled(self, number, result, changed=None):
        for path, content in dict(BUILDS[number - 1], **(changed or {})).items():
            expected = content.encode() if isinstance(content, str) else content
            self.assertEqual(self.testbed.game_file(path), expected, path + '\n' + result.describe())

    def test_every_change_on_the_path_with_and_without_the_publishers_key(self):
        """With the key every change is refused; without it the launcher takes what it is served.
        After every refusal or failed file the next honest run completes."""
        for keyed, mode in itertools.product((True, False), SELECTED_MODES):
            with self.subTest(mode=mode, keyed=keyed):
                before = self.begin_with_build_2(keyed)
                result, proxy = self.attack(mode, keyed)
                describe, outcome = result.describe(), MODES[mode][3 if keyed else 4]
                if MODES[mode][0] and (keyed or MODES[mode][0] != 'manifest'):
                    self.assertEqual(len(proxy.tampered), 1, proxy.tampered)
                if not keyed:
                    self.assertNotIn(MANIFEST_SERIAL, proxy.serials(), 'no manifest is asked for without a key')
                if isinstance(outcome, int):
                    self.assertEqual((result.exit_code, result.statuses()[-1]), (0, (5, 1)), describe)
                    self.assertInstalled(outcome, result,
                                         {'same-md5.bin': COLLISION[1]} if mode == 'same-md5' else None)
                    honest_list = read_list(self.testbed.packages_dir, 'game').replace(b'\r\n', b'\n')
                    installed_list = self.testbed.game_file('game.upd').replace(b'\r\n', b'\n')
                    self.assertEqual(installed_list != honest_list, mode in ('list', 'replay', 'expired'), mode)
                    if mode == 'offer':
                        self.assertEqual({r.wanted for r in proxy.requests if r.serial is not None}, {0},
                                         'base protocol after a base reply')
                    continue
                refused = outcome == 'refused'
                self.assertEqual((result.exit_code, result.statuses()[-1]), (1, (5, 0)), describe)
                self.assertIn((6, NOT_SIGNED if refused else 1), result.statuses(), describe)
                self.assertEqual(installed_state(self.testbed), before, 'installed files changed\n' + describe)
                # Where the MD5 tells, it tells first; only SHA-256 tells the same-MD5 file.
                expected = ('^签名校验失败:' if refused else r'same-md5\.bin的SHA-256与签名清单不符'
                            if keyed and mode == 'same-md5' else '校验失败')
                self.assertTrue(any(re.search(expected, line) for line in result.log_lines()), describe)
                if refused:
                    listed = [s for s in proxy.serials() if 0 < s < 0xFFFD]
                    self.assertEqual(listed, [], 'a refused build had files fetched\n' + describe)
                self.use(self.ports[3], keyed)
                healed = self.testbed.update('game')
                self.assertEqual((healed.exit_code, healed.statuses()[-1]), (0, (5, 1)), healed.describe())
                self.assertInstalled(3, healed)

    def test_a_twin_staged_by_a_cut_transfer_is_removed_and_a_repair_checks_the_signed_digest(self):
        for keyed in (True, False):
            with self.subTest(keyed=keyed):
                self.begin_with_build_2(keyed)
                records = read_list(self.testbed.packages_dir, 'game').split(b'\r\n')[2].split(b',')
                serial = records[0::4].index(b'\\twin.bin') + 1
                proxy = TamperProxy(self.ports[3], 'stage', seed=SEED, stage=(serial, COLLISION[1]))
                try:
                    self.use(proxy.port, keyed)
                    cut = self.testbed.update('game')
                finally:
                    proxy.stop()
                self.assertEqual(cut.statuses()[-1], (5, 0), cut.describe())
                self.assertEqual(self.testbed.game_file('Update/game/twin.bin'), COLLISION[1], cut.describe())
                # Build 2 again: twin.bin is in place, so nothing of it is fetched or installed.
                self.use(self.ports[2], keyed)
                replay = self.testbed.update('game')
                self.assertEqual((replay.exit_code, replay.statuses()[-1]), (0, (5, 1)), replay.describe())
                self.assertEqual(self.testbed.game_file('twin.bin'), COLLISION[0], replay.describe())
                self.assertIsNone(self.testbed.game_file('Update/game/twin.bin'), replay.describe())
                # A twin in the game folder itself passes the MD5; with a key a repair fetches the signed file.
                self.testbed.write_game_files({'twin.bin': COLLISION[1]})
                repair = self.testbed.update('game', extra=['--repair'])
                self.assertEqual((repair.exit_code, repair.statuses()[-1]), (0, (5, 1)), repair.describe())
                self.assertEqual(self.testbed.game_file('twin.bin'), COLLISION[0 if keyed else 1], repair.describe())


if __name__ == '__main__':
    unittest.main()
