"""Three update-servers on one root behind HAProxy, run from packaging/haproxy.cfg as shipped:
20 runs through its address, three at a time, one server killed while runs fetch."""
import os, pathlib, random, shutil, signal, subprocess, time, unittest
from concurrent.futures import ThreadPoolExecutor
from harness import Run, ServerEntry, current_flavour
from harness.processes import end_group, run_bounded

CONFIG = os.path.join(os.path.dirname(os.path.abspath(__file__)), '../../../packaging/haproxy.cfg')
HAPROXY = shutil.which('haproxy') or '/usr/sbin/haproxy'  # /usr/sbin is only on root's PATH


@unittest.skipIf(current_flavour().is_wine, 'the balancer is the same for either launcher')
class BalancerTest(unittest.TestCase):
    def test_runs_complete_while_a_server_behind_haproxy_dies(self):
        files = {'data/%02d.bin' % i: random.Random(i).randbytes(40000) for i in range(8)}
        with Run() as run:
            run.package('game', files=files)
            front, admin = run.closed_port(), os.path.join(run.dir, 'admin.sock')
            env = dict(os.environ, AUTOUPDATE_LISTEN='127.0.0.1:%d' % front, AUTOUPDATE_ADMIN_SOCKET=admin)
            for i in (1, 2, 3):
                health = os.path.join(run.dir, 'health-%d' % i)
                env['AUTOUPDATE_SERVER_%d' % i] = '127.0.0.1:%d' % run.server(
                    chunk=1024, extra=['--metrics-port', '0', '--metrics-port-file', health])
                env['AUTOUPDATE_HEALTH_%d' % i] = pathlib.Path(health).read_text().strip()
            self.assertEqual(run_bounded([HAPROXY, '-c', '-f', CONFIG], timeout=30, env=env)[0], 0)
            haproxy = subprocess.Popen([HAPROXY, '-f', CONFIG, '-db'], env=env, start_new_session=True)
            self.addCleanup(end_group, haproxy)
            # Every launcher is copied before any starts (a copy open across another's fork stays
            # busy); a row is tried once per run, so three rows of one address allow two reconnects.
            clients = [self.enterContext(Run()) for _ in range(20)]
            [own.gamedata(servers=[ServerEntry(port=front)] * 3) for own in clients]
            deadline = time.monotonic() + 60
            while not os.path.exists(admin) and time.monotonic() < deadline:
                time.sleep(0.1)
            first, opened = run.servers[0], lambda log: log.count(' connected') > log.count(' closed:')
            with ThreadPoolExecutor(3) as pool:
                runs = [pool.submit(lambda c: (c.update('game', timeout=120), c.game_files()), c) for c in clients]
                while (sum(r.done() for r in runs) < 6 or not opened(first.log_text())) and time.monotonic() < deadline:
                    time.sleep(0.02)
                first.process.send_signal(signal.SIGKILL)
                results = [r.result() for r in runs]
            for result, installed in results:
                self.assertEqual((result.exit_code, result.statuses()[-1]), (0, (5, 1)), result.describe())
                self.assertEqual(installed, results[0][1])
            self.assertTrue(files.items() <= results[0][1].items())
            self.assertTrue(any((11111, 30, 1) in result.keys() for result, _ in results))
            self.assertTrue(all(' connected' in server.log_text() for server in run.servers))
