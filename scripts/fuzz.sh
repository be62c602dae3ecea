#!/usr/bin/env bash
# Fuzzes the two places where outside bytes enter brivane, with AFL++, each
# target for a bounded time (default 600 seconds), the two side by side:
#   argv  the command line (fuzz/argv_main.cc), seeded from fuzz/corpus/argv
#   file  the input inspection and loading (fuzz/file_main.cc), seeded from
#         the classic-format NetCDF files in fuzz/corpus/file
# Both are built with AddressSanitizer and UndefinedBehaviorSanitizer into
# build-afl/.  Findings land in <work>/<target>/default/{crashes,hangs}, where
# <work> is $BRIVANE_FUZZ_WORK (default build-afl/fuzz; a tmpfs folder such as
# /dev/shm/brivane-fuzz spares the disk a write per run); a second run with
# the same <work> resumes where the first stopped.  The run counts of each
# target are printed at the end.
#
#   scripts/fuzz.sh [seconds]
set -eu
cd "$(dirname "$0")/.."
seconds="${1:-600}"
root="$PWD"
build="$root/build-afl"

if ! command -v afl-fuzz >/dev/null; then
  as_root=""
  [ "$(id -u)" -ne 0 ] && as_root="sudo"
  $as_root apt-get install -y -q --no-install-recommends afl++
fi

export AFL_USE_ASAN=1 AFL_USE_UBSAN=1
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=afl-clang-fast++ >/dev/null
cmake --build "$build" -j2 --target brivane_arg_test brivane_core
libs="$build/libbrivane_arg_test.a $build/libbrivane_core.a $build/libbrivane_arg_test.a -lnetcdf_c++ -lnetcdf -lopts -lm"
for target in argv file; do
  # shellcheck disable=SC2086
  afl-clang-fast++ -std=c++17 -O1 -g -Wall -Wextra -o "$build/fuzz_$target" "fuzz/${target}_main.cc" $libs
done
unset AFL_USE_ASAN AFL_USE_UBSAN

# The program frees nothing at exit by design: leak reports are off.  A
# sanitizer finding must abort for the fuzzer to see it.
export ASAN_OPTIONS=abort_on_error=1:symbolize=0:detect_leaks=0:allocator_may_return_null=1
export UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1
export AFL_SKIP_CPUFREQ=1 AFL_NO_AFFINITY=1 AFL_NO_UI=1 AFL_I_DONT_CARE_ABOUT_MISSING_CRASHES=1

# The command line target runs in an empty scratch folder, so that every run
# stops at the input it cannot open; the file target writes its output into
# a scratch folder of its own.
work="${BRIVANE_FUZZ_WORK:-$build/fuzz}"
mkdir -p "$work/argv-cwd" "$work/file-out"
rm -rf "$work/argv-cwd/"* "$work/file-out/"*
resume() { [ -d "$work/$1/default/queue" ] && echo "-" || echo "$root/fuzz/corpus/$1"; }

(cd "$work/argv-cwd" && afl-fuzz -i "$(resume argv)" -o "$work/argv" -x "$root/fuzz/argv.dict" \
  -t 2000 -m none -V "$seconds" -- "$build/fuzz_argv" @@ >"$work/argv.log" 2>&1) &
argv_pid=$!
# Four runs of brivane per input: the time limit covers all four.
(cd "$work/file-out" && BRIVANE_FUZZ_OUT="$work/file-out" afl-fuzz -i "$(resume file)" -o "$work/file" \
  -t 8000 -m none -V "$seconds" -- "$build/fuzz_file" @@ >"$work/file.log" 2>&1) &
file_pid=$!
status=0
wait "$argv_pid" || status=$?
wait "$file_pid" || status=$?

for target in argv file; do
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
