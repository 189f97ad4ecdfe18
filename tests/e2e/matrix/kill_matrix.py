"""Killed launchers: SIGKILL to the launcher (under Wine to the process that runs
update-host.exe, Wine's TerminateProcess) at moments drawn (seeded) from the fetch
and the install of an update over an earlier version; the next run on the same game
directory must complete byte for byte, with nothing stray left. Prints the figures;
exits 1 on any fault.

    python3 kill_matrix.py [--kills N] [--seed S]"""
import argparse
import random
import sys
import time

from lanes import Matrix, package_files, run_parallel

# The mirror sends each answer at this rate, so the files take about a second.
HTTP_RATE = 256 * 1024
BASE = {'data/part%02d.dat' % i: b'old version %d\n' % i * 4000 for i in range(6)}


def one_kill(case):
    mark, moment, matrix, template, lane = case
    game = matrix.copy_game(template)
    killed = lane.launch(game, kill_after=moment, kill_mark=mark, timeout=120)
    phase = 'not reached'
    if killed.killed_at is None or killed.first('11111 5 ') is not None:
        phase = 'ended before the kill'
    elif killed.first('11111 4 0') is not None:
        phase = 'install'
    elif killed.first('11111 4 10') is not None:
        phase = 'fetch'
    rerun = lane.launch(game, timeout=120)
    problems = []
    if rerun.exit_code != 0 or rerun.first('11111 5 1') is None:
        problems.append('the next run did not complete (exit %s)' % rerun.exit_code)
    problems += matrix.complete(game)
    detail = ''
    if problems:
        detail = 'kill at %.3f s (%s) in %s: %s\n--- killed\n%s\n--- next run\n%s' % (
            moment, phase, game, '; '.join(problems), killed.describe(), rerun.describe())
    return phase, detail


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--kills', type=int, default=30)
    parser.add_argument('--http-kills', type=int, default=10,
                        help='kills while a signed build comes from an HTTP mirror, and the next run resumes there')
    parser.add_argument('--seed', type=int, default=20261208)
    options = parser.parse_args()
    started = time.monotonic()

    files = package_files(options.seed, 6, 160 * 1024)
    # Half the earlier files differ from the new ones in one stretch, so a kill
    # also falls into patches built from the installed copy; the rest travel whole.
    base = dict(BASE)
    for path in sorted(files)[:3]:
        base[path] = files[path][:80000] + bytes(4096) + files[path][84096:]
    matrix = Matrix(files, signed=options.http_kills > 0)
    try:
        template = matrix.install_base(base)
        lane = matrix.lane('sound', [matrix.server()])
        calibration = lane.launch(matrix.copy_game(template))
        returned = calibration.first('# AutoUpdate returned')
        begin, fetched = calibration.first('11111 4 10'), calibration.first('11111 4 0')
        end = calibration.first('11111 5 1')
        if calibration.exit_code != 0 or None in (returned, begin, fetched, end):
            sys.exit('calibration run failed:\n' + calibration.describe())
        begin, fetched, end = begin - returned, fetched - returned, end - returned
        generator = random.Random(options.seed)
        # Two thirds of the kills fall in the fetch, a third in the install, which
        # lasts only milliseconds: those are timed from the message that starts it.
        install = max(end - fetched, 0.005)
        # Runs vary in length, so the fetch kills keep clear of its last fifth.
        cases = [('11111 4 10', generator.uniform(0, 0.8 * (fetched - begin))) if i % 3 else
                 ('11111 4 0', generator.uniform(0, install)) for i in range(options.kills)]
        cases = [(mark, moment, matrix, template, lane) for mark, moment in cases]
        if options.http_kills:
            http = matrix.lane('http', [matrix.server(matrix.mirror(HTTP_RATE))], keyed=True)
            calibration = http.launch(matrix.copy_game(template))
            begin, fetched = calibration.first('11111 4 10'), calibration.first('11111 4 0')
            if calibration.exit_code != 0 or None in (begin, fetched):
                sys.exit('calibration run over HTTP failed:\n' + calibration.describe())
            cases += [('11111 4 10', generator.uniform(0, fetched - begin), matrix, template, http)
                      for _ in range(options.http_kills)]
        results = run_parallel(one_kill, cases)
    finally:
        matrix.close()

    failures = [detail for _, detail in results if detail]
    phases = {}
    for phase, _ in results:
        phases[phase] = phases.get(phase, 0) + 1
    print('kill matrix (%s, seed %d): %d kills between %.2f and %.2f s after AutoUpdate '
          'returned (%s), %d failed, wall time %.0f s'
          % (matrix.flavour.name, options.seed, len(results), begin, end,
             ', '.join('%d in %s' % (n, p) for p, n in sorted(phases.items())), len(failures),
             time.monotonic() - started))
    for detail in failures:
        print('FAILED ' + detail)
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
