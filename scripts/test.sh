#!/usr/bin/env bash
# Installs what is missing, builds brivane with its tests and runs the whole
# test suite.
set -eu
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh --test
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j2
(cd build && ctest --output-on-failure -j2)
