#!/usr/bin/python3
"""Time budgets at scale: runs brivane on a family of seeded inputs that
differ in structure and prints, per run, each phase's planned and actual
seconds (the random pairs' and the clustering's as the run re-planned them
after its first random pairs, where it did), the wall time against -t, the
distances per object, the pairs the join found ("cut": the join stopped at
its share of the budget), the peak memory against -m, and by how much the plan says the
minimum of 20 distances per object overruns -t (empty when it fits).
Builds without the -j option run once, on one thread.

    bench/scale.py [--dir /tmp/plan] [--rows 100000,400000,1000000]
                   [--budgets 10,30,60] [--memory 2,6] [--threads 1,0]
                   [--family mix40,mix10,...] [--brivane build/brivane]

The family (--family names some of it; all of it by default):

    mix40      40 Gaussians in 100 dimensions, equal sizes (the inputs the
               plan was first tuned on)
    mix10, mix1000, mix10000
               the same with 10, 1000 and 10^4 components
    uneven     300 components of Zipf-like sizes, each with its own scale
               per dimension (anisotropic) and its own spread
    uniform    uniform noise in the unit cube
    dups       rows/20 distinct mixture rows, each repeated about 20 times
    int        a mixture rounded to small integers (many equal distances)
    image      784 columns: 28x28 blurred strokes of 50 templates, shifted
               and scaled per row, clipped to 0..255 (about 40 % zeros)
    pearson, spearman
               mix1000 under the correlation measures (-d pearson, -d
               spearman)

--threads 0 stands for all cores.  Inputs are made once per member and size
in --dir (400 MB for a million rows of 100 floats) and kept there for later
runs.  A run whose input and distances cannot fit in -m is left out (the
memory refusal is the program's answer there, not a timing)."""
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
IMAGE_SIDE = 28
CHUNK = 50000


def mixture(centres):
    """Rows of a mixture of equal Gaussians around the given centres."""
    def rows(rng, first, n):
        which = rng.integers(0, len(centres), n)
        return centres[which] + rng.normal(0, 1, (n, centres.shape[1])).astype(np.float32)
    return rows


def uneven(rng):
    """Components of Zipf-like sizes, each with a scale per dimension."""
    k = 300
    centres = rng.normal(0, 4, (k, COLUMNS)).astype(np.float32)
    scales = (np.exp(rng.normal(0, 1, (k, COLUMNS))) * np.exp(rng.normal(-0.5, 0.7, (k, 1)))).astype(np.float32)
    weights = 1.0 / np.arange(1, k + 1) ** 1.2
    weights /= weights.sum()

    def rows(rng, first, n):
        which = rng.choice(k, n, p=weights)
        return centres[which] + scales[which] * rng.normal(0, 1, (n, COLUMNS)).astype(np.float32)
    return rows


def duplicates(rng, total):
    """Rows drawn from total/20 distinct rows of a 40-component mixture."""
    distinct = mixture(rng.normal(0, 4, (CENTRES, COLUMNS)).astype(np.float32))(rng, 0, max(1000, total // 20))

    def rows(rng, first, n):
        return distinct[rng.integers(0, len(distinct), n)]
    return rows


def integers(rng):
    """A 100-component mixture rounded to integers between 0 and 20."""
    centres = rng.uniform(2, 18, (100, COLUMNS)).astype(np.float32)

    def rows(rng, first, n):
        x = mixture(centres)(rng, first, n)
        return np.clip(np.rint(x), 0, 20).astype(np.int32)
    return rows


def images(rng):
    """28x28 images: 50 templates of blurred strokes, each row one of them
    shifted by up to 2 pixels, its ink scaled, with noise, clipped to 0..255."""
    side = IMAGE_SIDE
    yy, xx = np.mgrid[0:side, 0:side]
    templates = np.zeros((50, side, side), np.float32)
    for t in range(50):
        for _ in range(rng.integers(2, 5)):
            # A stroke: blobs along a segment.
            a, b = rng.uniform(6, 22, 2), rng.uniform(6, 22, 2)
            for u in np.linspace(0, 1, 8):
                c = a + u * (b - a)
                templates[t] += np.exp(-((yy - c[0]) ** 2 + (xx - c[1]) ** 2) / 3.0)
    templates = 255 * np.clip(templates, 0, 1)

    def rows(rng, first, n):
        which = rng.integers(0, 50, n)
        shift = rng.integers(-2, 3, (n, 2))
        out = np.empty((n, side * side), np.float32)
        for dy in range(-2, 3):
            for dx in range(-2, 3):
                sel = np.nonzero((shift[:, 0] == dy) & (shift[:, 1] == dx))[0]
                moved = np.roll(np.roll(templates, dy, axis=1), dx, axis=2).reshape(50, -1)
                out[sel] = moved[which[sel]]
        out *= rng.uniform(0.6, 1.0, (n, 1)).astype(np.float32)
        out += rng.normal(0, 8, out.shape).astype(np.float32)
        return np.clip(np.rint(out), 0, 255)
    return rows


# Member: (input file, measure).  The correlation members read mix1000's file.
FAMILY = ["mix40", "mix10", "mix1000", "mix10000", "uneven", "uniform", "dups", "int", "image", "pearson",
          "spearman"]
MEASURE = {"pearson": "pearson", "spearman": "spearman"}
INPUT_OF = {"pearson": "mix1000", "spearman": "mix1000"}


def columns_of(member):
    return IMAGE_SIDE * IMAGE_SIDE if INPUT_OF.get(member, member) == "image" else COLUMNS


def make_input(directory, member, rows):
    """The member's input of `rows` rows, made once (seeded) and kept."""
    member = INPUT_OF.get(member, member)
    # mix40 keeps the name and the numbers it always had.
    path = os.path.join(directory, ("mix_%d.nc" if member == "mix40" else member + "_%d.nc") % rows)
    if os.path.exists(path):
        return path
    rng = np.random.default_rng(13)
    if member.startswith("mix"):
        source = mixture(rng.normal(0, 4, (int(member[3:]), COLUMNS)).astype(np.float32))
    elif member == "uneven":
        source = uneven(rng)
    elif member == "uniform":
        source = lambda rng, first, n: rng.uniform(0, 1, (n, COLUMNS)).astype(np.float32)
    elif member == "dups":
        source = duplicates(rng, rows)
    elif member == "int":
        source = integers(rng)
    elif member == "image":
        source = images(rng)
    else:
        raise SystemExit("no member %s in the family (%s)" % (member, ",".join(FAMILY)))
    tmp = path + ".part"
    with netCDF4.Dataset(tmp, "w", format="NETCDF3_CLASSIC") as ds:
        ds.createDimension("obj", rows)
        ds.createDimension("feat", columns_of(member))
        var = ds.createVariable("x", "i4" if member == "int" else "f4", ("obj", "feat"))
        for first in range(0, rows, CHUNK):
            n = min(CHUNK, rows - first)
            var[first:first + n, :] = source(rng, first, n)
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
    # A run that re-plans after its first random pairs prints the rest's
    # figures again; those are what it ran to.
    rest = re.search(r"Plan for the rest: random pairs ([0-9.]+) s, clustering ([0-9.]+) s, output ([0-9.]+) s", stderr)
    if rest:
        random, clustering, output = map(float, rest.groups())
    return {"join": join, "random": random, "clustering": clustering + output}


def knows_threads(brivane):
    """Builds from before the threads option refuse -j; they run on one."""
    proc = subprocess.run([brivane, "--help"], capture_output=True, text=True, errors="replace")
    return "--threads" in proc.stdout + proc.stderr


def run(brivane, path, out, budget, memory, threads, measure="euclidean"):
    """One run; its standard error, wall seconds and peak resident KiB."""
    args = [brivane, "-i", path, "-o", out, "-d", measure, "-R", "1", "-t", str(budget), "-m", str(memory)]
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
    ap.add_argument("--family", default=",".join(FAMILY))
    ap.add_argument("--brivane", default=os.path.join(os.path.dirname(__file__), "..", "build", "brivane"))
    a = ap.parse_args()
    os.makedirs(a.dir, exist_ok=True)
    cores = os.cpu_count() or 1
    header = ("| input | rows | -t | -m | -j | wall (× T) | join plan/actual | random plan/actual | "
              "clustering+output plan/actual | dist/object | join pairs | peak (× -m) | minimum over by |")
    print(header)
    print("|" + "---|" * (header.count("|") - 1))
    sys.stdout.flush()
    for member in a.family.split(","):
        for rows in [int(float(r)) for r in a.rows.split(",")]:
            input_bytes = rows * columns_of(member) * 4
            memories = [float(m) for m in a.memory.split(",")]
            if all(input_bytes + 20 * rows * 250 > m * 2**30 for m in memories):
                continue
            path = make_input(a.dir, member, rows)
            for memory in memories:
                if input_bytes + 20 * rows * 250 > memory * 2**30:
                    continue
                for budget in [float(t) for t in a.budgets.split(",")]:
                    for threads in [int(j) for j in a.threads.split(",")]:
                        row(a, member, path, rows, budget, memory, threads or cores)


def row(a, member, path, rows, budget, memory, j):
    """One run and its line of the table."""
    out = os.path.join(a.dir, "out_%d.nc" % os.getpid())
    result = run(a.brivane, path, out, budget, memory, j, MEASURE.get(member, "euclidean"))
    if result is None:
        return
    status, stderr, wall, peak = result
    if status != 0:
        print("| %s | %d | %g | %g | %d | failed: %s |" % (member, rows, budget, memory, j,
                                                         stderr.strip().splitlines()[-1]))
        return
    actual = phases(stderr)
    plan = planned(stderr)
    m = re.search(r"Values of (\d+) distances were calculated", stderr)
    per = int(m.group(1)) / rows if m else 0
    found = re.search(r"heuristics based pairs\.\.\.[^\n]*\n\s*(\d+) distances calculated", stderr)
    peak_text = "%.2f GiB (%.2f)" % (peak / 2**20, peak / 2**20 / memory)
    over = re.search(r"the run is planned at [0-9.]+ s, ([0-9.]+) s", stderr)
    cut = " (cut)" if "The join stopped at its share" in stderr else ""
    print("| %s | %d | %g | %g | %d | %.1f s (%.2f) | %s | %s | %s | %.1f | %s | %s | %s |" % (
        member, rows, budget, memory, j, wall, wall / budget, fmt_pair(plan, actual, "join"),
        fmt_pair(plan, actual, "random"), fmt_pair(plan, actual, "clustering"), per,
        ("{:,}".format(int(found.group(1))) if found else "") + cut, peak_text, over.group(1) + " s" if over else ""))
    sys.stdout.flush()

if __name__ == "__main__":
    main()
