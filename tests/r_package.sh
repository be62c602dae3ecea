#!/usr/bin/env bash
# The R package's testthat tests: builds the package with the engine's
# sources into a temporary library under the folder given (the build's) and
# runs its tests there, as R CMD check would.
set -eu
repo="$(cd "$(dirname "$0")/.." && pwd)"
work="$1/r-package"
rm -rf "$work"
mkdir -p "$work/library"
cp -r "$repo/r/brivane" "$work/"
bash "$repo/scripts/r-sources.sh" "$work/brivane"
MAKEFLAGS=-j2 R CMD INSTALL --no-docs --no-html -l "$work/library" "$work/brivane" > "$work/install.log" 2>&1 ||
  { cat "$work/install.log"; exit 1; }
cd "$work/brivane/tests"
R_LIBS="$work/library" Rscript testthat.R
