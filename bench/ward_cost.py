#!/usr/bin/python3
"""The level-summed Ward cost of brivane's trees: approximate Ward over the
known pairs (1 % of all pairs, and 20 per object) against exact Ward, with
exact average and complete linkage beside them, on Fashion-MNIST's first
training images (Debian's dataset-fashion-mnist, 784 columns) and on a
Gaussian mixture (40 components in 100 dimensions).

The cost of a tree is the within-cluster sum of squares summed over every
level: sum over the merges k = 1 ... N-1, in order, of (N - k) * D_k, where
D_k = |A||B| / (|A| + |B|) * |c_A - c_B|^2 is merge k's increase (the plain
sum of the D_k is the total sum of squares, the same for every tree).  Each
tree's cost is printed as a ratio to exact Ward's, with the clustering
phase's seconds as the run reported them.

    bench/ward_cost.py [--rows 20000] [--dir /tmp/ward_cost] [--brivane build/brivane]
                       [--threads 2] [--seed 1] [--only fashion,mixture]
"""
import argparse
import gzip
import os
import re
import subprocess
import sys

import netCDF4
import numpy as np

FASHION = "/usr/share/datasets/fashion-mnist/train-images-idx3-ubyte.gz"


def fashion(rows):
    with gzip.open(FASHION, "rb") as f:
        data = f.read()
    # idx3: magic, count, rows, cols (big-endian int32), then the bytes.
    count = int.from_bytes(data[4:8], "big")
    x = np.frombuffer(data, np.uint8, offset=16).reshape(count, 784)
    return x[:rows].astype(np.float32)


def mixture(rows, seed=5):
    rng = np.random.default_rng(seed)
    centres = rng.normal(0, 4, (40, 100))
    return (centres[rng.integers(0, 40, rows)] + rng.normal(0, 1, (rows, 100))).astype(np.float32)


def write(path, x):
    with netCDF4.Dataset(path, "w", format="NETCDF3_64BIT_OFFSET") as ds:
        ds.createDimension("obj", x.shape[0])
        ds.createDimension("feat", x.shape[1])
        ds.createVariable("x", "f4", ("obj", "feat"))[...] = x


def merges(path, n):
    """The children of each merge in merge order, as object-or-merge ids
    (0..n-1 objects, n+k merge k)."""
    with netCDF4.Dataset(path) as ds:
        left = ds["row_left"][:]
        right = ds["row_right"][:]
        new2old = ds["row_new2old"][:]
    def child(c):
        return c if c >= n else new2old[c]
    return [(child(left[k]), child(right[k])) for k in range(n, 2 * n - 1)]


def level_cost(x, pairs):
    n = x.shape[0]
    x = x.astype(np.float64)
    sums = np.zeros((2 * n - 1, x.shape[1]))
    sums[:n] = x
    sizes = np.ones(2 * n - 1)
    cost = 0.0
    for k, (a, b) in enumerate(pairs):
        na, nb = sizes[a], sizes[b]
        d = sums[a] / na - sums[b] / nb
        cost += (n - k - 1) * na * nb / (na + nb) * float(d @ d)
        sums[n + k] = sums[a] + sums[b]
        sizes[n + k] = na + nb
    return cost


def run(brivane, src, out, args, threads):
    cmd = [brivane, "-i", src, "-o", out, "-d", "euclidean", "-R", "1", "-j", str(threads)] + args
    r = subprocess.run(cmd, capture_output=True, text=True)
    if r.returncode != 0:
        sys.exit("failed: %s\n%s" % (" ".join(cmd), r.stderr))
    seconds = float(re.search(r"Running hierarchical clustering\.\.\. ([0-9.e+-]+) sec", r.stderr).group(1))
    return seconds


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=20000)
    ap.add_argument("--dir", default="/tmp/ward_cost")
    ap.add_argument("--brivane", default=os.path.join(os.path.dirname(__file__), "..", "build", "brivane"))
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--only", default="fashion,mixture")
    a = ap.parse_args()
    os.makedirs(a.dir, exist_ok=True)
    n = a.rows
    percent = n * (n - 1) // 200
    cases = [("exact Ward", ["-a", "-l", "ward", "-m", "8"]),
             ("Ward, 1 % of pairs", ["-M", str(percent), "-l", "ward", "-m", "8"]),
             ("Ward, 20 per object", ["-M", str(20 * n), "-l", "ward", "-m", "8"]),
             ("average, 1 % of pairs", ["-M", str(percent), "-l", "ave", "-m", "8", "-E", "compact"]),
             ("exact average", ["-a", "-l", "ave", "-m", "8"]),
             ("exact complete", ["-a", "-l", "max", "-m", "8"])]
    for name in a.only.split(","):
        x = fashion(n) if name == "fashion" else mixture(n)
        src = os.path.join(a.dir, "%s_%d.nc" % (name, n))
        if not os.path.exists(src):
            write(src, x)
        print("%s, %d x %d, -j %d" % (name, n, x.shape[1], a.threads))
        print("| tree | cost / exact Ward's | clustering |")
        print("|---|---|---|")
        exact = None
        for label, args in cases:
            out = os.path.join(a.dir, "out.nc")
            seconds = run(a.brivane, src, out, args, a.threads)
            cost = level_cost(x, merges(out, n))
            exact = cost if exact is None else exact
            print("| %s | %.4f | %.2f s |" % (label, cost / exact, seconds), flush=True)
        print()


if __name__ == "__main__":
    main()
