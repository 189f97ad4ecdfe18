#!/usr/bin/env python3
"""The builds of bench/patch_bench.sh, each derived from the one before, seeded.

    patch_data.py random FILE MEGABYTES          a file of random bytes
    patch_data.py middle FILE MEGABYTES          that many MB replaced in the middle
    patch_data.py scatter FILE PERCENT BLOCK     PERCENT of the BLOCK-byte blocks replaced, at random
    patch_data.py insert FILE MEGABYTES          that many MB inserted at the start
    patch_data.py text DIR MEGABYTES FILES       text and configuration files, MEGABYTES in all
"""
import os
import random
import sys

MB = 1 << 20


def replace_at(path, offset, data):
    with open(path, 'r+b') as f:
        f.seek(offset)
        f.write(data)


def scatter(path, percent, block, generator):
    blocks = os.path.getsize(path) // block
    for index in generator.sample(range(blocks), blocks * percent // 100):
        replace_at(path, index * block, generator.randbytes(block))


def insert(path, data):
    with open(path, 'rb') as f:
        rest = f.read()
    with open(path, 'wb') as f:
        f.write(data)
        f.write(rest)


def text(directory, megabytes, count, generator):
    """Key = value lines and tables of numbers, the kind games ship as .ini, .cfg and .csv."""
    words = ['weapon', 'damage', 'speed', 'range', 'armor', 'quest', 'reward', 'level', 'npc', 'dialog',
             'spawn', 'item', 'drop', 'rate', 'cooldown', 'skill', 'map', 'zone', 'price', 'stack']
    per_file = (megabytes * MB) // count
    for i in range(count):
        folder = os.path.join(directory, 'config%d' % (i % 5))
        os.makedirs(folder, exist_ok=True)
        lines, size = [], 0
        while size < per_file:
            if generator.random() < 0.5:
                line = '%s_%s_%d = %d\n' % (generator.choice(words), generator.choice(words),
                                            generator.randrange(5000), generator.randrange(100000))
            else:
                line = ','.join(str(generator.randrange(1000)) for _ in range(8)) + '\n'
            lines.append(line)
            size += len(line)
        suffix = ('ini', 'cfg', 'csv', 'txt', 'xml')[i % 5]
        with open(os.path.join(folder, 'table%03d.%s' % (i, suffix)), 'w') as f:
            f.write(''.join(lines)[:per_file])


def main(argv):
    generator = random.Random(' '.join(argv[1:]))
    kind, target = argv[1], argv[2]
    if kind == 'random' and len(argv) == 4:
        with open(target, 'wb') as f:
            for _ in range(int(argv[3])):
                f.write(generator.randbytes(MB))
    elif kind == 'middle' and len(argv) == 4:
        size = int(argv[3]) * MB
        replace_at(target, (os.path.getsize(target) - size) // 2, generator.randbytes(size))
    elif kind == 'scatter' and len(argv) == 5:
        scatter(target, int(argv[3]), int(argv[4]), generator)
    elif kind == 'insert' and len(argv) == 4:
        insert(target, generator.randbytes(int(argv[3]) * MB))
    elif kind == 'text' and len(argv) == 5:
        text(target, int(argv[3]), int(argv[4]), generator)
    else:
        sys.exit(__doc__)


if __name__ == '__main__':
    main(sys.argv)
