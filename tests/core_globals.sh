#!/bin/bash
# Checks that libbrivane (the engine) keeps no writable global or static
# data: every run's state lives in its Run object.  The few entries allowed
# below carry no state from one call to the next:
#   silent_sink()::silent  the silent sink, a Sink without data members;
#   measure_scratch        per-thread scratch space of the rank and edit
#                          measures, written before it is read in each call;
#   join_scratch           per-thread sort buffers of the join, likewise;
#   __cpu_model, __cpu_features2
#                          the processor's features, set once by the
#                          compiler runtime's constructor as the library
#                          loads, read by the wide kernels' checks;
# and what the compiler and the C++ runtime put in every shared library
# (the shared object's handle, exception personality references,
# thread-local guards).
#   tests/core_globals.sh LIBRARY
set -eu
library=$1
# Every symbol in a writable section (the data, the zeroed data and their
# thread-local kinds), its name after the section.
unexpected=$(objdump -tC "$library" |
  grep -E '[[:space:]](\.data|\.bss|\.tdata|\.tbss)[[:space:]]' |
  sed -E 's/.*[[:space:]](\.data|\.bss|\.tdata|\.tbss)[[:space:]]+[0-9a-f]+[[:space:]]+//' |
  grep -v -E '^(__dso_handle|__TMC_END__|completed\.0|__tls_guard)$' |
  grep -v -E '^DW\.ref\.' |
  grep -v -E '^(guard variable for )?brivane::silent_sink\(\)::silent$' |
  grep -v -E '^(guard variable for )?measure_scratch$' |
  grep -v -E '^join_scratch$' |
  grep -v -E '^(__cpu_model|__cpu_features2)$' || true)
if [ -n "$unexpected" ]; then
  echo "writable global or static data in $library:"
  echo "$unexpected"
  exit 1
fi
echo "no writable global or static data in $library beyond the allowed list"
