#!/usr/bin/python3
"""The memory promise: "Brivane must fit into this amount of memory in
gigabytes".  Runs brivane on data-matrix (rows and columns), distance-matrix
and distance-list inputs sized so that the -m budget binds, and reports the
peak resident memory of each run (ru_maxrss of that child alone, from
os.wait4) divided by the budget, as a markdown table; with --readme the
table replaces the "Memory" section of bench/README.md.

    bench/memory.py [--brivane build/brivane] [--budgets 0.25,0.5,1,2] [--readme]

Not a test: it takes minutes and gigabytes."""
import argparse
import os
import re
import subprocess
import sys
import tempfile
import time

import netCDF4
import numpy as np

GB = 1 << 30
BYTES_PER_DISTANCE = 250
HERE = os.path.dirname(os.path.abspath(__file__))


def write(path, variables, dims):
    with netCDF4.Dataset(path, "w", format="NETCDF3_64BIT_OFFSET") as ds:
        ds.set_fill_off()
        for name, length in dims:
            ds.createDimension(name, length)
        for name, dnames, values, code in variables:
            ds.createVariable(name, code, dnames)[...] = values


# Each input kind: (label, sizes the input for a budget in bytes and writes
# it, the options).  Data matrices hold 20,000 objects of 10 doubles, so that
# all pairs (2e8) exceed what any budget here affords and the budget, not the
# pair count, fixes the count.  Given distances fill about 90 % of the budget
# at 250 bytes each (the program refuses more).
def rows(path, budget):
    data = np.random.default_rng(1).normal(size=(20000, 10))
    write(path, [("x", ("obj", "feat"), data, "f8")], [("obj", 20000), ("feat", 10)])
    return ["-d", "euclidean", "-t", "1e9"]


def cols(path, budget):
    data = np.random.default_rng(2).normal(size=(10, 20000))
    write(path, [("x", ("feat", "obj"), data, "f8")], [("feat", 10), ("obj", 20000)])
    return ["-C", "cols", "-d", "euclidean", "-t", "1e9"]


def distmat(path, budget):
    # N(N-1)/2 pairs at 250 bytes plus the N*N doubles of the matrix
    n = int((0.9 * budget / (BYTES_PER_DISTANCE / 2 + 8)) ** 0.5)
    rng = np.random.default_rng(3)
    with netCDF4.Dataset(path, "w", format="NETCDF3_64BIT_OFFSET") as ds:
        ds.set_fill_off()
        ds.createDimension("o", n)
        ds.createDimension("o2", n)
        var = ds.createVariable("d", "f8", ("o", "o2"))
        for start in range(0, n, 1000):
            block = rng.random((min(1000, n - start), n))
            var[start:start + block.shape[0], :] = block
    return ["-C", "distmat"]


def distlist(path, budget):
    # entries at 250 bytes in the store plus 16 bytes of input each
    m = int(0.9 * budget / (BYTES_PER_DISTANCE + 16))
    n = 200000
    rng = np.random.default_rng(4)
    a = rng.integers(0, n, m, dtype=np.int32)
    b = rng.integers(0, n, m, dtype=np.int32)
    write(path, [("d", ("e",), rng.random(m), "f8"), ("f", ("e",), a, "i4"), ("t", ("e",), b, "i4")],
          [("objs", n), ("e", m)])
    return ["-C", "distlist", "-F", "f", "-T", "t", "-N", "objs"]


KINDS = [("data matrix, rows", rows), ("data matrix, columns", cols),
         ("distance matrix", distmat), ("distance list", distlist)]


def peak_of(args):
    """Runs one brivane process; returns (status, peak RSS in bytes, seconds, stderr tail)."""
    start = time.time()
    with tempfile.TemporaryFile() as err:
        proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=err)
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
        err.seek(0)
        tail = err.read().decode("latin-1").strip().splitlines()[-1:]
    return proc.returncode, usage.ru_maxrss * 1024, time.time() - start, tail


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--brivane", default=os.path.join(HERE, "..", "build", "brivane"))
    parser.add_argument("--budgets", default="0.25,0.5,1,2")
    parser.add_argument("--readme", action="store_true", help="write the table into bench/README.md")
    opts = parser.parse_args()
    budgets = [float(b) for b in opts.budgets.split(",")]

    lines = ["| input | `-m` (GB) | input file (MB) | peak RSS (MB) | peak / budget | status | seconds |",
             "|---|---|---|---|---|---|---|"]
    with tempfile.TemporaryDirectory() as tmp:
        for label, make in KINDS:
            for gb in budgets:
                src = os.path.join(tmp, "in.nc")
                options = make(src, gb * GB)
                args = [opts.brivane, "-i", src, "-o", os.path.join(tmp, "out.nc"), "-m", str(gb), "-R", "1"] + options
                status, peak, seconds, tail = peak_of(args)
                size = os.path.getsize(src) / 1e6
                row = "| %s | %g | %.0f | %.0f | %.2f | %d | %.0f |" % (
                    label, gb, size, peak / 2**20, peak / (gb * GB), status, seconds)
                if status != 0:
                    row += " " + " ".join(tail)
                print(row, flush=True)
                lines.append(row)
                os.unlink(src)
    table = "\n".join(lines) + "\n"
    if opts.readme:
        write_readme(table)


def write_readme(table):
    path = os.path.join(HERE, "README.md")
    text = open(path).read() if os.path.exists(path) else "# Benchmarks\n"
    section = ("## Memory\n\n"
               "`bench/memory.py --readme`: peak resident memory of one brivane run against its `-m`\n"
               "budget (1 GB = 2^30 bytes), on inputs sized so that the budget binds. Data matrices:\n"
               "20,000 objects of 10 doubles, so the budget, not the pair count, fixes the number of\n"
               "distances; given distances fill about 90 % of the budget.\n\n" + table)
    if re.search(r"^## Memory\n", text, re.M):
        text = re.sub(r"^## Memory\n.*?(?=^## |\Z)", section + "\n", text, flags=re.M | re.S)
    else:
        text = text.rstrip("\n") + "\n\n" + section
    with open(path, "w") as f:
        f.write(text)


if __name__ == "__main__":
    sys.exit(main())
