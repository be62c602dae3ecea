#!/usr/bin/env bash
# Fuzzes the places where outside bytes enter brivane and its companion
# programs, with AFL++, each target for a bounded time (default 600 seconds),
# the chosen targets side by side:
#   argv    the command line (fuzz/argv_main.cc), seeded from fuzz/corpus/argv
#   file    the input inspection and loading (fuzz/file_main.cc), seeded from
#           the classic-format NetCDF files in fuzz/corpus/file
#   export  brivane-export on a dendrogram file in every format
#           (fuzz/export_main.cc), seeded from fuzz/corpus/export
#   import  brivane-import's table parser, CSV and tab-delimited
#           (fuzz/import_main.cc), seeded from fuzz/corpus/import
# $BRIVANE_FUZZ_TARGETS chooses (default: all four; on two cores, two at a
# time are plenty).  All are built with AddressSanitizer and
# UndefinedBehaviorSanitizer into build-afl/.  Findings land in <work>/<target>/default/{crashes,hangs}, where
# <work> is $BRIVANE_FUZZ_WORK (default build-afl/fuzz; a tmpfs folder such as
# /dev/shm/brivane-fuzz spares the disk a write per run); a second run with
# the same <work> resumes where the first stopped.  The run counts of each
# target are printed at the end.
#
#   BRIVANE_FUZZ_TARGETS="export import" scripts/fuzz.sh [seconds]
set -eu
cd "$(dirname "$0")/.."
seconds="${1:-600}"
targets="${BRIVANE_FUZZ_TARGETS:-argv file export import}"
root="$PWD"
build="$root/build-afl"

if ! command -v afl-fuzz >/dev/null; then
  as_root=""
  [ "$(id -u)" -ne 0 ] && as_root="sudo"
  $as_root apt-get install -y -q --no-install-recommends afl++
fi

export AFL_USE_ASAN=1 AFL_USE_UBSAN=1
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=afl-clang-fast++ >/dev/null
cmake --build "$build" -j2 --target brivane_arg_test brivane_program brivane_static brivane_files
flags="-std=c++17 -O1 -g -Wall -Wextra -Iinclude -Isrc/core -Isrc/io -Isrc/cli"
files="$build/libbrivane_files.a -lnetcdf_c++ -lnetcdf"
# The core's parallel loops need the OpenMP runtime that CMake found for the
# compiler (none when it found none).
openmp=$(sed -n 's/^OpenMP_CXX_FLAGS:STRING=//p' "$build/CMakeCache.txt")
libs="$build/libbrivane_arg_test.a $build/libbrivane_program.a $build/libbrivane_arg_test.a $build/libbrivane.a $files -lopts -lm $openmp"
# The companion programs are linked into their targets with main renamed.
# shellcheck disable=SC2046,SC2086
afl-clang-fast++ $flags -Dmain=brivane_export_main $(pkg-config --cflags cairo) -c src/cli/brivane_export.cc -o "$build/export.o"
# shellcheck disable=SC2086
afl-clang-fast++ $flags -Dmain=brivane_import_main -c src/cli/brivane_import.cc -o "$build/import.o"
# shellcheck disable=SC2046,SC2086
for target in argv file export import; do
  case "$target" in
    argv|file) extra="$libs" ;;
    export) extra="$build/export.o $files $(pkg-config --libs cairo)" ;;
    import) extra="$build/import.o $files" ;;
  esac
  afl-clang-fast++ $flags -o "$build/fuzz_$target" "fuzz/${target}_main.cc" $extra
done
unset AFL_USE_ASAN AFL_USE_UBSAN

# The program frees nothing at exit by design: leak reports are off.  A
# sanitizer finding must abort for the fuzzer to see it.
export ASAN_OPTIONS=abort_on_error=1:symbolize=0:detect_leaks=0:allocator_may_return_null=1
export UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1
export AFL_SKIP_CPUFREQ=1 AFL_NO_AFFINITY=1 AFL_NO_UI=1 AFL_I_DONT_CARE_ABOUT_MISSING_CRASHES=1

# Each target runs in an empty scratch folder of its own and writes its
# outputs there (the command line target finds no input in it, so that every
# run stops at the input it cannot open).
work="${BRIVANE_FUZZ_WORK:-$build/fuzz}"
resume() { [ -d "$work/$1/default/queue" ] && echo "-" || echo "$root/fuzz/corpus/$1"; }

pids=""
for target in $targets; do
  mkdir -p "$work/$target-out"
  rm -rf "${work:?}/$target-out/"*
  # Several runs of the program per input (but for argv): the time limit
  # covers them all.
  case "$target" in
    argv) options="-t 2000 -x $root/fuzz/argv.dict" ;;
    *) options="-t 8000" ;;
  esac
  # shellcheck disable=SC2086
  (cd "$work/$target-out" && BRIVANE_FUZZ_OUT="$work/$target-out" afl-fuzz -i "$(resume "$target")" \
    -o "$work/$target" $options -m none -V "$seconds" -- "$build/fuzz_$target" @@ >"$work/$target.log" 2>&1) &
  pids="$pids $!"
done
status=0
for pid in $pids; do
  wait "$pid" || status=$?
done

for target in $targets; do
  stats="$work/$target/default/fuzzer_stats"
  if [ -f "$stats" ]; then
    printf '%s: ' "$target"
    awk -F' *: *' '$1 ~ /^(execs_done|corpus_count|saved_crashes|saved_hangs|run_time)$/ {printf "%s=%s ", $1, $2}' "$stats"
    echo
  else
    echo "$target: no statistics, see $work/$target.log"
  fi
done
exit "$status"
