"""Dropped connections: for every chunk k of a multi-file update (the package file
first, then each file), a server that closes the connection after its k-th chunk.
With a second, sound server in gamedata.xml every run must complete byte for byte;
with the dropping server alone every run must end without "complete", leaving the
installed list, the digest file and the game files exactly as before, and the next
run against a sound server must complete. Prints the figures; exits 1 on any fault.

    python3 fault_matrix.py [--chunk N]"""
import argparse
import sys
import time

from lanes import Matrix, package_files, run_parallel

BASE = {'data/part%02d.dat' % i: b'old version %d\n' % i * 50 for i in range(4)}


def one_drop(case):
    k, matrix, template, lanes = case
    two, alone, sound = lanes[k]
    problems = []

    game = matrix.copy_game(template)
    run = two.launch(game, timeout=120)
    if run.exit_code != 0 or run.first('11111 5 1') is None:
        problems.append('two servers: not complete (exit %s)' % run.exit_code)
    problems += ['two servers: ' + p for p in matrix.complete(game)]
    first = run

    game = matrix.copy_game(template)
    before = matrix.state(game)
    run = alone.launch(game, timeout=120)
    if run.exit_code == 0 or run.first('11111 5 1') is not None:
        problems.append('one server: reported complete (exit %s)' % run.exit_code)
    after = matrix.state(game)
    if after != before:
        changed = sorted(p for p in set(before) | set(after) if before.get(p) != after.get(p))
        problems.append('one server: changed %s' % ', '.join(changed))
    healed = sound.launch(game, timeout=120)
    if healed.exit_code != 0:
        problems.append('rerun: not complete (exit %s)' % healed.exit_code)
    problems += ['rerun: ' + p for p in matrix.complete(game)]
    detail = ''
    if problems:
        detail = 'drop after chunk %d: %s\n--- two servers\n%s\n--- one server\n%s\n--- rerun\n%s' % (
            k, '; '.join(problems), first.describe(), run.describe(), healed.describe())
    return k, detail


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--chunk', type=int, default=1024)
    options = parser.parse_args()
    started = time.monotonic()

    # Files of 3, 5, 2 and 4 chunks; the package file takes one more.
    sizes = [3 * options.chunk - 100, 5 * options.chunk, 2 * options.chunk - 1, 4 * options.chunk - 7]
    files = {}
    for i, size in enumerate(sizes):
        files.update({'data/part%02d.dat' % i:
                      package_files(1000 + i, 1, size)['data/part00.dat']})
    matrix = Matrix(files)
    try:
        template = matrix.install_base(BASE)
        sound_port = matrix.server(['--chunk', str(options.chunk)])
        sound = matrix.lane('sound', [sound_port])
        # Payload bytes sent when chunk k is done: the package file's chunks come
        # first, then each file's. A drop after the very last chunk leaves nothing
        # missing, so it is no fault.
        chunks = []
        for size in [matrix.package_size()] + sizes:
            chunks += [min(options.chunk, size - offset) for offset in range(0, size, options.chunk)]
        sent = [sum(chunks[:k]) for k in range(1, len(chunks) + 1)]
        lanes = {}
        for k in range(1, len(chunks)):
            drop = matrix.server(['--chunk', str(options.chunk), '--drop-after', str(sent[k - 1])])
            lanes[k] = (matrix.lane('two-%d' % k, [drop, sound_port]),
                        matrix.lane('alone-%d' % k, [drop]), sound)
        results = run_parallel(one_drop, [(k, matrix, template, lanes) for k in lanes])
    finally:
        matrix.close()

    failures = [detail for _, detail in results if detail]
    print('fault matrix (%s): %d drop points (chunk %d), %d failed, wall time %.0f s'
          % (matrix.flavour.name, len(results), options.chunk, len(failures),
             time.monotonic() - started))
    for detail in failures:
        print('FAILED ' + detail)
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
