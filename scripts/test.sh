#!/usr/bin/env bash
# Installs what is missing, builds brivane with its tests and runs the whole
# test suite twice: in the release build, and in a build with
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -eu
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh --test

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBRIVANE_REQUIRE_TESTS=ON
cmake --build build -j2
(cd build && ctest --output-on-failure -j2)

# The program frees nothing at exit by design, so leak reports are off (the
# engine's own tests turn them on for themselves: core_leaks); a
# sanitizer finding ends the process with its own status, distinct from the
# program's 1 and 3, so that no test that expects a failure can mistake it.
export ASAN_OPTIONS=detect_leaks=0:exitcode=86:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:exitcode=87
export BRIVANE_SANITIZED=1
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRIVANE_SANITIZE=ON -DBRIVANE_REQUIRE_TESTS=ON
cmake --build build-asan -j2
(cd build-asan && ctest --output-on-failure -j2)
