#!/usr/bin/env bash
# Builds the R package's source tarball (r/brivane with the engine's sources)
# in a temporary folder and runs R CMD check on it: the build, the help pages
# and their examples, and the testthat tests.  Prints the check's summary;
# fails on an error or a warning.
set -eu
repo="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

cp -r "$repo/r/brivane" "$work/"
bash "$repo/scripts/r-sources.sh" "$work/brivane"
cd "$work"
R CMD build brivane
export MAKEFLAGS="${MAKEFLAGS:--j2}"
R CMD check --no-manual brivane_*.tar.gz
if grep -q "Status: .*\(ERROR\|WARNING\)" brivane.Rcheck/00check.log; then
  exit 1
fi
