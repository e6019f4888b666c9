#!/bin/bash
# Sets everything up, builds both plug-ins and runs every test: the portable
# core natively (sanitizers, a bounded fuzzing run), then the whole suite
# under Wine against rizazur.sph and against rizazur.spi.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"
. tools/setup.sh

jobs=$(nproc)
logs=$(mktemp -d)
# The dialogs' tests need a display: a virtual one, ours alone, gone at exit.
xvfb_pid=
trap 'rm -rf "$logs"; [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null' EXIT
. tools/xvfb.sh
status=0
passed=0
failed=0

# Adds up what the ctest runs of a log printed in their closing lines (the
# native log holds two) into the totals and sets `result` to the log's figures.
count() {
  local line f=0 total=0
  while read -r line; do
    f=$((f + $(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")))
    total=$((total + $(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")))
  done < <(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$1")
  if [ "$total" -eq 0 ]; then
    result="no result"
    failed=$((failed + 1))
    return
  fi
  passed=$((passed + total - f))
  failed=$((failed + f))
  result="$((total - f)) passed, $f failed"
}

bash tools/test-native.sh 2>&1 | tee "$logs/native" || status=1
i386=$(cat deps/i386-status)
for preset in win64 win32; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

ctest --preset win64 -j "$jobs" 2>&1 | tee "$logs/win64" || status=1
skipped=
if [[ $i386 == "i386 runs: enabled"* ]]; then
  ctest --preset win32 -j "$jobs" 2>&1 | tee "$logs/win32" || status=1
else
  ctest --preset win32 -R '^exports_and_imports$' 2>&1 | tee "$logs/win32" || status=1
  skipped="SKIPPED: $i386 (only the static export check ran)"
fi

echo
echo "== summary =="
count "$logs/native"
echo "native core:         $result"
count "$logs/win64"
echo "rizazur.sph (x64):   $result"
count "$logs/win32"
echo "rizazur.spi (i686):  ${skipped:-$result}"
if [ -n "$skipped" ]; then
  echo "!!! 32-BIT RUNS WERE SKIPPED: none of rizazur.spi's tests ran on this machine !!!"
fi
[ "$failed" -eq 0 ] || status=1
echo "tests: $passed passed, $failed failed"
exit $status
