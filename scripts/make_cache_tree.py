#!/usr/bin/env python3
"""Makes a cache tree for the benchmarks: COUNT files in folders of about 500, named as the proxy
names its objects (16 bytes in base64 with "-" for "/", "==" included), sizes of 100 B to 20 KB
(sparse: only the sizes matter), distinct random times of last use, each the access time of half
the files and the write time of the others (the other time older), the same tree every time from
the same seed. Prints the total size and the limit at which exactly a tenth of the files is over
it.
Usage: make_cache_tree.py ROOT COUNT"""
import base64
import os
import random
import sys

root, count = sys.argv[1], int(sys.argv[2])
rng = random.Random(20261208)
folders = [os.path.join(root, "%03x" % n) for n in range(max(1, count // 500))]
for folder in folders:
    os.makedirs(folder)
times = rng.sample(range(count * 10), count)
files = []
for i in range(count):
    name = base64.b64encode(rng.randbytes(16), b"+-").decode()
    path = os.path.join(rng.choice(folders), name)
    size = rng.randint(100, 20480)
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    os.ftruncate(fd, size)
    os.close(fd)
    used = 1400000000 + times[i]
    older = used - rng.randint(1, 10**7)
    os.utime(path, (used, older) if rng.random() < 0.5 else (older, used))
    files.append((used, size))
files.sort()
total = sum(size for _, size in files)
print(total, total - sum(size for _, size in files[: count // 10]))
