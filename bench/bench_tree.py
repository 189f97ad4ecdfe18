#!/usr/bin/env python3
"""Helpers of bench/throughput.sh.

    bench_tree.py make DIR MEGABYTES FILES    a game tree of FILES files, MEGABYTES in all
    bench_tree.py frames ROOT NAME CHUNK      reply frames a base-protocol run of NAME costs
    bench_tree.py fetch-list ROOT NAME URL DEST CURLCONFIG SUMS
                                              curl's config for every file of NAME, and the
                                              md5sum -c list of the fetched copies
    bench_tree.py objects-list TREE URL DEST CURLCONFIG SUMS
                                              the same for a tree's objects on an HTTP
                                              mirror (URL/objects/<h0h1>/<sha256>)
    bench_tree.py free-port                   a free TCP port on 127.0.0.1
"""
import hashlib
import os
import random
import socket
import sys
import zlib


def make(directory, megabytes, count):
    """Sizes spread from a quarter to twice the mean, random bytes, a few folders."""
    generator = random.Random(200)
    total = megabytes << 20
    weights = [generator.uniform(0.25, 2.0) for _ in range(count)]
    scale = total / sum(weights)
    sizes = [int(w * scale) for w in weights]
    sizes[-1] += total - sum(sizes)
    for i, size in enumerate(sizes):
        folder = os.path.join(directory, 'data%d' % (i % 8))
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, 'file%03d.bin' % i), 'wb') as f:
            f.write(generator.randbytes(size))


def records(root, name):
    """(path, size, system, md5) of each record of the package's list."""
    with open(os.path.join(root, name + '.cms'), 'rb') as f:
        text = zlib.decompress(f.read()).decode('latin-1')
    fields = text.split('\n')[2].rstrip('\r').split(',')
    return [(fields[i].replace('\\', '/'), int(fields[i + 1]), fields[i + 2] == '1', fields[i + 3])
            for i in range(0, len(fields) - 3, 4)]


def frames(root, name, chunk):
    """The package reply, then every chunk of the package and of each file."""
    def chunks(size):
        return max(1, -(-size // chunk))
    package_size = os.path.getsize(os.path.join(root, name + '.cms'))
    total_bytes = sum(size for _, size, _, _ in records(root, name))
    count = 1 + chunks(package_size) + sum(chunks(size) for _, size, _, _ in records(root, name))
    print(count, total_bytes)


def fetch_list(root, name, url, destination, config_path, sums_path):
    with open(config_path, 'w') as config, open(sums_path, 'w') as sums:
        for path, _, system, md5 in records(root, name):
            if system:
                continue
            config.write('url = "%s%s"\noutput = "%s%s"\n' % (url, path, destination, path))
            sums.write('%s  %s%s\n' % (md5, destination, path))


def objects_list(tree, url, destination, config_path, sums_path):
    """Each file of tree by the name make-package gives its object: its SHA-256."""
    with open(config_path, 'w') as config, open(sums_path, 'w') as sums:
        for folder, _, names in sorted(os.walk(tree)):
            for name in sorted(names):
                sha, md5 = hashlib.sha256(), hashlib.md5()
                with open(os.path.join(folder, name), 'rb') as f:
                    for block in iter(lambda: f.read(1 << 20), b''):
                        sha.update(block)
                        md5.update(block)
                h = sha.hexdigest()
                config.write('url = "%sobjects/%s/%s"\noutput = "%s/%s"\n' % (url, h[:2], h, destination, h))
                sums.write('%s  %s/%s\n' % (md5.hexdigest(), destination, h))


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        print(s.getsockname()[1])


def main(argv):
    if len(argv) >= 2 and argv[1] == 'make' and len(argv) == 5:
        make(argv[2], int(argv[3]), int(argv[4]))
    elif len(argv) >= 2 and argv[1] == 'frames' and len(argv) == 5:
        frames(argv[2], argv[3], int(argv[4]))
    elif len(argv) >= 2 and argv[1] == 'fetch-list' and len(argv) == 8:
        fetch_list(*argv[2:8])
    elif len(argv) >= 2 and argv[1] == 'objects-list' and len(argv) == 7:
        objects_list(*argv[2:7])
    elif len(argv) == 2 and argv[1] == 'free-port':
        free_port()
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
