"""One package root served by three machines (built once, copied to the others as an
operator would), with servers stopped while clients are fetching: every client that
started completes byte for byte, over the servers still there."""
import os
import random
import signal
import threading
import time
import unittest

from harness import Run, ServerEntry, current_flavour
from harness.processes import run_bounded

# Small chunks and many of them, so that the clients are still fetching when a
# server goes away.
CHUNK = 1024
FILE_COUNT = 24
FILE_BYTES = 20000


def game_files():
    generator = random.Random(1234)
    files = {'data/part%02d.bin' % i: bytes(generator.getrandbits(8) for _ in range(FILE_BYTES))
             for i in range(FILE_COUNT)}
    files['readme.txt'] = b'several servers\r\n'
    return files


def copy_root(source, target):
    """What the README tells an operator to do for each further machine: the new
    build first, then the links, then packages.txt, which makes the servers take it up."""
    os.makedirs(target, exist_ok=True)
    passes = [['rsync', '-a', os.path.join(source, '.store') + '/', os.path.join(target, '.store') + '/'],
              ['rsync', '-a', '--delete', '--exclude=/packages.txt', source + '/', target + '/'],
              ['rsync', '-a', os.path.join(source, 'packages.txt'), target + '/']]
    for command in passes:
        code, stdout, stderr = run_bounded(command, timeout=60)
        if code != 0:
            raise RuntimeError('%s failed: %s' % (' '.join(command), stderr.decode('utf-8', 'replace')))


def file_requests_by_peer(server):
    """The requests for list files (serial 1 and up) the server has logged, counted
    per connection (the address:port before ' file ')."""
    counts = {}
    for line in server.log_text().splitlines():
        if ' file ' in line and ' file 0/' not in line and '/0 offset' not in line:
            peer = line.split(' file ', 1)[0].split()[-1]
            counts[peer] = counts.get(peer, 0) + 1
    return counts


def file_requests(server):
    """How many requests for list files the server has logged."""
    return sum(file_requests_by_peer(server).values())


def all_fetching(server, clients, requests):
    """Every one of the clients has asked the server for at least this many chunks:
    a slow start must not leave a client that never reached the server before it
    goes away (it would start elsewhere and have no reconnect to report)."""
    return sum(1 for count in file_requests_by_peer(server).values() if count >= requests) >= clients


def wait_for(condition, limit):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.02)
    return False


class SeveralServersTest(unittest.TestCase):
    def setUp(self):
        self.flavour = current_flavour()
        # Wine's launcher starts are slow and share one display server: one at a time.
        self.clients_at_once = 1 if self.flavour.is_wine else 3

    def start_clients(self, ports, count, results):
        """count launchers, each in a run directory of its own, all with the same
        gamedata.xml rows; the first row's server is their preferred one."""
        threads = []
        for _ in range(count):
            def client():
                with Run(self.flavour) as own:
                    own.gamedata(servers=[ServerEntry(port=port) for port in ports])
                    result = own.update('game', server='127.0.0.1', timeout=240)
                    results.append((result, own.game_files(), own.game_file('game.upd')))
            thread = threading.Thread(target=client)
            thread.start()
            threads.append(thread)
            time.sleep(0.1)
        return threads

    def assertComplete(self, results, expected, installed_list, reconnected):
        for result, files, listed in results:
            self.assertEqual(result.exit_code, 0, result.describe())
            self.assertEqual(result.statuses()[-1], (5, 1), result.describe())
            for path, content in expected.items():
                self.assertEqual(files.get(path), content, path + '\n' + result.describe())
            self.assertEqual(listed, installed_list, result.describe())
            if reconnected:
                self.assertIn((11111, 30, 1), result.keys(), result.describe())

    def test_clients_complete_while_servers_stop(self):
        files = game_files()
        with Run(self.flavour) as operator:
            first_root = operator.package('game', files=files)
            roots = [first_root]
            for name in ('second', 'third'):
                copy = os.path.join(operator.dir, name)
                copy_root(first_root, copy)
                roots.append(copy)
            ports = [operator.server(root=root, chunk=CHUNK) for root in roots]
            first, second, third = operator.servers

            # SIGTERM to the preferred server while every client is fetching from it.
            results = []
            threads = self.start_clients(ports, self.clients_at_once, results)
            self.assertTrue(wait_for(lambda: all_fetching(first, self.clients_at_once, 50), 120),
                            first.log_text()[-3000:])
            first.process.send_signal(signal.SIGTERM)
            self.assertEqual(first.process.wait(timeout=30), 0, first.log_text()[-3000:])
            for thread in threads:
                thread.join(timeout=300)
            self.assertEqual(len(results), self.clients_at_once)
            installed = results[0][2]
            self.assertIsNotNone(installed)
            self.assertComplete(results, files, installed, reconnected=True)
            self.assertIn('no longer accepting', first.log_text())

            # The preferred server is gone; SIGKILL the second while clients fetch.
            before = file_requests(second) + file_requests(third)
            results = []
            threads = self.start_clients(ports, self.clients_at_once, results)
            self.assertTrue(wait_for(
                lambda: file_requests(second) + file_requests(third) >= before + 50 * self.clients_at_once,
                120))
            second.process.send_signal(signal.SIGKILL)
            second.process.wait(timeout=30)
            for thread in threads:
                thread.join(timeout=300)
            self.assertEqual(len(results), self.clients_at_once)
            self.assertComplete(results, files, installed, reconnected=False)

            # One server of three left: a new client still completes.
            results = []
            for thread in self.start_clients(ports, 1, results):
                thread.join(timeout=300)
            self.assertEqual(len(results), 1)
            self.assertComplete(results, files, installed, reconnected=False)
            self.assertTrue(third.running())

            # A new build made on the first machine reaches the running third server
            # by the same copy; its next client gets the new files without a restart.
            changed = dict(files)
            changed['readme.txt'] = b'second build\r\n'
            changed['data/part00.bin'] = bytes(reversed(files['data/part00.bin']))
            operator.package('game', files=changed, root=first_root)
            copy_root(first_root, roots[2])
            results = []
            for thread in self.start_clients(ports, 1, results):
                thread.join(timeout=300)
            self.assertEqual(len(results), 1)
            self.assertNotEqual(results[0][2], installed)
            self.assertComplete(results, changed, results[0][2], reconnected=False)

    def test_a_reconnect_to_a_server_with_another_build_ends_the_run_and_the_next_heals(self):
        """The preferred server drops the run; the other one serves another build. The
        run stops cleanly and installs nothing; once the operator has published that
        build on the first server as well, the next run completes with it, in the
        fast mode again after its reconnect."""
        files = game_files()
        changed = dict(files, **{'readme.txt': b'another build\r\n'})
        with Run(self.flavour) as run:
            first_root = run.package('game', files=files)
            other_root = run.package('game', files=changed, root=os.path.join(run.dir, 'other'))
            dropping = run.server(root=first_root, drop_after=100 * 1024)
            other = run.server(root=other_root)
            run.gamedata([ServerEntry(port=dropping), ServerEntry(port=other)])
            result = run.update('game', server='127.0.0.1')
            self.assertEqual(result.exit_code, 1, result.describe())
            self.assertIn('重新连接的服务器已是另一版本的更新包,本次更新中止', '\n'.join(result.log_lines()))
            self.assertIsNone(run.game_file('readme.txt'), result.describe())
            self.assertIsNone(run.game_file('game.upd'), result.describe())

            run.package('game', files=changed, root=first_root)
            result = run.update('game', server='127.0.0.1')
            self.assertEqual(result.exit_code, 0, result.describe())
            self.assertEqual({path: run.game_file(path) for path in changed}, changed)
            self.assertRegex(run.servers[1].log_text(), r'asks for build [0-9a-f]{8} -> \d+, build 1 list')

    def test_rows_and_the_launcher_name_servers_by_host_name_or_ipv6(self):
        """'::1' reaches a server listening on IPv6 loopback only, 'localhost' one on
        127.0.0.1, whether the launcher names it first or a row is drawn."""
        files = {'readme.txt': b'named servers\r\n'}
        with Run(self.flavour) as run:
            root = run.package('game', files=files)
            v6_port = run.server(root=root, extra=['--bind', '::1'])
            v4_port = run.server(root=root)
            v6, v4 = run.servers
            run.gamedata([ServerEntry(port=v6_port, ip='::1'), ServerEntry(port=v4_port, ip='localhost')])
            result = run.update('game', server='::1')
            self.assertEqual(result.exit_code, 0, result.describe())
            self.assertIn('端口跟ftp:[%d] ::1，%d,连接该服务器' % (v6_port, v6_port), result.log_lines())
            self.assertIn('[::1]:', v6.log_text())
            self.assertEqual(run.game_file('readme.txt'), files['readme.txt'])

            run.gamedata([ServerEntry(port=v4_port, ip='localhost')])
            result = run.update('game', server=None)
            self.assertEqual(result.exit_code, 0, result.describe())
            self.assertIn('端口跟ftp:[%d] localhost,连接该服务器' % v4_port, result.log_lines())
            self.assertEqual(v4.log_text().count(' connected'), 1, v4.log_text())


if __name__ == '__main__':
    unittest.main()
