#!/bin/bash
# Measures the plug-in and writes docs/performance.md, with the raw figures
# in bench/results/*.csv:
#   - each call (IsSupportedW, GetArchiveInfoW, GetFileW to memory and to a
#     file) against the archiver runs it makes, launched directly, in
#     alternating order, on zip and 7z archives of 10, 1,000 and 10,000 small
#     members and of three 20 MiB members;
#   - the steps of a call one by one (settings, starting a run, reading and
#     scanning a capture, copies, a large member's file);
#   - the listing scan natively (clang -O2) over real captures of archives of
#     100 to 100,000 members, against the archiver's own listing;
#   - a host fetching every member of an archive.
# The archives are made once, into build/bench-archives (a few minutes the
# first time). Runs under its own Wine prefix, so its wineserver and the
# plug-in's extraction lock are shared with no other Wine program.
#
#   tools/bench.sh [--quick] [--plugin FILE.sph] [--results DIR]
#
# --quick takes fewer repetitions and smaller archives and writes to
# build/bench/quick/ instead of docs/ and bench/results/. --plugin measures
# another build of the plug-in; --results puts the CSV files elsewhere (the
# report then goes beside them).
set -eu
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"

quick=0
plugin=build/win64/bin/rizazur.sph
results=
while [ $# -gt 0 ]; do
  case $1 in
    --quick) quick=1 ;;
    --plugin) plugin=$2; shift ;;
    --results) results=$2; shift ;;
    *) echo "usage: tools/bench.sh [--quick] [--plugin FILE.sph] [--results DIR]" >&2; exit 2 ;;
  esac
  shift
done

export WINEPREFIX=$top/build/bench/wineprefix
. tools/setup.sh
started=$(date +%s)
load_at_start=$(cut -d' ' -f1-3 /proc/loadavg)

if [ "$plugin" = build/win64/bin/rizazur.sph ]; then
  cmake --preset win64 >/dev/null
  cmake --build --preset win64 --target rizazur >/dev/null
fi
cmake -S bench -B build/bench/win64 -G Ninja --toolchain "$top/cmake/mingw-x86_64.cmake" >/dev/null
cmake --build build/bench/win64 >/dev/null
CC=clang CXX=clang++ cmake -S bench/native -B build/bench/native -G Ninja >/dev/null
cmake --build build/bench/native >/dev/null

if [ $quick = 1 ]; then
  sizes=(100 1000 10000)
  overhead_sizes=(10 1000)
  fetch_all_size=10
  reps=5 listing_reps=2 parts_reps=5 native_reps=3
  results=${results:-build/bench/quick}
  report=$results/performance.md
else
  sizes=(100 1000 10000 100000)
  overhead_sizes=(10 1000 10000)
  fetch_all_size=100
  reps=25 listing_reps=5 parts_reps=15 native_reps=5
  if [ -z "$results" ]; then
    results=bench/results
    report=docs/performance.md
  else
    report=$results/performance.md
  fi
fi
mkdir -p "$results" "$(dirname "$report")"

archives=build/bench-archives
python3 bench/make_archives.py "$archives" deps/7zip/x64/7z.exe 10 "${sizes[@]}" --big
[ -f "$archives/member.20MiB.bin" ] ||
  python3 -c 'import random,sys; open(sys.argv[1],"wb").write(random.Random(1).randbytes(20<<20))' \
    "$archives/member.20MiB.bin"

# Wine's view of a path.
win() {
  local p
  p=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
  echo "Z:${p//\//\\}"
}

# A private copy of the plug-in, with its settings beside it.
cp "$plugin" build/bench/plugin.sph.tmp
mkdir -p build/bench/plugin
mv build/bench/plugin.sph.tmp build/bench/plugin/rizazur.sph
seven_zip_win=$(win deps/7zip/x64)
printf '[UserSetting]\r\ndir=%s\r\n' "$seven_zip_win" >build/bench/plugin/rizazur.ini
rm -rf build/bench/temp
export RIZAZUR_BENCH_TEMP
RIZAZUR_BENCH_TEMP=$(win build/bench/temp)
bench=(/usr/lib/wine/wine64 build/bench/win64/overhead_bench.exe)
plugin_win=$(win build/bench/plugin/rizazur.sph)

for f in overhead listing parts fetch_all scaling; do rm -f "$results/$f.csv"; done
# The archiver's listings and our native scan of them take turns, round
# after round, so that both meet the same load.
listed=()
native=()
for n in 10 "${sizes[@]}"; do
  for t in zip 7z; do
    listed+=("$(win "$archives/small.$n.$t")")
    native+=("$archives/listing.small.$n.$t.txt")
  done
done
for round in $(seq "$listing_reps"); do
  echo "bench: round $round of $listing_reps: the archiver's test and listing, then our scan natively" >&2
  "${bench[@]}" listing "$seven_zip_win" "$(win "$results/listing.csv")" 1 "$(win "$archives")" \
    "${listed[@]}" "$(win "$archives/big.zip")" "$(win "$archives/big.7z")"
  build/bench/native/scaling_bench "$results/scaling.csv" "$native_reps" "${native[@]}"
done

echo "bench: the steps of a call one by one" >&2
captures=()
for n in 10 "${sizes[@]}"; do for t in zip 7z; do captures+=("$(win "$archives/listing.small.$n.$t.txt")"); done; done
"${bench[@]}" parts "$plugin_win" "$seven_zip_win" "$(win "$results/parts.csv")" "$parts_reps" \
  "$(win "$archives/small.10.zip")" "$(win "$archives/member.20MiB.bin")" "${captures[@]}"

echo "bench: each call against the runs it makes, $reps pairs each" >&2
measured=()
for n in "${overhead_sizes[@]}"; do for t in zip 7z; do measured+=("$(win "$archives/small.$n.$t")"); done; done
"${bench[@]}" overhead "$plugin_win" "$seven_zip_win" "$(win "$results/overhead.csv")" "$reps" \
  "${measured[@]}" "$(win "$archives/big.zip")" "$(win "$archives/big.7z")"

echo "bench: a host fetching every member" >&2
"${bench[@]}" fetch-all "$plugin_win" "$seven_zip_win" "$(win "$results/fetch_all.csv")" \
  "$(win "$archives/small.$fetch_all_size.zip")"

elapsed=$(( $(date +%s) - started ))
python3 bench/report.py --results "$results" --report "$report" --seconds "$elapsed" \
  --mode "$([ $quick = 1 ] && echo quick || echo full)" --plugin "$plugin" --load-at-start "$load_at_start"
echo "bench: $report and $results/*.csv in ${elapsed} s" >&2
