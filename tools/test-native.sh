#!/bin/bash
# Builds the portable core natively with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer, runs its unit tests (the cache's also under
# ThreadSanitizer), then fuzzes the listing
# scan for FUZZ_SECONDS seconds (60 unless set; 0 skips the run).
set -eu
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$top/build/native
fuzz_seconds=${FUZZ_SECONDS:-60}
jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))

CC=clang CXX=clang++ cmake -S "$top/tests/native" -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j "$jobs"

status=0
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1:check_initialization_order=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
ctest --test-dir "$build" -j "$jobs" --output-on-failure || status=1

# The cache's tests again under ThreadSanitizer: a race shows as a report,
# not only as a crash.
CC=clang CXX=clang++ cmake -S "$top/tests/native" -B "$build-tsan" -G Ninja -DRIZAZUR_SANITIZE=thread >/dev/null
cmake --build "$build-tsan" -j "$jobs"
TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1} ctest --test-dir "$build-tsan" -j "$jobs" --output-on-failure || status=1

if [ "$fuzz_seconds" -gt 0 ]; then
  # New inputs go to a scratch corpus; the seeds in the tree stay as they are.
  corpus=$build/fuzz_corpus
  mkdir -p "$corpus"
  log=$build/fuzz.log
  if "$build/fuzz_listing" "$corpus" "$top/tests/native/fuzz_corpus" \
      -max_total_time="$fuzz_seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$build/" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz_listing: ${runs:-?} executions in ${fuzz_seconds} s, no failure"
  else
    tail -n 60 "$log" >&2
    echo "fuzz_listing: FAILED (log $log; crashing input in $build/)" >&2
    status=1
  fi
fi
exit $status
