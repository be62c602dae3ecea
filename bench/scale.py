#!/usr/bin/python3
"""Time budgets at scale: runs brivane on seeded Gaussian-mixture inputs of
100 float columns and prints, per run, each phase's planned and actual
seconds, the wall time against -t, the distances per object, the pairs the join found, the peak
memory against -m, and by how much the plan says the minimum of 20
distances per object overruns -t (empty when it fits).  Builds without the
-j option run once, on one thread.

    bench/scale.py [--dir /tmp/plan] [--rows 100000,400000,1000000]
                   [--budgets 10,30,60] [--memory 2,6] [--threads 1,0]
                   [--brivane build/brivane]

--threads 0 stands for all cores.  Inputs are made once per size in --dir
(400 MB for a million rows) and kept there for later runs.  A run whose
input and distances cannot fit in -m is left out (the memory refusal is
the program's answer there, not a timing)."""
import argparse
import os
import re
import subprocess
import sys
import tempfile
import time

import netCDF4
import numpy as np

COLUMNS = 100
CENTRES = 40


def make_input(path, rows, seed=13):
    """Rows of a mixture of CENTRES Gaussians in COLUMNS dimensions."""
    if os.path.exists(path):
        return path
    rng = np.random.default_rng(seed)
    centres = rng.normal(0, 4, (CENTRES, COLUMNS)).astype(np.float32)
    tmp = path + ".part"
    with netCDF4.Dataset(tmp, "w", format="NETCDF3_CLASSIC") as ds:
        ds.createDimension("obj", rows)
        ds.createDimension("feat", COLUMNS)
        var = ds.createVariable("x", "f4", ("obj", "feat"))
        chunk = 50000
        for first in range(0, rows, chunk):
            n = min(chunk, rows - first)
            which = rng.integers(0, CENTRES, n)
            var[first:first + n, :] = centres[which] + rng.normal(0, 1, (n, COLUMNS)).astype(np.float32)
    os.rename(tmp, path)
    return path


def seconds_after(text, label):
    m = re.search(re.escape(label) + r"[^\n]*? ([0-9.e+-]+) sec", text)
    return float(m.group(1)) if m else 0.0


def phases(stderr):
    """Actual seconds by phase, as the run's own lines give them."""
    join = seconds_after(stderr, "Choosing pivots took") + seconds_after(stderr, "Estimating epsilon") + \
        seconds_after(stderr, "Calculating similarity heuristics based pairs...")
    return {
        "input": seconds_after(stderr, "Data input..."),
        "join": join,
        "random": seconds_after(stderr, "Calculating random pairs..."),
        "clustering": seconds_after(stderr, "Running hierarchical clustering..."),
    }


def planned(stderr):
    m = re.search(r"Plan: join ([0-9.]+) s, random pairs ([0-9.]+) s, clustering ([0-9.]+) s, "
                  r"output ([0-9.]+) s", stderr)
    if not m:
        return None
    join, random, clustering, output = map(float, m.groups())
    return {"join": join, "random": random, "clustering": clustering + output}


def knows_threads(brivane):
    """Builds from before the threads option refuse -j; they run on one."""
    proc = subprocess.run([brivane, "--help"], capture_output=True, text=True, errors="replace")
    return "--threads" in proc.stdout + proc.stderr


def run(brivane, path, out, budget, memory, threads):
    """One run; its standard error, wall seconds and peak resident KiB."""
    args = [brivane, "-i", path, "-o", out, "-d", "euclidean", "-R", "1", "-t", str(budget), "-m", str(memory)]
    if knows_threads(brivane):
        args += ["-j", str(threads)]
    elif threads != 1:
        return None
    with tempfile.TemporaryFile() as err:
        start = time.monotonic()
        proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=err)
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.monotonic() - start
        proc.returncode = os.waitstatus_to_exitcode(status)
        err.seek(0)
        stderr = err.read().decode("latin-1")
    if os.path.exists(out):
        os.unlink(out)
    return proc.returncode, stderr, wall, usage.ru_maxrss


def fmt_pair(plan, actual, key):
    a = actual[key]
    if plan is None:
        return "%.1f" % a
    return "%.1f / %.1f" % (plan[key], a)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--dir", default="/tmp/plan")
    ap.add_argument("--rows", default="100000,400000,1000000")
    ap.add_argument("--budgets", default="10,30,60")
    ap.add_argument("--memory", default="2,6")
    ap.add_argument("--threads", default="1,0")
    ap.add_argument("--brivane", default=os.path.join(os.path.dirname(__file__), "..", "build", "brivane"))
    a = ap.parse_args()
    os.makedirs(a.dir, exist_ok=True)
    cores = os.cpu_count() or 1
    header = ("| rows | -t | -m | -j | wall (× T) | join plan/actual | random plan/actual | "
              "clustering+output plan/actual | dist/object | join pairs | peak (× -m) | minimum over by |")
    print(header)
    print("|" + "---|" * (header.count("|") - 1))
    sys.stdout.flush()
    for rows in [int(float(r)) for r in a.rows.split(",")]:
        path = make_input(os.path.join(a.dir, "mix_%d.nc" % rows), rows)
        input_bytes = rows * COLUMNS * 4
        for memory in [float(m) for m in a.memory.split(",")]:
            if input_bytes + 20 * rows * 250 > memory * 2**30:
                continue
            for budget in [float(t) for t in a.budgets.split(",")]:
                for threads in [int(j) for j in a.threads.split(",")]:
                    j = threads or cores
                    out = os.path.join(a.dir, "out_%d.nc" % os.getpid())
                    result = run(a.brivane, path, out, budget, memory, j)
                    if result is None:
                        continue
                    status, stderr, wall, peak = result
                    if status != 0:
                        print("| %d | %g | %g | %d | failed: %s |" % (rows, budget, memory, j,
                                                                    stderr.strip().splitlines()[-1]))
                        continue
                    actual = phases(stderr)
                    plan = planned(stderr)
                    m = re.search(r"Values of (\d+) distances were calculated", stderr)
                    per = int(m.group(1)) / rows if m else 0
                    found = re.search(r"heuristics based pairs\.\.\.[^\n]*\n\s*(\d+) distances calculated", stderr)
                    peak_text = "%.2f GiB (%.2f)" % (peak / 2**20, peak / 2**20 / memory)
                    over = re.search(r"the run is planned at [0-9.]+ s, ([0-9.]+) s", stderr)
                    print("| %d | %g | %g | %d | %.1f s (%.2f) | %s | %s | %s | %.1f | %s | %s | %s |" % (
                        rows, budget, memory, j, wall, wall / budget, fmt_pair(plan, actual, "join"),
                        fmt_pair(plan, actual, "random"), fmt_pair(plan, actual, "clustering"), per,
                        "{:,}".format(int(found.group(1))) if found else "", peak_text, over.group(1) + " s" if over else ""))
                    sys.stdout.flush()


if __name__ == "__main__":
    main()
