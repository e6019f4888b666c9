#!/bin/bash
# Sets everything up, builds both plug-ins and runs every test.
set -eu
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"
. tools/setup.sh

jobs=$(nproc)
status=0
# The portable core, natively under the sanitizers, and a bounded fuzzing run.
if [ -f tools/test-native.sh ]; then
  bash tools/test-native.sh || status=1
fi
i386=$(cat deps/i386-status)
for preset in win64 win32; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

ctest --preset win64 -j "$jobs" || status=1
if [[ $i386 == "i386 runs: enabled"* ]]; then
  ctest --preset win32 -j "$jobs" || status=1
else
  echo "!!! 32-BIT RUNS SKIPPED: $i386" >&2
  echo "!!! rizazur.spi was built and its exports checked, but none of its tests ran." >&2
  ctest --preset win32 -R '^exports_and_imports$' || status=1
fi
exit $status
