#!/usr/bin/env bash
# The R package's testthat tests: installs the package into a temporary
# library under the folder given (the build's) and runs its tests against
# it, as R CMD check would, and the examples of its help pages.
set -eu
repo="$(cd "$(dirname "$0")/.." && pwd)"
work="$1/r-package"
rm -rf "$work"
mkdir -p "$work"
bash "$repo/scripts/r-install.sh" "$work/library" > "$work/install.log" 2>&1 || { cat "$work/install.log"; exit 1; }
cp -r "$repo/r/brivane/tests" "$work/"
cd "$work/tests"
R_LIBS="$work/library" Rscript testthat.R
# The help pages' examples, as R CMD check runs them (scripts/r-check.sh runs
# the whole check).
cd "$work"
R_LIBS="$work/library" Rscript -e 'library(brivane)
for (page in c("brivane", "finite_heights")) example(page, package = "brivane", character.only = TRUE, ask = FALSE)'
