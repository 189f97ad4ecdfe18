"""The fast mode between the library and our update-server: the same files and the
same kinds of messages as in the base protocol; after a dropped connection the fast
mode again where the new server serves the run's build, the base protocol where it
offers none; and one build per run while new builds are published."""
import contextlib
import os
import random
import re
import subprocess
import sys
import threading
import time
import unittest

from harness import Run, ServerEntry, current_flavour, gamedata_xml

FILES = {
    'big/one.bin': os.urandom(300 * 1024 + 17),
    'big/two.bin': os.urandom(150 * 1024),
    'empty.txt': b'',
    'small.txt': b'small file\r\n',
}


def fast_requests(server):
    return len(re.findall(r'\(fast mode\)$', server.log_text(), re.M))


def kinds(result):
    """The messages without their values, each run of 11114/11117 pairs folded into
    one: the number of progress pairs depends on the chunk size, their place does not."""
    folded = []
    for message in result.messages:
        key = (message.msg, message.wparam if message.msg == 11111 else None)
        if message.msg in (11114, 11117):
            key = "progress"
        if key == (11111, 12):
            continue  # once a second, so it depends on the speed
        if not folded or folded[-1] != key:
            folded.append(key)
    return folded


@contextlib.contextmanager
def deadline_ms(ms):
    """A shorter deadline for each reply frame, for the launchers started meanwhile."""
    os.environ['AUTOUPDATE_FRAME_DEADLINE_MS'] = str(ms)
    try:
        yield
    finally:
        os.environ.pop('AUTOUPDATE_FRAME_DEADLINE_MS', None)


class FastModeTest(unittest.TestCase):
    def setUp(self):
        self.flavour = current_flavour()

    def test_fast_and_base_servers_give_the_same_files_and_messages(self):
        results = {}
        for mode, extra in (('fast', ()), ('base', ('--fast-chunk', '0'))):
            with Run(self.flavour) as run:
                run.package('game', files=FILES)
                run.server(extra=extra)
                result = run.update('game')
                self.assertEqual(result.exit_code, 0, result.describe())
                for path, content in FILES.items():
                    self.assertEqual(run.game_file(path), content, path + '\n' + result.describe())
                server = run.servers[0]
                if mode == 'fast':
                    self.assertIn('(fast mode offered)', server.log_text())
                    self.assertGreater(fast_requests(server), 0, server.log_text())
                else:
                    self.assertEqual(fast_requests(server), 0, server.log_text())
                results[mode] = result

        fast, base = results['fast'], results['base']
        self.assertEqual(kinds(fast), kinds(base), fast.describe() + '\n' + base.describe())
        self.assertEqual(fast.file_tables()[0].rows, base.file_tables()[0].rows)
        # Larger chunks: fewer progress pairs, the same final count.
        progress = lambda r: [m for m in r.messages if m.msg == 11117]
        self.assertLess(len(progress(fast)), len(progress(base)))
        self.assertEqual((progress(fast)[-1].wparam, progress(fast)[-1].lparam),
                         (progress(base)[-1].wparam, progress(base)[-1].lparam))
        # One frame line per chunk, as in the base protocol: besides the listed files'
        # chunks, the package reply and the package's one chunk.
        frames = lambda r: sum(1 for line in r.log_lines() if line.startswith('接收到数据大小为'))
        for result in (fast, base):
            self.assertEqual(frames(result), len(progress(result)) + 2, result.describe())

    def test_a_download_cap_in_gamedata_holds_both_modes_back(self):
        # 450 KiB at 150 KiB/s: 3 s of transfers after the 2 s pause, where loopback
        # takes a fraction of a second; only a generous lower bound is checked.
        for mode, extra in (('fast', ()), ('base', ('--fast-chunk', '0'))):
            with self.subTest(mode), Run(self.flavour) as run:
                run.package('game', files=FILES)
                port = run.server(extra=extra)
                run.gamedata(content=gamedata_xml([ServerEntry(port=port)]).replace(
                    b'</gamedata>', b'  <download maxkibps="150"/>\r\n</gamedata>'))
                started = time.monotonic()
                result = run.update('game')
                elapsed = time.monotonic() - started
                self.assertEqual(result.exit_code, 0, result.describe())
                for path, content in FILES.items():
                    self.assertEqual(run.game_file(path), content, path)
                self.assertIn('下载限速150KiB/s', result.log_lines(), result.describe())
                self.assertGreater(elapsed, 4.0, result.describe())

    def test_a_slow_line_carries_the_fast_mode_where_it_carries_the_base_protocol(self):
        # 64 KiB chunks at 8 KiB/s take 8 s each, a base chunk 1.25 s: past a frame
        # deadline of 3 s only the large chunk is, and it must not end the run.
        data = {'slow.bin': os.urandom(100 * 1024)}
        proxy_script = os.path.join(os.path.dirname(__file__), '..', '..', '..', 'bench', 'delay_proxy.py')
        with Run(self.flavour) as run, deadline_ms(3000):
            run.package('game', files=data)
            port = run.server()
            port_file = os.path.join(run.dir, 'proxy.port')
            proxy = subprocess.Popen([sys.executable, proxy_script, '--target', str(port), '--delay-ms', '1',
                                      '--rate', '8192', '--port-file', port_file, '--lifetime', '120'])
            try:
                for _ in range(100):
                    if os.path.exists(port_file):
                        break
                    time.sleep(0.05)
                with open(port_file) as f:
                    run.gamedata([ServerEntry(port=int(f.read()))])
                result = run.update('game', timeout=90)
            finally:
                proxy.kill()
                proxy.wait()
            self.assertEqual(result.exit_code, 0, result.describe())
            self.assertEqual(run.game_file('slow.bin'), data['slow.bin'])
            self.assertGreater(fast_requests(run.servers[0]), 0, run.servers[0].log_text())
            self.assertNotIn('rcv SOCKET_ERROR了', result.log_lines(), result.describe())

    def test_drop_in_a_pipelined_transfer_goes_on_in_the_mode_the_new_server_offers(self):
        for mode, extra in (('fast', ()), ('base', ('--fast-chunk', '0'))):
            with Run(self.flavour) as run:
                run.package('game', files=FILES)
                dropping = run.server(drop_after=200 * 1024)
                steady = run.server(extra=extra)
                run.gamedata([ServerEntry(port=dropping), ServerEntry(port=steady)])
                result = run.update('game', server='127.0.0.1')

                self.assertEqual(result.exit_code, 0, result.describe())
                for path, content in FILES.items():
                    self.assertEqual(run.game_file(path), content, path + '\n' + result.describe())
                self.assertIn((30, 1), result.statuses(), result.describe())
                first, second = run.servers
                self.assertGreater(fast_requests(first), 0, first.log_text())
                # On the new connection: the package request again, naming the run's
                # build, then requests from the first byte not yet written.
                self.assertRegex(second.log_text(), r'package "game" asks for build [0-9a-f]{8} -> ')
                self.assertIn('file ', second.log_text())
                if mode == 'fast':
                    self.assertGreater(fast_requests(second), 0, second.log_text())
                    self.assertIn('重新连接后继续快速传输', '\n'.join(result.log_lines()))
                else:
                    self.assertEqual(fast_requests(second), 0, second.log_text())
                self.assertEqual(result.statuses()[-1], (5, 1), result.describe())

    def test_every_run_keeps_one_build_while_new_ones_are_published(self):
        """Builds published (--keep 2) while clients fetch: each run completes with one
        build, or is refused where its build went, and its next run completes. Larger by
        hand: AUTOUPDATE_PUBLISH_CLIENTS, AUTOUPDATE_PUBLISH_TIMES, AUTOUPDATE_PUBLISH_SEED."""
        clients = 1 if self.flavour.is_wine else int(os.environ.get('AUTOUPDATE_PUBLISH_CLIENTS', '4'))
        times = int(os.environ.get('AUTOUPDATE_PUBLISH_TIMES', '2'))
        generator = random.Random(int(os.environ.get('AUTOUPDATE_PUBLISH_SEED', '14')))
        builds = [{'data/%d.bin' % i: generator.randbytes(256 * 1024) for i in range(6)} for _ in range(times + 1)]
        with Run(self.flavour) as operator, contextlib.ExitStack() as stack:
            operator.package('game', files=builds[0])
            # Small chunks, one in flight: the runs are still fetching when a build comes.
            port = operator.server(extra=('--fast-chunk', '1024', '--fast-window', '1'))
            server, published, outcomes, first_runs_done = operator.servers[0], threading.Event(), [], []
            # Every run directory is made before any launcher starts: a copy still
            # open for writing while another thread starts a process cannot be run.
            runs = [stack.enter_context(Run(self.flavour)) for _ in range(clients)]
            for own in runs:
                own.gamedata(servers=[ServerEntry(port=port)])

            def client(own):
                first = own.update('game', server='127.0.0.1', timeout=240)
                files = own.game_files()
                first_runs_done.append(first.exit_code)
                published.wait(300)
                again = own.update('game', server='127.0.0.1', timeout=240) if first.exit_code else None
                outcomes.append((first, files, again, own.game_files()))

            threads = [threading.Thread(target=client, args=(own,)) for own in runs]
            for thread in threads:
                thread.start()
            try:
                # The first build comes while every run is fetching; the later ones
                # once half of the runs have ended, so that the others lose their build.
                for number, build in enumerate(builds[1:]):
                    before = fast_requests(server)
                    deadline = time.monotonic() + 120
                    while (time.monotonic() < deadline and any(thread.is_alive() for thread in threads) and
                           (fast_requests(server) < before + 100 * clients if number == 0
                            else len(first_runs_done) < (clients + 1) // 2)):
                        time.sleep(0.02)
                    operator.package('game', files=build, extra=('--keep', '2'))
            finally:
                published.set()
                for thread in threads:
                    thread.join(timeout=600)
            self.assertEqual(len(outcomes), clients)
            for first, files, again, after in outcomes:
                if first.exit_code == 0:
                    self.assertIn({path: files.get(path) for path in builds[0]}, builds, first.describe())
                else:
                    self.assertEqual(first.exit_code, 1, first.describe())
                    self.assertFalse(any('校验失败' in line for line in first.log_lines()), first.describe())
                    self.assertEqual(again.exit_code, 0, again.describe())
                    self.assertEqual({path: after.get(path) for path in builds[-1]}, builds[-1], again.describe())

    def test_a_changed_file_travels_as_its_changed_ranges_and_text_deflated(self):
        """A new build with 1 MiB changed inside a larger file and a text file changed:
        the second run builds the large one from its installed copy and takes the text
        deflated, and both end byte for byte as built."""
        generator = random.Random(17)
        old = {'data/archive.pak': generator.randbytes(6 << 20),
               'conf/settings.txt': b''.join(b'key%d = value %d\r\n' % (i, i % 7) for i in range(20000))}
        new = {'data/archive.pak': old['data/archive.pak'][:5 << 19] + generator.randbytes(1 << 20)
               + old['data/archive.pak'][7 << 19:],
               'conf/settings.txt': old['conf/settings.txt'].replace(b'value 3', b'value 9')}
        with Run(self.flavour) as run:
            run.package('game', files=old)
            run.server()
            first = run.update('game')
            self.assertEqual(first.exit_code, 0, first.describe())
            run.package('game', files=new)
            second = run.update('game')
            self.assertEqual(second.exit_code, 0, second.describe())
            for path, content in new.items():
                self.assertEqual(run.game_file(path), content, path + '\n' + second.describe())
            patched = [re.search(r'archive\.pak按块更新:复制(\d+)字节,下载(\d+)字节', line) for line in second.log_lines()]
            copied, fetched = next((int(m.group(1)), int(m.group(2))) for m in patched if m)
            self.assertEqual(copied + fetched, len(new['data/archive.pak']))
            self.assertLess(fetched, (1 << 20) + (64 << 10), second.describe())
            saved = [value for kind, value in second.statuses() if kind == 13]
            self.assertEqual(len(saved), 1, second.describe())
            # More than the copies: the text travelled deflated.
            self.assertGreater(saved[0] * 1024, copied, second.describe())


if __name__ == '__main__':
    unittest.main()
