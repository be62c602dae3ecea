#!/usr/bin/env bash
# Installs the R package brivane (r/brivane with the engine's sources) into
# an R library: the folder given, or the user's own (R_LIBS_USER), which R
# searches from then on.  Builds from a temporary copy, so the repository
# keeps no build products.
set -eu
repo="$(cd "$(dirname "$0")/.." && pwd)"
library="${1:-$(Rscript -e 'cat(path.expand(Sys.getenv("R_LIBS_USER")))')}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

mkdir -p "$library"
cp -r "$repo/r/brivane" "$work/"
bash "$repo/scripts/r-sources.sh" "$work/brivane"
MAKEFLAGS="${MAKEFLAGS:--j2}" R CMD INSTALL --no-test-load -l "$library" "$work/brivane"
