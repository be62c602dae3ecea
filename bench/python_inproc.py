#!/usr/bin/python3
"""The Python package's run against the library alone and the program: one
data set (default 10^6 x 100 float32, num_distances 24,000,000, seed 1), run
in turn by

  library  a small C++ driver (compiled here against build/libbrivane.a) that
           reads the raw array into memory and times brivane::cluster;
  python   a fresh interpreter that reads the same raw array with NumPy and
           times brivane.linkage (the call, the linkage matrix included);
  program  the brivane program on the same array in a NetCDF file;

each in a process of its own, whose peak RSS (ru_maxrss of the child) is the
run's peak memory.  Prints every run and, per kind, the best wall time and
peak; the targets are python within 2 % of the library's time and within 5 %
above the program's peak memory.

    bench/python_inproc.py [--build build] [--objects 1000000] [--values 100]
                           [--distances 24000000] [--rounds 2]

Not a test: at the default size each run takes about a minute."""
import argparse
import os
import subprocess
import sys
import tempfile

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))

DRIVER = r"""
#include <brivane/brivane.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>
int main(int argc, char **argv)
{
    long rows = atol(argv[2]), cols = atol(argv[3]);
    std::vector<float> x((size_t)rows * cols);
    FILE *f = fopen(argv[1], "rb");
    if (!f || fread(x.data(), sizeof(float), x.size(), f) != x.size())
        return 2;
    fclose(f);
    brivane::Options options;
    options.distance = "euclidean";
    options.num_distances = atol(argv[4]);
    options.random_seed = 1;
    options.memory = atof(argv[5]);
    auto start = std::chrono::steady_clock::now();
    brivane::Tree tree = brivane::cluster({x.data(), brivane::Type::Float, rows, cols}, options);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printf("%.3f %d\n", seconds, tree.left[tree.left.size() - 1]);
    return 0;
}
"""

PYTHON = r"""
import sys, time, numpy as np
sys.path.insert(0, sys.argv[1])
import brivane
rows, cols = int(sys.argv[3]), int(sys.argv[4])
X = np.fromfile(sys.argv[2], dtype=np.float32).reshape(rows, cols)
start = time.perf_counter()
Z = brivane.linkage(X, num_distances=int(sys.argv[5]), seed=1, memory=float(sys.argv[6]))
print("%.3f %d" % (time.perf_counter() - start, len(Z)))
"""


def measured(words):
    """(the run's first output word as seconds or None, wall seconds, peak RSS in MB) of a child process."""
    import time
    start = time.perf_counter()
    proc = subprocess.Popen(words, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    out = proc.stdout.read()
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    if status != 0:
        raise SystemExit("%s failed (status %d)" % (words[0], status))
    inner = out.split()[0] if out.split() else None
    return (float(inner) if inner and inner.replace(".", "").isdigit() else None), wall, usage.ru_maxrss / 1024


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--objects", type=int, default=1000000)
    parser.add_argument("--values", type=int, default=100)
    parser.add_argument("--distances", type=int, default=24000000)
    parser.add_argument("--memory", type=float, default=4.0)
    parser.add_argument("--rounds", type=int, default=2)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    sys.path.insert(0, os.path.join(build, "python"))
    import netCDF4

    with tempfile.TemporaryDirectory(prefix="brivane-bench-") as tmp:
        raw, nc, out = (os.path.join(tmp, name) for name in ("x.f32", "x.nc", "tree.nc"))
        X = np.random.default_rng(1).standard_normal((args.objects, args.values), dtype=np.float32)
        X.tofile(raw)
        with netCDF4.Dataset(nc, "w", format="NETCDF3_64BIT_OFFSET") as ds:
            ds.set_fill_off()
            ds.createDimension("rows", args.objects)
            ds.createDimension("cols", args.values)
            ds.createVariable("data", "f4", ("rows", "cols"))[...] = X
        del X
        driver = os.path.join(tmp, "library_run")
        subprocess.run(["g++", "-O2", "-std=c++17", "-fopenmp", "-I", os.path.join(HERE, "..", "include"),
                        "-x", "c++", "-", "-x", "none", "-o", driver, os.path.join(build, "libbrivane.a")],
                       input=DRIVER, text=True, check=True)
        sizes = [str(args.objects), str(args.values), str(args.distances), repr(args.memory)]
        kinds = {
            "library": [driver, raw] + sizes,
            "python": [sys.executable, "-c", PYTHON, os.path.join(build, "python"), raw] + sizes,
            "program": [os.path.join(build, "brivane"), "-i", nc, "-D", "data", "-d", "euclidean", "-o", out,
                        "-M", str(args.distances), "-R", "1", "-m", repr(args.memory)],
        }
        print("load before: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
        results = {kind: [] for kind in kinds}
        for round_ in range(args.rounds):
            for kind, words in kinds.items():
                inner, wall, peak = measured(words)
                results[kind].append((inner, wall, peak))
                print("round %d %-8s call %s s, process %.2f s, peak %.0f MB" % (
                    round_ + 1, kind, "%.2f" % inner if inner is not None else "-", wall, peak), flush=True)
        print("load after: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
    best = {kind: (min(r[0] for r in rows) if rows[0][0] is not None else None, min(r[1] for r in rows),
                   min(r[2] for r in rows)) for kind, rows in results.items()}
    lib, py, prog = best["library"], best["python"], best["program"]
    print("best call: library %.2f s, python %.2f s (%+.1f %%)" % (lib[0], py[0], 100 * (py[0] / lib[0] - 1)))
    print("best process: library %.2f s, python %.2f s, program %.2f s" % (lib[1], py[1], prog[1]))
    print("peak: library %.0f MB, python %.0f MB, program %.0f MB (python %+.1f %% of the program's)"
          % (lib[2], py[2], prog[2], 100 * (py[2] / prog[2] - 1)))


if __name__ == "__main__":
    main()
