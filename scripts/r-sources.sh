#!/usr/bin/env bash
# Copies into the R package (r/brivane, or the package folder given) what it
# needs from the rest of the repository: the engine's sources and public
# headers into src/, the shipped expression table into inst/extdata.  R CMD
# build and INSTALL see only the package folder, so this runs before them;
# the copies are git-ignored.
set -eu
repo="$(cd "$(dirname "$0")/.." && pwd)"
package="${1:-$repo/r/brivane}"

rm -rf "$package/src/brivane" "$package/inst/extdata"
# Objects of an earlier build in place would be taken for the new sources'.
find "$package/src" -maxdepth 1 \( -name '*.cc' -o -name '*.h' -o -name '*.o' -o -name '*.so' \) -delete
cp "$repo"/src/core/*.cc "$repo"/src/core/*.h "$package/src/"
mkdir -p "$package/src/brivane" "$package/inst/extdata"
cp "$repo"/include/brivane/*.hpp "$package/src/brivane/"
cp "$repo/examples/expression.tsv" "$package/inst/extdata/"
