#!/bin/bash
# Builds the portable core natively with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer and runs its unit tests.
set -eu
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$top/build/native
jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))

CC=clang CXX=clang++ cmake -S "$top/tests/native" -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j "$jobs"

status=0
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1:check_initialization_order=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
ctest --test-dir "$build" -j "$jobs" --output-on-failure || status=1

exit $status
