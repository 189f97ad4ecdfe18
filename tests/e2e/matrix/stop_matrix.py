"""Stops at random moments: each launcher calls EndUpdate at a moment drawn (seeded)
from a fast transfer, from a slow one, from a signed build's files coming over
HTTP from a slow mirror, or from the wait on a server that never answers; EndUpdate must return within 4.1 s with no
message after it, the launcher must exit within 10 s after that, and the next run on
the same game directory must complete. Prints the figures; exits 1 when any stop broke a rule.

    python3 stop_matrix.py [--fast N] [--slow N] [--http N] [--silent N] [--seed S]   (flavour from
    AUTOUPDATE_E2E_FLAVOUR, binaries from AUTOUPDATE_BUILD_DIR / _WIN_BUILD_DIR)"""
import argparse
import random
import socket
import sys
import threading
import time

from lanes import Matrix, package_files, percentile, run_parallel

END_LIMIT = 4.1
# Measured to the process's exit, not to the end of its output, which Wine's own
# processes may hold on to.
EXIT_LIMIT = 10.0
# Small chunks make the transfer crawl, so that a stop lands in a long read loop.
SLOW_CHUNK = 256
# The mirror sends each answer at this rate, so the files take about a second.
HTTP_RATE = 192 * 1024


def silent_server():
    """A listener on 127.0.0.1 that accepts connections and never answers; returns
    (port, close function)."""
    listener = socket.socket()
    listener.bind(('127.0.0.1', 0))
    listener.listen(16)
    held = []

    def accept():
        while True:
            try:
                held.append(listener.accept()[0])
            except OSError:
                return

    threading.Thread(target=accept, daemon=True).start()

    def close():
        listener.close()
        for connection in held:
            connection.close()

    return listener.getsockname()[1], close


def calibrate(lane, matrix):
    """Seconds after AutoUpdate returned at which the package download starts and the
    run ends, on the fast server."""
    game = matrix.game_dir()
    run = lane.launch(game)
    start = run.first('# AutoUpdate returned')
    begin, end = run.first('11111 4 10'), run.first('11111 5 ')
    if run.exit_code != 0 or None in (start, begin, end):
        sys.exit('calibration run failed:\n' + run.describe())
    return begin - start, end - start


def one_stop(case):
    kind, stop_after, lane, rerun_lane, matrix = case
    game = matrix.game_dir()
    stopped = lane.launch(game, stop_after=stop_after, timeout=120, limit=60)
    problems = []
    returned = stopped.first('# AutoUpdate returned')
    ended = stopped.first('# EndUpdate returned')
    duration = exit_delay = None
    if stopped.hung:
        problems.append('the launcher did not exit')
    if returned is None or ended is None:
        problems.append('no AutoUpdate or EndUpdate line')
    else:
        duration = ended - returned - stop_after
        if duration > END_LIMIT:
            problems.append('EndUpdate took %.3f s' % duration)
        if stopped.exited_at is not None:
            exit_delay = stopped.exited_at - ended
            if exit_delay > EXIT_LIMIT:
                problems.append('the launcher exited %.1f s after EndUpdate returned' % exit_delay)
    if stopped.after_end() or stopped.late_warning():
        problems.append('message after EndUpdate: %r' % stopped.after_end())
    if stopped.exit_code not in (0, 1, 3):
        problems.append('exit code %s' % stopped.exit_code)
    before_end = stopped.exit_code != 3

    rerun = rerun_lane.launch(game, timeout=120)
    if rerun.exit_code != 0 or rerun.first('11111 5 1') is None:
        problems.append('the next run did not complete (exit %s)' % rerun.exit_code)
    problems += matrix.complete(game)
    detail = ''
    if problems:
        detail = '%s stop at %.3f s in %s: %s\n%s\n--- next run\n%s' % (
            kind, stop_after, game, '; '.join(problems), stopped.describe(), rerun.describe())
    return kind, duration, before_end, detail, exit_delay


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--fast', type=int, default=100)
    parser.add_argument('--slow', type=int, default=100)
    parser.add_argument('--http', type=int, default=20,
                        help='stops while a signed build comes from an HTTP mirror')
    parser.add_argument('--silent', type=int, default=10,
                        help='stops while the worker waits on a server that never answers')
    parser.add_argument('--seed', type=int, default=20261208)
    options = parser.parse_args()

    started = time.monotonic()
    matrix = Matrix(package_files(options.seed, 6, 96 * 1024), signed=options.http > 0)
    silent_port, close_silent = silent_server()
    try:
        fast_port = matrix.server()
        slow_port = matrix.server(['--chunk', str(SLOW_CHUNK)])
        fast = matrix.lane('fast', [fast_port])
        slow = matrix.lane('slow', [slow_port])
        begin, end = calibrate(fast, matrix)
        generator = random.Random(options.seed)
        cases = [('fast', generator.uniform(begin, end), fast, fast, matrix)
                 for _ in range(options.fast)]
        # The slow transfer lasts far longer than this: every moment lands inside it.
        cases += [('slow', generator.uniform(begin, begin + 3.0), slow, fast, matrix)
                  for _ in range(options.slow)]
        # The request goes out after the worker's pause of 2 s; from then on it waits
        # in recv until EndUpdate fails it.
        if options.http:
            http = matrix.lane('http', [matrix.server(matrix.mirror(HTTP_RATE))], keyed=True)
            http_begin, http_end = calibrate(http, matrix)
            cases += [('http', generator.uniform(http_begin, http_end), http, http, matrix)
                      for _ in range(options.http)]
        silent = matrix.lane('silent', [silent_port])
        cases += [('silent', generator.uniform(begin, begin + 2.0), silent, fast, matrix)
                  for _ in range(options.silent)]
        results = run_parallel(one_stop, cases)
    finally:
        close_silent()
        matrix.close()

    failures = [r[3] for r in results if r[3]]
    print('stop matrix (%s, seed %d): fast window %.2f..%.2f s after AutoUpdate returned'
          % (matrix.flavour.name, options.seed, begin, end))
    for kind in ('fast', 'slow', 'http', 'silent'):
        durations = [r[1] for r in results if r[0] == kind and r[1] is not None]
        exits = [r[4] for r in results if r[0] == kind and r[4] is not None]
        early = sum(1 for r in results if r[0] == kind and r[2])
        bad = sum(1 for r in results if r[0] == kind and r[3])
        if durations:
            print('  %s: %d stops, %d failed, %d ran to their end before the stop; '
                  'EndUpdate median %.3f s, p95 %.3f s, max %.3f s; exit after it max %.3f s'
                  % (kind, len([r for r in results if r[0] == kind]), bad, early,
                     percentile(durations, 0.5), percentile(durations, 0.95), max(durations),
                     max(exits or [0])))
    print('  wall time %.0f s' % (time.monotonic() - started))
    for detail in failures:
        print('FAILED ' + detail)
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
