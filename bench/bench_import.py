"""Times brivane-import against numpy.loadtxt on one generated table and
prints a markdown table of wall time and peak memory.

The table has a header row, a first column of row names and ROWS x COLS
values with four decimals (default 10^6 x 100, about 0.8 GB of text).  Each
program runs in a child process of its own, so that the peak resident size of
the children (getrusage) is that program's alone.

With --quote it times instead the refusal of CSV tables whose quote on line 3
is never closed, at several sizes: the time should grow in proportion to the
size.

usage: bench_import.py [--rows N] [--cols N] [--import PATH] [--keep DIR] [--quote]"""
import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))


def generate(path, rows, cols, seed=1):
    """Writes the table fast: cells are drawn from a pool of formatted values."""
    rng = np.random.default_rng(seed)
    pool = np.array(["%.4f" % v for v in rng.standard_normal(65536)], dtype=object)
    with open(path, "w") as f:
        f.write("gene\t" + "\t".join("s%d" % j for j in range(cols)) + "\n")
        for first in range(0, rows, 10000):
            block = pool[rng.integers(0, len(pool), size=(min(10000, rows - first), cols))]
            f.write("".join("g%d\t%s\n" % (first + i, "\t".join(row)) for i, row in enumerate(block)))


def measured(words):
    """Runs `words` in a child; returns seconds and the child's peak memory in MiB."""
    start = time.perf_counter()
    subprocess.run(words, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    seconds = time.perf_counter() - start
    return seconds, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024.0


def in_own_process(words):
    """measured(words), run from a fresh interpreter so that no earlier child counts."""
    out = subprocess.run([sys.executable, __file__, "--measure", "--"] + words, check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out)


def unclosed_quote(binary, folder):
    """Seconds to refuse a CSV table whose quote on line 3 is never closed."""
    print("| table (MB) | seconds |")
    print("| ---: | ---: |")
    for size in (350000, 730000, 7300000, 73000000):
        path = os.path.join(folder, "quote.csv")
        with open(path, "w") as f:
            f.write('name,a,b\nr0,1,2\nr1,"1,2\n')
            f.write("r,1,2\n" * (size // 6))
        start = time.perf_counter()
        subprocess.run([binary, path, os.path.join(folder, "quote.nc")], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        print("| %.2f | %.2f |" % (os.path.getsize(path) / 1e6, time.perf_counter() - start))
        os.unlink(path)


LOADTXT = ("import sys, numpy as np; "
           "np.loadtxt(sys.argv[1], delimiter='\\t', skiprows=1, usecols=range(1, int(sys.argv[2]) + 1), "
           "dtype=np.float32)")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1000000)
    parser.add_argument("--cols", type=int, default=100)
    parser.add_argument("--import", dest="binary", default=os.path.join(HERE, "..", "build", "brivane-import"))
    parser.add_argument("--keep", help="folder for the files (default: a temporary one, removed)")
    parser.add_argument("--quote", action="store_true", help="time the refusal of unclosed quotes instead")
    parser.add_argument("--measure", action="store_true", help=argparse.SUPPRESS)
    args, rest = parser.parse_known_args()
    if args.measure:
        print(json.dumps(measured(rest[1:] if rest[:1] == ["--"] else rest)))
        return

    folder = args.keep or tempfile.mkdtemp(dir=os.path.dirname(os.path.abspath(args.binary)))
    if args.quote:
        unclosed_quote(args.binary, folder)
        if not args.keep:
            os.rmdir(folder)
        return
    table, out = os.path.join(folder, "table.tsv"), os.path.join(folder, "table.nc")
    generate(table, args.rows, args.cols)
    text_mib = os.path.getsize(table) / 2.0**20
    matrix_mib = args.rows * args.cols * 4 / 2.0**20

    rows = [("brivane-import (ncFloat)", in_own_process([args.binary, table, out])),
            ("brivane-import (ncDouble)", in_own_process([args.binary, "-t", "double", table, out])),
            ("numpy.loadtxt (float32)", in_own_process([sys.executable, "-c", LOADTXT, table, str(args.cols)]))]

    print("Table: %d rows x %d columns, %.0f MiB of text; float matrix %.0f MiB." %
          (args.rows, args.cols, text_mib, matrix_mib))
    print()
    print("| program | seconds | MB/s of text | peak memory (MiB) |")
    print("| --- | ---: | ---: | ---: |")
    for name, (seconds, peak) in rows:
        print("| %s | %.1f | %.0f | %.0f |" % (name, seconds, text_mib / seconds, peak))
    if not args.keep:
        for path in (table, out):
            if os.path.exists(path):
                os.unlink(path)
        os.rmdir(folder)


if __name__ == "__main__":
    main()
