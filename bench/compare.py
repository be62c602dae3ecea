#!/usr/bin/python3
"""Wall time and peak memory of brivane against exact clustering with SciPy
(pairwise distances plus average linkage) on the same generated data, in the
same run, alternating the two.

    bench/compare.py [--brivane build/brivane] [--sizes exact|approx|budget|all] [--repeat 1]

Data: Gaussian groups, ncDouble, 100 columns.  "budget" runs brivane alone
with default options at N = 100,000, where the exact peer would need some
40 GB for its distance matrix; it shows whether the 30-second time budget
holds.  Times are wall seconds, memory the peak resident size; the ratios are
brivane's time and memory as a fraction of the peer's."""
import argparse
import os
import subprocess
import sys
import tempfile

import netCDF4
import numpy as np

RUNNER = r"""
import resource, subprocess, sys, time
t = time.time()
status = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
wall = time.time() - t
print(status, wall, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
"""

PEER = r"""
import sys
import netCDF4
from scipy.cluster.hierarchy import linkage
from scipy.spatial.distance import pdist
with netCDF4.Dataset(sys.argv[1]) as ds:
    x = ds.variables["x"][...].data
linkage(pdist(x, "euclidean"), "average")
"""


def measure(cmd):
    """Runs cmd in a fresh process; returns (status, seconds, peak RSS in MiB)."""
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
        ds.createVariable("x", "f8", ("obj", "feat"))[...] = x
    return x


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--brivane", default=os.path.join(os.path.dirname(__file__), "..", "build", "brivane"))
    ap.add_argument("--sizes", default="all", choices=["exact", "approx", "budget", "all"])
    ap.add_argument("--repeat", type=int, default=1)
    args = ap.parse_args()

    cases = []
    if args.sizes in ("exact", "all"):
        cases += [("exact -a", 5000, ["-a", "-m", "4"]), ("exact -a", 8000, ["-a", "-m", "9"])]
    if args.sizes in ("approx", "all"):
        for n in (20000, 40000):
            cases.append(("approx -M 1%", n, ["-M", str(int(0.01 * n * (n - 1) / 2)), "-m", "8"]))
            cases.append(("default -t 30", n, []))
    if args.sizes in ("budget", "all"):
        cases.append(("default -t 30, brivane only", 100000, []))

    print("| mode | N | brivane s | brivane MiB | SciPy s | SciPy MiB | SciPy time / brivane time | brivane memory / SciPy memory |")
    print("|---|---|---|---|---|---|---|---|")
    with tempfile.TemporaryDirectory() as tmp:
        for label, n, options in cases:
            src = os.path.join(tmp, "data%d.nc" % n)
            if not os.path.exists(src):
                make_data(src, n)
            ours, peer = [], []
            for _ in range(args.repeat):
                cmd = [args.brivane, "-i", src, "-o", os.path.join(tmp, "tree.nc"), "-d", "euclidean", "-R", "1"]
                ours.append(measure(cmd + options))
                if "brivane only" not in label:
                    peer.append(measure([sys.executable, "-c", PEER, src]))
            b = min(ours, key=lambda r: r[1])
            if not peer:
                if b[0] != 0:
                    print("| %s | %d | failed (status %d) | | - | - | - | - |" % (label, n, b[0]))
                    continue
                print("| %s | %d | %.2f | %.0f | - | - | - | - |" % (label, n, b[1], b[2]))
                sys.stdout.flush()
                continue
            s = min(peer, key=lambda r: r[1])
            if b[0] != 0 or s[0] != 0:
                print("| %s | %d | failed (status %d) | | failed (status %d) | | | |" % (label, n, b[0], s[0]))
                continue
            print("| %s | %d | %.2f | %.0f | %.2f | %.0f | %.2f | %.2f |"
                  % (label, n, b[1], b[2], s[1], s[2], s[1] / b[1], b[2] / s[2]))
            sys.stdout.flush()


if __name__ == "__main__":
    main()
