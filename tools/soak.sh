#!/bin/bash
# A long run outside the tests: the listing fuzzer on every core for a
# while, then the load tests at full size (8 threads x 50 requests, and two
# host processes), for both builds. Writes the figures into the "Soak run"
# section of docs/robustness.md.
#
#   tools/soak.sh [--minutes N]     fuzzing time, 30 minutes unless given
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"

minutes=30
while [ $# -gt 0 ]; do
  case $1 in
    --minutes) minutes=$2; shift ;;
    *) echo "usage: tools/soak.sh [--minutes N]" >&2; exit 2 ;;
  esac
  shift
done

. tools/setup.sh
started=$(date +%s)
load_at_start=$(cut -d' ' -f1-3 /proc/loadavg)
work=$top/build/soak
rm -rf "$work"
mkdir -p "$work"

echo "soak: building the portable core and fuzzing it for $minutes min on $(nproc) cores" >&2
FUZZ_SECONDS=0 bash tools/test-native.sh >"$work/native.log" 2>&1
fuzzers=$(nproc)
pids=()
for w in $(seq "$fuzzers"); do
  mkdir -p "$work/corpus-$w"
  build/native/fuzz_listing "$work/corpus-$w" tests/native/fuzz_corpus -max_total_time=$((minutes * 60)) \
    -max_len=8192 -timeout=10 -rss_limit_mb=2048 -seed="$w" -print_final_stats=1 \
    -artifact_prefix="$work/crash-$w-" >"$work/fuzz-$w.log" 2>&1 &
  pids+=($!)
done
fuzz_failed=0
for pid in "${pids[@]}"; do wait "$pid" || fuzz_failed=1; done
executions=0
for w in $(seq "$fuzzers"); do
  n=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/fuzz-$w.log")
  executions=$((executions + ${n:-0}))
done
echo "soak: $executions fuzzing executions, $([ $fuzz_failed = 0 ] && echo 'no failure' || echo FAILED)" >&2

# The load tests at full size, for each build.
load_status=0
declare -A wine=([win64]=/usr/lib/wine/wine64 [win32]=/usr/lib/wine/wine)
presets=(win64)
[[ $(cat deps/i386-status) == "i386 runs: enabled"* ]] && presets+=(win32)
for preset in "${presets[@]}"; do
  echo "soak: load tests, $preset" >&2
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target hardening_tests >/dev/null
  RIZAZUR_LOAD_REQUESTS=50 RIZAZUR_LOAD_ROUNDS=12 "${wine[$preset]}" "build/$preset/bin/hardening_tests.exe" \
    --gtest_filter='Load.*' >"$work/load-$preset.log" 2>&1 || load_status=1
done
elapsed=$(( $(date +%s) - started ))

python3 - "$work" "$minutes" "$fuzzers" "$executions" "$fuzz_failed" "$load_status" "$load_at_start" \
  "$elapsed" "${presets[@]}" <<'EOF'
import re, sys, pathlib
work, minutes, fuzzers, executions, fuzz_failed, load_status, load, elapsed = sys.argv[1:9]
presets = sys.argv[9:]
work = pathlib.Path(work)
lines = [
    "<!-- soak: written by tools/soak.sh -->",
    "## Soak run",
    "",
    f"`tools/soak.sh --minutes {minutes}`: {int(elapsed) // 60} min in all, load average {load} at the start.",
    "",
    f"- **Fuzzer**: {fuzzers} processes for {minutes} min, {int(executions):,} executions in all, "
    + ("no failure." if fuzz_failed == "0" else "**a failure** (see build/soak)."),
]
names = {"win64": "rizazur.sph (x64)", "win32": "rizazur.spi (i686)"}
for preset in presets:
    log = (work / f"load-{preset}.log").read_text(errors="replace")
    figures = [l.split("]", 1)[1].strip() for l in log.splitlines() if l.startswith("[ figures  ]")]
    passed = "[  PASSED  ]" in log and "[  FAILED  ]" not in log
    lines.append(f"- **Load, {names[preset]}**: " + "; ".join(figures) + ". "
                 + ("Every answer right." if passed else "**Not every answer right** (see build/soak)."))
if len(presets) < 2:
    lines.append("- 32-bit runs were not available: rizazur.spi was not soaked.")
lines.append("<!-- /soak -->")
doc = pathlib.Path("docs/robustness.md")
text = doc.read_text()
block = "\n".join(lines) + "\n"
if "<!-- soak:" in text:
    text = re.sub(r"<!-- soak:.*?<!-- /soak -->\n", lambda m: block, text, flags=re.S)
else:
    text = text.replace("## Limits seen, not changed", block + "\n## Limits seen, not changed")
doc.write_text(text)
EOF
echo "soak: docs/robustness.md written; logs in build/soak" >&2
[ "$fuzz_failed" = 0 ] && [ "$load_status" = 0 ]
