#!/usr/bin/python3
"""The cost of the Python interface: brivane.linkage(X) on 20,000 x 100
floats against the bare program on the same data with the same options (its
input file written beforehand), in turn, several times each; prints the best
and median seconds of both, the overhead and its share, and the parts of the
overhead (writing the input, reading the dendrogram into a linkage) with
netCDF4 and with SciPy's NetCDF module.  The target: the call takes at most
1.1 times the bare run plus 0.2 s.

    bench/python_overhead.py [--build build] [--runs 5] [--distances 400000,4000000]

Not a test: it takes minutes."""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))


def seconds(action):
    start = time.perf_counter()
    action()
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--distances", default="400000,4000000")
    parser.add_argument("--objects", type=int, default=20000)
    parser.add_argument("--values", type=int, default=100)
    args = parser.parse_args()
    sys.path.insert(0, os.path.join(args.build, "python"))
    os.environ["BRIVANE_BIN"] = os.path.abspath(args.build)
    import brivane
    from brivane import _netcdf, _tree

    import_seconds = min(seconds(lambda: subprocess.run([sys.executable, "-c", "import brivane"], check=True,
                                                        env=dict(os.environ, PYTHONPATH=os.path.join(args.build,
                                                                                                     "python"))))
                         for _ in range(3))
    X = np.random.default_rng(1).normal(size=(args.objects, args.values)).astype(np.float32)
    print("load: %s" % open("/proc/loadavg").read().split()[:3])
    print("import brivane (a new interpreter, best of 3): %.3f s" % import_seconds)
    with tempfile.TemporaryDirectory() as tmp:
        source, output = os.path.join(tmp, "in.nc"), os.path.join(tmp, "out.nc")
        for label, module in (("netCDF4", _netcdf.netCDF4), ("scipy.io", None)):
            saved, _netcdf.netCDF4 = _netcdf.netCDF4, module
            write = min(seconds(lambda: _netcdf.write(source, [("rows", X.shape[0]), ("cols", X.shape[1])],
                                                      [("data", ("rows", "cols"), X)])) for _ in range(3))
            subprocess.run([brivane.program(), "-i", source, "-o", output, "-D", "data", "-d", "euclidean",
                            "-M", "400000", "-R", "1"], check=True, capture_output=True)
            read = min(seconds(lambda: _tree.read_output(output)) for _ in range(3))
            _netcdf.netCDF4 = saved
            print("%-8s write the input %.3f s, read the dendrogram into a linkage %.3f s" % (label, write, read))

        for count in (int(c) for c in args.distances.split(",")):
            words = [brivane.program(), "-i", source, "-o", output, "-C", "rows", "-D", "data", "-d", "euclidean",
                     "-l", "ave", "-m", "2.0", "-M", str(count), "-R", "1"]
            bare, call = [], []
            for _ in range(args.runs):
                bare.append(seconds(lambda: subprocess.run(words, check=True, capture_output=True)))
                call.append(seconds(lambda: brivane.linkage(X, num_distances=count, seed=1)))
            b, c = statistics.median(bare), statistics.median(call)
            # Pair by pair, so that a drift of the machine's speed cancels.
            ratio = statistics.median(y / x for x, y in zip(bare, call))
            extra = statistics.median(y - x for x, y in zip(bare, call))
            print("-M %d: bare best %.2f median %.2f s; Python best %.2f median %.2f s; per pair: ratio %.3f, "
                  "overhead %.2f s; target (call <= 1.1 bare + 0.2 s, medians) %.2f s: %s"
                  % (count, min(bare), b, min(call), c, ratio, extra, 1.1 * b + 0.2,
                     "met" if c <= 1.1 * b + 0.2 else "missed"))
    print("load: %s" % open("/proc/loadavg").read().split()[:3])


if __name__ == "__main__":
    main()
