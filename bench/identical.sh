#!/bin/bash
# Checks that a build of brivane writes byte-identical output files to a
# reference build: fixed-seed runs of the approximate (-M) and exact (-a)
# modes over every measure, linkage and element type.  A check runs every
# case with -j 1, -j 2 and -j 4, and each output must equal the reference.
#
#   bench/identical.sh record DIR [BRIVANE]   write the outputs of BRIVANE (-j 1) to DIR
#   bench/identical.sh check DIR [BRIVANE]    compare the outputs of BRIVANE to DIR
#
# BRIVANE defaults to build/brivane.  Exit status 1 names every output that
# differs, with the thread count that wrote it.  The nan-* cases hold a few
# NaN cells: their outputs changed when NaN pairs came to merge after all
# others, so against a reference recorded before that they differ.
set -eu
mode=$1
ref=$2
here=$(cd "$(dirname "$0")/.." && pwd)
brivane=${3:-$here/build/brivane}
data=$(mktemp -d)
trap 'rm -rf "$data"' EXIT

/usr/bin/python3 - "$data" <<'PY'
import sys
import netCDF4
import numpy as np
rng = np.random.default_rng(5)
def write(name, x, nctype):
    with netCDF4.Dataset(sys.argv[1] + "/" + name, "w", format="NETCDF3_CLASSIC") as ds:
        ds.createDimension("obj", x.shape[0])
        ds.createDimension("feat", x.shape[1])
        ds.createVariable("x", nctype, ("obj", "feat"))[...] = x
centres = rng.normal(0, 6, (8, 100))
g = centres[rng.integers(0, 8, 3000)] + rng.normal(0, 1, (3000, 100))
write("double.nc", g, "f8")
write("float.nc", g[:1500].astype(np.float32), "f4")
write("int.nc", np.rint(g[:1000] * 10).astype(np.int32), "i4")
write("char.nc", rng.integers(97, 123, (800, 32)).astype("S1"), "S1")
# A few NaN cells in rows of three groups; no draw from rng, so the files
# above stay as they were.
nan = g[:1000].copy()
nan[[3, 250, 251, 777], [0, 50, 99, 7]] = np.nan
write("nan.nc", nan, "f8")
PY

cases=(
  "double-M-euclidean|double.nc|-M 60000 -d euclidean"
  "double-M-euclidean-min|double.nc|-M 60000 -d euclidean -l min"
  "double-M-euclidean-max|double.nc|-M 60000 -d euclidean -l max"
  "double-M-euclidean-quantile|double.nc|-M 80000 -d euclidean -P quantile -q 10 -S 50"
  "double-M-manhattan|double.nc|-M 60000 -d manhattan"
  "double-M-pearson|double.nc|-M 60000 -d pearson"
  "double-M-spearman|double.nc|-M 60000 -d spearman"
  "double-M-chord|double.nc|-M 60000 -d chord"
  "double-a-euclidean|double.nc|-a -d euclidean"
  "double-a-euclidean-min|double.nc|-a -d euclidean -l min"
  "float-M-euclidean|float.nc|-M 30000 -d euclidean -O"
  "float-a-euclidean|float.nc|-a -d euclidean"
  "float-a-uncentcorrel|float.nc|-a -d uncentcorrel"
  "int-M-euclidean|int.nc|-M 20000 -d euclidean"
  "int-a-minkowski|int.nc|-a -d minkowski -p 3"
  "char-M-hamming|char.nc|-M 16000 -d hamming"
  "char-a-levenshtein|char.nc|-a -d levenshtein"
  "nan-M-euclidean|nan.nc|-M 20000 -d euclidean"
  "nan-a-euclidean-min|nan.nc|-a -d euclidean -l min"
)

mkdir -p "$ref"
status=0
for c in "${cases[@]}"; do
  IFS='|' read -r name file options <<<"$c"
  if [ "$mode" = record ]; then
    # shellcheck disable=SC2086
    "$brivane" -i "$data/$file" -o "$ref/$name.nc" -R 7 -j 1 $options >/dev/null 2>&1
    continue
  fi
  differ=""
  for j in 1 2 4; do
    out=$data/$name-j$j.nc
    # shellcheck disable=SC2086
    "$brivane" -i "$data/$file" -o "$out" -R 7 -j $j $options >/dev/null 2>&1
    cmp -s "$out" "$ref/$name.nc" || differ="$differ -j $j"
    rm -f "$out"
  done
  if [ -z "$differ" ]; then
    echo "same: $name"
  else
    echo "DIFFERENT: $name (with$differ)"
    status=1
  fi
done
exit $status
