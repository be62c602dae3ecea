#!/usr/bin/env bash
# Installs the Debian packages brivane needs to build (and, with --test, to run
# its test suite), skipping what is already there.  Runs apt-get as root, or
# through sudo.
set -eu

# python3 runs the configuration; NumPy and SciPy serve the Python package,
# whose compiled part (the library's runs in the interpreter) is built with
# pybind11 on Python's headers; tqdm draws its progress bars.
packages="g++ cmake make pkg-config libnetcdf-cxx-legacy-dev libnetcdf-dev netcdf-bin libopts25-dev libcairo2-dev"
packages="$packages python3 python3-numpy python3-scipy python3-dev pybind11-dev python3-pybind11"
# R and Rcpp build the R package (r/brivane); testthat runs its tests.
packages="$packages r-base-dev r-cran-rcpp"
if [ "${1:-}" = "--test" ]; then
  packages="$packages libgtest-dev libbenchmark-dev python3-netcdf4 python3-biopython python3-tqdm r-cran-testthat"
fi

missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

as_root=""
[ "$(id -u)" -ne 0 ] && as_root="sudo"
export DEBIAN_FRONTEND=noninteractive
$as_root apt-get update -q
# shellcheck disable=SC2086
$as_root apt-get install -y -q --no-install-recommends $missing
