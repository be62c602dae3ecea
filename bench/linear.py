#!/usr/bin/python3
"""Exact clustering in linear memory: brivane's linear engine (-a -E linear)
against fastcluster's linkage_vector, which works from the data in the same
memory, on the same generated float data, alternating the programs; and
whether both give the same tree.

    bench/linear.py [--brivane build/brivane] [--cases min:100000,ward:50000]
                    [--threads 2] [--repeat 2] [--work /tmp/linear]

Data: Gaussian groups (as bench/compare.py), ncFloat, 100 columns.  brivane
is timed as a whole process (reading, clustering, writing); fastcluster
around its call only (the file is read before the clock starts).  Times are
wall seconds, the best of --repeat runs; memory is the peak resident size
of the process.  "limit" is input + 10 % + 100 MB.  The peer needs Debian's
python3-fastcluster."""
import argparse
import os
import subprocess
import sys

import netCDF4
import numpy as np

RUNNER = r"""
import resource, subprocess, sys, time
t = time.time()
out = subprocess.run(sys.argv[1:], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
wall = time.time() - t
inner = out.stdout.decode().split()
print(out.returncode, inner[-1] if inner else wall, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
"""

PEER = r"""
import sys, time
import netCDF4, numpy as np
from fastcluster import linkage_vector
path, method, heights = sys.argv[1:]
with netCDF4.Dataset(path) as ds:
    x = np.asarray(ds.variables["x"][...].data, dtype=np.float64)
t = time.time()
z = linkage_vector(x, method)
seconds = time.time() - t
np.save(heights, np.sort(z[:, 2]))
print(seconds)
"""

METHODS = {"min": "single", "ward": "ward", "centroid": "centroid", "median": "median"}


def measure(cmd):
    """Runs cmd in a fresh process: (status, seconds, peak RSS in MiB).  A
    command that prints a number last on standard output timed itself."""
    out = subprocess.run([sys.executable, "-c", RUNNER] + cmd, capture_output=True, text=True, check=True)
    status, wall, rss_kib = out.stdout.split()
    return int(status), float(wall), int(rss_kib) / 1024.0


def make_data(path, n, groups=10, columns=100, seed=1):
    rng = np.random.default_rng(seed)
    centres = rng.normal(0, 6, (groups, columns))
    x = centres[rng.integers(0, groups, n)] + rng.normal(0, 1, (n, columns))
    with netCDF4.Dataset(path, "w", format="NETCDF3_CLASSIC") as ds:
        ds.createDimension("obj", n)
        ds.createDimension("feat", columns)
        ds.createVariable("x", "f4", ("obj", "feat"))[...] = x.astype(np.float32)


def brivane_heights(path):
    with netCDF4.Dataset(path) as ds:
        d = np.asarray(ds.variables["row_distance"][...])
        return np.sort(d[(len(d) + 1) // 2:])


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--brivane", default=os.path.join(os.path.dirname(__file__), "..", "build", "brivane"))
    ap.add_argument("--cases", default="min:100000,ward:50000")
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--repeat", type=int, default=2)
    ap.add_argument("--work", default="/tmp/linear")
    args = ap.parse_args()
    os.makedirs(args.work, exist_ok=True)
    print("| linkage | N | brivane -j %d s | fastcluster s | ratio | brivane MiB | fastcluster MiB | limit MiB | "
          "heights |" % args.threads)
    print("|---|---|---|---|---|---|---|---|---|")
    for case in args.cases.split(","):
        linkage, n = case.split(":")
        n = int(n)
        data = os.path.join(args.work, "x%d.nc" % n)
        if not os.path.exists(data):
            make_data(data, n)
        out = os.path.join(args.work, "out.nc")
        heights = os.path.join(args.work, "peer.npy")
        ours, peer = [], []
        for _ in range(args.repeat):
            ours.append(measure([args.brivane, "-i", data, "-o", out, "-d", "euclidean", "-a", "-l", linkage,
                                 "-E", "linear", "-j", str(args.threads), "-m", "20", "-R", "1"]))
            peer.append(measure([sys.executable, "-c", PEER, data, METHODS[linkage], heights]))
        if any(s != 0 for s, _, _ in ours + peer):
            sys.exit("a run failed: %s %s" % (ours, peer))
        # linkage_vector works in doubles from the float data, as brivane's
        # measure does: the heights agree to rounding.
        got, want = brivane_heights(out), np.load(heights)
        rel = np.max(np.abs(got - want) / np.maximum(want, 1e-300))
        b, p = min(w for _, w, _ in ours), min(w for _, w, _ in peer)
        limit = (4.0 * n * 100 * 1.1) / 2 ** 20 + 100
        print("| %s | %d | %.1f | %.1f | %.2f | %.0f | %.0f | %.0f | max rel. diff %.1e |"
              % (linkage, n, b, p, b / p, max(m for _, _, m in ours), max(m for _, _, m in peer), limit, rel))
        sys.stdout.flush()


if __name__ == "__main__":
    main()
