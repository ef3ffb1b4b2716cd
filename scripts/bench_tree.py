#!/usr/bin/env python3
"""Generates a content tree for scripts/bench: COUNT files in folders three levels deep,
about 30 to a folder. Most files are a few KiB; one in 200 is 1 to 4 MiB. The same COUNT
always gives the same tree (names, sizes and bytes).

Usage: bench_tree.py COUNT FOLDER     (FOLDER must not exist yet)
"""

import os
import random
import sys

FILES_PER_FOLDER = 30
BIG_ONE_IN = 200
EXTENSIONS = (".qst", ".txt", ".bmp", ".wav", ".dat")


def file_size(rng):
    if rng.randrange(BIG_ONE_IN) == 0:
        return rng.randint(1 << 20, 4 << 20)
    # Mostly 1 to 8 KiB, a few smaller or larger.
    return max(16, int(rng.lognormvariate(8.3, 0.8)))


def generate(count, folder):
    rng = random.Random(count)
    block = random.Random(1).randbytes(4 << 20)
    os.makedirs(folder)
    total = 0
    for index in range(count):
        leaf = index // FILES_PER_FOLDER
        where = os.path.join(folder, "q%02d" % (leaf // 100), "a%d" % (leaf // 10 % 10),
                             "b%d" % (leaf % 10))
        if index % FILES_PER_FOLDER == 0:
            os.makedirs(where, exist_ok=True)
        size = min(file_size(rng), len(block))
        start = rng.randrange(len(block) - size + 1)
        name = "file%05d%s" % (index, EXTENSIONS[index % len(EXTENSIONS)])
        with open(os.path.join(where, name), "wb") as f:
            f.write(b"%d\n" % index)
            f.write(block[start:start + size])
        total += size
    return total


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    total = generate(int(sys.argv[1]), sys.argv[2])
    print("%s: %s files, %.0f MiB" % (sys.argv[2], sys.argv[1], total / (1 << 20)))


if __name__ == "__main__":
    main()
