"""Patch day against one update-server: many real update-host processes arriving
together at far more clients than slots. Every run must complete byte for byte
(11111 5 1 and the files as built); prints the longest wait for a slot (from the
server's closed lines), the longest run, the server's peak RSS and what it closed
by reason. Exits 1 on any fault.

    python3 patch_day_matrix.py arrivals --clients 200 --over 20 --max-clients 20 --size-mb 20
    python3 patch_day_matrix.py arrivals --clients 120 --over 30 --even --max-clients 10
    python3 patch_day_matrix.py flood --idle 1000 --addresses 9 --clients 20
    python3 patch_day_matrix.py digest --size-mb 1500 --idle-timeout 1

flood: idle connections from 127.0.0.1 and 127.0.0.2.. that connect again as soon
as the server closes them, beside the real clients. digest: a first run whose
digest of the installed files outlasts the server's idle time-out."""
import argparse
import os
import random
import re
import selectors
import shutil
import socket
import sys
import threading
import time
import urllib.request
from concurrent.futures import ThreadPoolExecutor

from lanes import PACKAGE, Matrix
from harness.processes import run_bounded


def run_client(matrix, lane, start_at, origin):
    time.sleep(max(0.0, origin + start_at - time.monotonic()))
    game = matrix.game_dir()
    return finish_client(matrix, lane, game)


def finish_client(matrix, lane, game):
    flavour = matrix.flavour
    transcript = game + '.transcript'
    arguments = ['--game-dir', flavour.host_path(game), '--package', PACKAGE, '--server', '127.0.0.1',
                 '--timeout', '600', '--transcript', flavour.host_path(transcript)]
    started = time.monotonic()
    try:
        code, _, stderr = run_bounded(matrix.command(lane.executable, arguments), 700,
                                      cwd=matrix.dir, env=matrix.environment)
    except TimeoutError as error:
        return time.monotonic() - started, [str(error)[:300]]
    elapsed = time.monotonic() - started
    lines = open(transcript, encoding='gbk', errors='replace').read().splitlines() \
        if os.path.exists(transcript) else []
    problems = [] if code == 0 and '11111 5 1' in lines else \
        ['exit %s, transcript ends %s' % (code, lines[-3:])]
    problems += matrix.complete(game)
    if not problems:
        shutil.rmtree(game, ignore_errors=True)
    return elapsed, problems, lines.count('11111 7 0')


class Flood:
    """Idle connections spread over source addresses, each opened again once closed."""

    def __init__(self, port, count, addresses):
        self.port = port
        self.sources = ['127.0.0.1'] + ['127.0.0.%d' % (2 + i) for i in range(addresses)]
        self.selector = selectors.DefaultSelector()
        self.reconnects = 0
        self.stopping = False
        for i in range(count):
            self.open(self.sources[i % len(self.sources)])
        self.thread = threading.Thread(target=self.serve)
        self.thread.start()

    def open(self, source):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.bind((source, 0))
        s.connect(('127.0.0.1', self.port))
        s.setblocking(False)
        self.selector.register(s, selectors.EVENT_READ, source)

    def serve(self):
        while not self.stopping:
            for key, _ in self.selector.select(0.2):
                try:
                    data = key.fileobj.recv(1)
                except OSError:
                    data = b''
                if not data:
                    self.selector.unregister(key.fileobj)
                    key.fileobj.close()
                    self.reconnects += 1
                    self.open(key.data)

    def stop(self):
        self.stopping = True
        self.thread.join()
        for key in list(self.selector.get_map().values()):
            key.fileobj.close()


class Scraper:
    """Reads the server's /metrics once a second, as an operator's Prometheus would."""

    def __init__(self, port_file):
        self.port_file = port_file
        self.scrapes = 0
        self.last = ''
        self.peak_waiting = 0
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self.run)
        self.thread.start()

    def scrape(self):
        with open(self.port_file) as f:
            url = 'http://127.0.0.1:%d/metrics' % int(f.read())
        with urllib.request.urlopen(url, timeout=5) as answer:
            self.last = answer.read().decode()
        self.scrapes += 1
        self.peak_waiting = max(self.peak_waiting, self.value('connections', 'state="waiting"'))

    def run(self):
        while not self.stopping.wait(1.0):
            self.scrape()

    def stop(self):
        self.stopping.set()
        self.thread.join()
        self.scrape()

    def value(self, name, labels=None):
        """The sum of the samples of autoupdate_server_NAME (those with labels only, when given)."""
        total = 0
        for line in self.last.splitlines():
            m = re.match(r'autoupdate_server_%s(?:\{([^}]*)\})? (\S+)$' % name, line)
            if m and (labels is None or m.group(1) == labels):
                total += int(float(m.group(2)))
        return total


def peak_rss_kib(pid):
    with open('/proc/%d/status' % pid) as f:
        return int(re.search(r'VmHWM:\s+(\d+)', f.read()).group(1))


def cpu_seconds(pid):
    with open('/proc/%d/stat' % pid) as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf('SC_CLK_TCK')


def server_figures(log):
    waits = [int(w) for w in re.findall(r'waited (\d+) ms for a slot', log)]
    reasons = {}
    peer = r'update-server: [0-9.]+:\d+ '
    for reason in re.findall(peer + r'closed: ([^,]+),', log) + re.findall(peer + r'refused: (.+)$', log, re.M):
        reasons[reason] = reasons.get(reason, 0) + 1
    return (max(waits) if waits else 0), reasons


def digest_pause(log):
    """Seconds (to the second) from the last chunk of the package file to the first file request."""
    stamps = re.findall(r'^\S+ (\d+):(\d+):(\d+) update-server: \S+ file \d+/(\d+) offset', log, re.M)
    seconds = [(int(h) * 3600 + int(m) * 60 + int(s), int(serial)) for h, m, s, serial in stamps]
    package = [t for t, serial in seconds if serial == 0]
    files = [t for t, serial in seconds if serial != 0]
    return files[0] - package[-1] if package and files else None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('mode', choices=('arrivals', 'flood', 'digest'))
    parser.add_argument('--seed', type=int, default=20261208)
    parser.add_argument('--clients', type=int, default=12, help='real update-host runs')
    parser.add_argument('--over', type=float, default=3.0, help='seconds over which they arrive')
    parser.add_argument('--even', action='store_true', help='one every over/clients seconds, else at random')
    parser.add_argument('--max-clients', type=int, default=3)
    parser.add_argument('--size-mb', type=float, default=2.0, help='the big file of the package')
    parser.add_argument('--idle', type=int, default=0, help='flood: idle connections')
    parser.add_argument('--addresses', type=int, default=4, help='flood: source addresses beside 127.0.0.1')
    parser.add_argument('--idle-timeout', type=int, default=None)
    parser.add_argument('--jobs', type=int, default=256)
    options = parser.parse_args()
    started = time.monotonic()
    generator = random.Random(options.seed)
    size = int(options.size_mb * 1024 * 1024)
    if options.mode == 'digest':
        # Zeros digest as slowly as any byte; kept sparse on disk where the copy allows.
        files = {'data/big.dat': bytes(size), 'data/new.dat': generator.randbytes(5000)}
    else:
        files = {'data/big.dat': generator.randbytes(size), 'data/small.dat': generator.randbytes(3000)}
    matrix = Matrix(files)
    flood = None
    try:
        level = 'debug' if options.mode == 'digest' else 'info'
        metrics_port_file = os.path.join(matrix.dir, 'metrics.port')
        extra = ['--max-clients', str(options.max_clients), '--log-level', level, '--stats-interval', '5',
                 '--metrics-port', '0', '--metrics-port-file', metrics_port_file]
        if options.idle_timeout is not None:
            extra += ['--idle-timeout', str(options.idle_timeout)]
        port = matrix.server(extra)
        server = matrix._run.servers[-1]
        lane = matrix.lane('clients', [port])
        scraper = Scraper(metrics_port_file)
        if options.mode == 'flood':
            flood = Flood(port, options.idle, options.addresses)
            time.sleep(1.0)
        if options.mode == 'digest':
            # A first run over a game whose big file is installed already: the client
            # digests it between the list and its first file request (for new.dat).
            game = matrix.game_dir()
            os.makedirs(os.path.join(game, 'data'))
            with open(os.path.join(game, 'data', 'big.dat'), 'wb') as f:
                f.truncate(size)
            results = [finish_client(matrix, lane, game)]
        else:
            spacing = options.over / options.clients
            starts = sorted(i * spacing if options.even else generator.uniform(0, options.over)
                            for i in range(options.clients))
            origin = time.monotonic() + 0.5
            with ThreadPoolExecutor(max_workers=min(options.jobs, options.clients)) as pool:
                results = list(pool.map(lambda at: run_client(matrix, lane, at, origin), starts))
        scraper.stop()
        rss = peak_rss_kib(server.process.pid)
        cpu = cpu_seconds(server.process.pid)
        log = server.log_text()
    finally:
        if flood is not None:
            flood.stop()
        matrix.close()

    longest_wait, reasons = server_figures(log)
    failures = [problems for _, problems, _ in results if problems]
    durations = [elapsed for elapsed, _, _ in results]
    # What the operator reads must add up with what the clients saw.
    fetched = sum(count for _, _, count in results)
    finished = scraper.value('files_finished_total')
    if scraper.value('accepted_total') < len(results) or (not failures and finished != fetched):
        failures.append(['metrics: %d accepted for %d clients, %d files finished for %d fetched'
                         % (scraper.value('accepted_total'), len(results), finished, fetched)])
    print('patch day %s (seed %d): %d of %d runs complete byte for byte; --max-clients %d, %.1f MB file'
          % (options.mode, options.seed, len(results) - len(failures), len(results), options.max_clients,
             size / 1048576.0))
    print('  longest wait for a slot %.1f s; runs took %.1f s at most, %.1f s on average'
          % (longest_wait / 1000.0, max(durations), sum(durations) / len(durations)))
    print('  server peak RSS %d KiB, %.1f s of CPU; closed or refused: %s' % (rss, cpu, reasons))
    print('  metrics (%d scrapes): %d accepted, %d requests, %d bytes, %d files finished (the clients fetched %d), '
          'at most %d waiting; closed %d, refused %d'
          % (scraper.scrapes, scraper.value('accepted_total'), scraper.value('requests_total'),
             scraper.value('bytes_total'), finished, fetched, scraper.peak_waiting,
             scraper.value('closed_total'), scraper.value('refused_total')))
    if flood is not None:
        print('  flood: %d idle connections from %d addresses, opened again %d times'
              % (options.idle, options.addresses + 1, flood.reconnects))
    if options.mode == 'digest':
        print('  %d connections; silent %s s between the package file and the first file request '
              '(--idle-timeout %s)' % (log.count(' connected\n'), digest_pause(log), options.idle_timeout))
    print('  wall time %.0f s' % (time.monotonic() - started))
    for problems in failures[:10]:
        print('FAILED ' + '; '.join(problems))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
