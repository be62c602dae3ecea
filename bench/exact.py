#!/usr/bin/python3
"""Exact clustering: brivane's dense engine (-a -E dense) against SciPy's
pdist + linkage and fastcluster's linkage (over SciPy's pdist), on the same
generated data, alternating the programs; and a float distance matrix
clustered with -C distmat at the default budget.

    bench/exact.py [--brivane build/brivane] [--sizes 20000,40000]
                   [--linkages ave,min,max] [--threads 1,2] [--repeat 2]
                   [--distmat 20000] [--work /tmp/dense]

Data: Gaussian groups, ncDouble, 100 columns (as bench/compare.py).  brivane
is timed as a whole process (reading, distances, clustering, writing); the
peers around their calls only (the file is read before the clock starts).
Times are wall seconds, the best of --repeat runs; memory is the peak
resident size of the process.  "limit" is 1.05 x (matrix + input + 100 MB),
the matrix at 8 bytes per pair.  The peers need debian's python3-scipy and
python3-fastcluster."""
import argparse
import os
import subprocess
import sys

import netCDF4
import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from compare import make_data  # noqa: E402  the same generated data as the SciPy comparison

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
import netCDF4
from scipy.spatial.distance import pdist
path, peer, method = sys.argv[1:]
with netCDF4.Dataset(path) as ds:
    x = ds.variables["x"][...].data
if peer == "fastcluster":
    from fastcluster import linkage
else:
    from scipy.cluster.hierarchy import linkage
t = time.time()
linkage(pdist(x, "euclidean"), method)
print(time.time() - t)
"""

METHODS = {"ave": "average", "min": "single", "max": "complete", "weighted": "weighted", "ward": "ward",
           "centroid": "centroid", "median": "median"}


def measure(cmd):
    """Runs cmd in a fresh process: (status, seconds, peak RSS in MiB).  A
    command that prints a number last on standard output timed itself."""
    out = subprocess.run([sys.executable, "-c", RUNNER] + cmd, capture_output=True, text=True, check=True)
    status, wall, rss_kib = out.stdout.split()
    return int(status), float(wall), int(rss_kib) / 1024.0


def make_distmat(path, x):
    """The euclidean distances of x as an n x n float matrix, written in
    blocks of rows."""
    n = len(x)
    with netCDF4.Dataset(path, "w", format="NETCDF3_64BIT_OFFSET") as ds:
        ds.createDimension("a", n)
        ds.createDimension("b", n)
        var = ds.createVariable("d", "f4", ("a", "b"))
        sq = (x * x).sum(axis=1)
        for i in range(0, n, 1000):
            block = x[i:i + 1000]
            d2 = sq[i:i + 1000, None] + sq[None, :] - 2 * block @ x.T
            var[i:i + 1000, :] = np.sqrt(np.maximum(d2, 0)).astype(np.float32)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--brivane", default=os.path.join(os.path.dirname(__file__), "..", "build", "brivane"))
    ap.add_argument("--sizes", default="20000,40000")
    ap.add_argument("--linkages", default="ave,min,max")
    ap.add_argument("--threads", default="1,2")
    ap.add_argument("--peers", default="scipy,fastcluster")
    ap.add_argument("--repeat", type=int, default=2)
    ap.add_argument("--distmat", type=int, default=0, help="objects of the distance-matrix case (0: none)")
    ap.add_argument("--work", default="/tmp/dense")
    args = ap.parse_args()
    os.makedirs(args.work, exist_ok=True)
    threads = [int(t) for t in args.threads.split(",") if t]
    peers = [p for p in args.peers.split(",") if p]
    out = os.path.join(args.work, "tree.nc")

    print("| linkage | N | " + " | ".join("brivane -j %d s" % t for t in threads) + " | " +
          " | ".join("%s s" % p for p in peers) + " | " +
          " | ".join("-j %d / best peer" % t for t in threads) + " | brivane MiB | limit MiB |")
    print("|---" * (4 + 2 * len(threads) + len(peers)) + "|")
    for n in [int(s) for s in args.sizes.split(",") if s]:
        src = os.path.join(args.work, "exact%d.nc" % n)
        if not os.path.exists(src):
            make_data(src, n)
        limit = 1.05 * (8 * n * (n - 1) / 2 + 8 * 100 * n + 100e6) / 2 ** 20
        for linkage in args.linkages.split(","):
            ours = {t: [] for t in threads}
            theirs = {p: [] for p in peers}
            for _ in range(args.repeat):
                for t in threads:
                    ours[t].append(measure([args.brivane, "-i", src, "-o", out, "-d", "euclidean", "-a",
                                            "-E", "dense", "-l", linkage, "-j", str(t), "-m", "100"]))
                for p in peers:
                    theirs[p].append(measure([sys.executable, "-c", PEER, src, p, METHODS[linkage]]))
            best = {k: min(v, key=lambda r: r[1]) for k, v in list(ours.items()) + list(theirs.items())}
            failed = [str(k) for k, r in best.items() if r[0] != 0]
            if failed:
                print("| %s | %d | failed: %s |" % (linkage, n, ", ".join(failed)))
                continue
            peer_best = min(best[p][1] for p in peers) if peers else float("nan")
            print("| %s | %d | " % (linkage, n) + " | ".join("%.1f" % best[t][1] for t in threads) + " | " +
                  " | ".join("%.1f" % best[p][1] for p in peers) + " | " +
                  " | ".join("%.2f" % (best[t][1] / peer_best) for t in threads) +
                  " | %.0f | %.0f |" % (max(best[t][2] for t in threads), limit))
            sys.stdout.flush()

    if args.distmat:
        n = args.distmat
        src = os.path.join(args.work, "distmat%d.nc" % n)
        if not os.path.exists(src):
            make_distmat(src, make_data(os.path.join(args.work, "rows%d.nc" % n), n))
        status, wall, rss = measure([args.brivane, "-i", src, "-o", out, "-C", "distmat"])
        limit = 1.05 * (8 * n * (n - 1) / 2 + 100e6) / 2 ** 20
        print("\n-C distmat, %d x %d floats, default -m 2: status %d, %.1f s, %.0f MiB (limit without the "
              "input %.0f MiB)" % (n, n, status, wall, rss, limit))


if __name__ == "__main__":
    main()
