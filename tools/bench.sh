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
#   - a host fetching every member of an archive;
#   - with --label, pages and opening: IsSupportedW + GetArchiveInfoW, a
#     page (GetFileW after a listing) and GetFileInfoW + GetFileW against
#     the bare 7-Zip runs they need, the page time from 10 to 100,000
#     members, bare extractions of several members in one run, and the runs
#     and time it takes to fetch every member of a 5,000-member album;
#   - with --passes, whole albums paged forward, backward, in the popular
#     host's order and at random, reading ahead and not, against one bare
#     extraction of the whole archive (passes.csv); with --label too, the
#     build's own passes instead (passes-LABEL*.csv): through the 64-bit
#     build forward, backward and in the popular host's order on four
#     albums; through the 32-bit build (--plugin32) the popular 32-bit
#     host's way (ANSI calls, short 8.3 paths, its order) on two small
#     albums; a page asked every 150 ms; and a folder scan;
#   - with --first-page, opening a big zip (FIRST_MB MiB, 1024 by default,
#     500 stored members, made at run time) and showing its first page under
#     test=full and test=list, against a bare listing and a bare extraction
#     of that page (first-page-full.csv, first-page-list.csv).
# The archives are made once, into build/bench-archives (a few minutes the
# first time). Runs under its own Wine prefix, so its wineserver and the
# plug-in's extraction lock are shared with no other Wine program.
#
#   tools/bench.sh [--quick] [--pages-only] [--label before|after]
#                  [--passes] [--passes-only] [--first-page] [--first-page-only]
#                  [--plugin FILE.sph] [--plugin32 FILE.spi] [--results DIR]
#
# --quick takes fewer repetitions and smaller archives and writes to
# build/bench/quick/ instead of docs/ and bench/results/. --plugin measures
# another build of the plug-in, --plugin32 its 32-bit build; --results puts
# the CSV files elsewhere (the report then goes beside them). --label names
# the build for pages and opening, whose figures go to pages-LABEL*.csv, and
# for the passes; without it pages and opening are not measured and the
# report shows those already there. --pages-only measures pages and opening
# alone and rewrites only that section of the report. --passes adds the album
# passes; --passes-only measures them alone and rewrites only the passes'
# sections (PASS_ROUNDS rounds, 3 by default). With --label, that is the
# before-and-after section at the top of the report, with its chart, from
# passes-before*.csv and passes-after*.csv, whichever exist. Without it, the
# passes with reading ahead off take one run a page and so are made forward
# only, and at random too on the 300-member zip and the 60-member 7z; the
# 5,000-member album's, an hour on a busy machine, are left to --label, whose
# album figures are that pass. --first-page-only measures the first page
# alone and rewrites only its section (FIRST_REPS pairs, 6 by default).
set -eu
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"

usage="usage: tools/bench.sh [--quick] [--pages-only] [--label before|after] [--passes] [--passes-only] [--first-page] [--first-page-only] [--plugin FILE.sph] [--plugin32 FILE.spi] [--results DIR]"
quick=0
first=0
first_only=0
pages_only=0
passes=0
passes_only=0
label=
plugin=build/win64/bin/rizazur.sph
plugin32=build/win32/bin/rizazur.spi
results=
while [ $# -gt 0 ]; do
  case $1 in
    --quick) quick=1 ;;
    --pages-only) pages_only=1 ;;
    --passes) passes=1 ;;
    --passes-only) passes=1 passes_only=1 ;;
    --first-page) first=1 ;;
    --first-page-only) first=1 first_only=1 ;;
    --label) label=$2; shift ;;
    --plugin) plugin=$2; shift ;;
    --plugin32) plugin32=$2; shift ;;
    --results) results=$2; shift ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
  shift
done
case $label in
  before | after) ;;
  "") [ $pages_only = 0 ] || { echo "bench: --pages-only needs --label" >&2; exit 2; } ;;
  *) echo "$usage" >&2; exit 2 ;;
esac

export WINEPREFIX=$top/build/bench/wineprefix
. tools/setup.sh
started=$(date +%s)
load_at_start=$(cut -d' ' -f1-3 /proc/loadavg)

if [ "$plugin" = build/win64/bin/rizazur.sph ]; then
  cmake --preset win64 >/dev/null
  cmake --build --preset win64 --target rizazur >/dev/null
fi
if [ "$passes" = 1 ] && [ -n "$label" ] && [ "$plugin32" = build/win32/bin/rizazur.spi ]; then
  cmake --preset win32 >/dev/null
  cmake --build --preset win32 --target rizazur >/dev/null
fi
cmake -S bench -B build/bench/win64 -G Ninja --toolchain "$top/cmake/mingw-x86_64.cmake" >/dev/null
cmake --build build/bench/win64 >/dev/null
cmake -S bench -B build/bench/win32 -G Ninja --toolchain "$top/cmake/mingw-i686.cmake" >/dev/null
cmake --build build/bench/win32 >/dev/null
CC=clang CXX=clang++ cmake -S bench/native -B build/bench/native -G Ninja >/dev/null
cmake --build build/bench/native >/dev/null

if [ $quick = 1 ]; then
  sizes=(100 1000 10000)
  overhead_sizes=(10 1000)
  fetch_all_size=10
  reps=5 listing_reps=2 parts_reps=5 native_reps=3
  page_sizes=(10 100 1000)
  page_reps=3 album=small.100.zip
  results=${results:-build/bench/quick}
  report=$results/performance.md
else
  sizes=(100 1000 10000 100000)
  overhead_sizes=(10 1000 10000)
  fetch_all_size=100
  reps=25 listing_reps=5 parts_reps=15 native_reps=5
  page_sizes=(10 100 1000 10000 100000)
  page_reps=12 album=pages.5000.zip
  if [ -z "$results" ]; then
    results=bench/results
    report=docs/performance.md
  else
    report=$results/performance.md
  fi
fi
mkdir -p "$results" "$(dirname "$report")"

archives=build/bench-archives
if [ $first_only = 1 ]; then
  mkdir -p "$archives"  # its archive is made where it is measured
elif [ $passes_only = 1 ]; then
  python3 bench/make_archives.py "$archives" deps/7zip/x64/7z.exe --pages
elif [ $pages_only = 1 ]; then
  python3 bench/make_archives.py "$archives" deps/7zip/x64/7z.exe "${page_sizes[@]}" --pages
else
  python3 bench/make_archives.py "$archives" deps/7zip/x64/7z.exe 10 "${sizes[@]}" "${page_sizes[@]}" --big \
    ${label:+--pages}
fi
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
bench32=(/usr/lib/wine/wine build/bench/win32/overhead_bench.exe)
plugin_win=$(win build/bench/plugin/rizazur.sph)

# Pages and opening, for the build named by --label.
measure_pages() {
  local stem=$results/pages-$label
  rm -f "$stem.csv" "$stem-batch.csv" "$stem-album.csv" "$stem-run.csv"
  local pages_started load
  pages_started=$(date +%s)
  load=$(cut -d' ' -f1-3 /proc/loadavg)
  echo "bench: pages and opening ($label), $page_reps pairs each" >&2
  "${bench[@]}" pages "$plugin_win" "$seven_zip_win" "$(win "$stem.csv")" "$page_reps" open,page,info+page \
    "$(win "$archives/pages.300.zip")" "$(win "$archives/pages.300.7z")" "$(win "$archives/pages.5000.zip")"
  local chart=()
  for n in "${page_sizes[@]}"; do chart+=("$(win "$archives/small.$n.zip")"); done
  "${bench[@]}" pages "$plugin_win" "$seven_zip_win" "$(win "$stem.csv")" "$page_reps" page "${chart[@]}"
  echo "bench: several members in one bare run" >&2
  "${bench[@]}" batch "$seven_zip_win" "$(win "$stem-batch.csv")" "$page_reps" "$(win "$archives/small.10.zip")" \
    "$(win "$archives/pages.300.zip")" "$(win "$archives/pages.300.7z")" "$(win "$archives/pages.5000.zip")"

  # The runs to fetch every member are counted through a copy of the
  # plug-in whose 7z.exe is the counting stand-in; they are timed without it.
  local counter=build/bench/counter counted=build/bench/plugin-counted
  mkdir -p "$counter" "$counted"
  cp build/bench/win64/count_runs.exe "$counter/7z.exe"
  cp deps/7zip/x64/7z.dll "$counter/7z.dll"
  cp build/bench/plugin/rizazur.sph "$counted/rizazur.sph"
  printf '[UserSetting]\r\ndir=%s\r\n' "$(win "$counter")" >"$counted/rizazur.ini"
  echo "bench: every member of $album, runs counted" >&2
  "${bench[@]}" album "$(win "$counted/rizazur.sph")" "$seven_zip_win" "$(win "$stem-album.csv")" \
    "$(win "$archives/$album")" "$(win "$counter/runs.log")" "$(win deps/7zip/x64/7z.exe)"
  echo "bench: every member of $album, timed" >&2
  "${bench[@]}" album "$plugin_win" "$seven_zip_win" "$(win "$stem-album.csv")" "$(win "$archives/$album")"

  {
    echo "key,value"
    echo "plugin,$plugin"
    echo "sha256,$(sha256sum "$plugin" | cut -c1-16)"
    echo "tree,$(git describe --always --dirty)"
    echo "date,$(date -u +%Y-%m-%d)"
    echo "pairs,$page_reps"
    echo "seconds,$(( $(date +%s) - pages_started ))"
    echo "load_start,$load"
    echo "load_end,$(cut -d' ' -f1-3 /proc/loadavg)"
  } >"$stem-run.csv"
}

# Whole albums paged by a freshly loaded plug-in, reading ahead (the
# default) and not (a copy beside settings that turn it off).
measure_passes() {
  local rounds=${PASS_ROUNDS:-3} off=build/bench/plugin-off
  mkdir -p "$off"
  cp build/bench/plugin/rizazur.sph "$off/rizazur.sph"
  printf '[UserSetting]\r\ndir=%s\r\naheadMB=0\r\n' "$seven_zip_win" >"$off/rizazur.ini"
  rm -f "$results/passes.csv"
  echo "bench: album passes, $rounds rounds" >&2
  local pass=("${bench[@]}" passes "$plugin_win" "$(win "$off/rizazur.sph")" "$seven_zip_win"
    "$(win "$results/passes.csv")" "$rounds" forward,backward,host,random)
  "${pass[@]}" forward,random "$(win "$archives/pages.300.zip")" "$(win "$archives/pages.60.7z")"
  "${pass[@]}" forward "$(win "$archives/pages.300.7z")"
  "${pass[@]}" none "$(win "$archives/pages.5000.zip")"
}

# One build's passes, for before and after (--label): the 64-bit build's
# wide calls on four albums; the 32-bit build (a private copy beside its own
# settings) the popular 32-bit host's way on the two small ones; a person
# paging; and a folder scan of 20 archives, five copies of each of four
# albums: files of their own, as a hard link, the same file to the plug-in,
# would not be.
measure_build_passes() {
  local rounds=${PASS_ROUNDS:-3} stem=$results/passes-$label own32=build/bench/plugin32 scan=$archives/scan
  mkdir -p "$own32" "$scan"
  cp "$plugin32" "$own32/rizazur.spi"
  printf '[UserSetting]\r\ndir=%s\r\n' "$seven_zip_win" >"$own32/rizazur.ini"
  rm -f "$stem.csv" "$stem-paced.csv" "$stem-scan.csv" "$stem-run.csv"
  local passes_started load
  passes_started=$(date +%s)
  load=$(cut -d' ' -f1-3 /proc/loadavg)
  echo "bench: album passes ($label), $rounds rounds" >&2
  "${bench[@]}" passes "$plugin_win" "$plugin_win" "$seven_zip_win" "$(win "$stem.csv")" "$rounds" \
    forward,backward,host none "$(win "$archives/pages.300.zip")" "$(win "$archives/pages.300.7z")" \
    "$(win "$archives/pages.1000.zip")" "$(win "$archives/pages.60.7z")"
  echo "bench: the popular 32-bit host's passes ($label)" >&2
  "${bench32[@]}" passes-ansi "$(win "$own32/rizazur.spi")" "$seven_zip_win" "$(win "$stem.csv")" "$rounds" \
    "$(win "$archives/album.60.zip")" "$(win "$archives/album.40.tar.gz")"
  echo "bench: a page every 150 ms ($label)" >&2
  "${bench[@]}" paced "$plugin_win" "$seven_zip_win" "$(win "$stem-paced.csv")" "$rounds" 150 \
    "$(win "$archives/pages.300.zip")" "$(win "$archives/pages.300.7z")"
  local scanned=()
  for k in 1 2 3 4 5; do
    for a in album.60.zip album.40.tar.gz pages.1000.zip pages.300.zip; do
      [ -f "$scan/$k.$a" ] || { cp "$archives/$a" "$scan/$k.$a.part" && mv "$scan/$k.$a.part" "$scan/$k.$a"; }
      scanned+=("$(win "$scan/$k.$a")")
    done
  done
  echo "bench: a folder scan of ${#scanned[@]} archives ($label)" >&2
  "${bench[@]}" scan "$plugin_win" "$seven_zip_win" "$(win "$stem-scan.csv")" "$rounds" "${scanned[@]}"
  {
    echo "key,value"
    echo "plugin,$plugin"
    echo "sha256,$(sha256sum "$plugin" | cut -c1-16)"
    echo "plugin32,$plugin32"
    echo "sha256_32,$(sha256sum "$plugin32" | cut -c1-16)"
    echo "tree,$(git describe --always --dirty)"
    echo "date,$(date -u +%Y-%m-%d)"
    echo "rounds,$rounds"
    echo "seconds,$(( $(date +%s) - passes_started ))"
    echo "load_start,$load"
    echo "load_end,$(cut -d' ' -f1-3 /proc/loadavg)"
  } >"$stem-run.csv"
}

# A viewer's first look at a big archive: open and first page, the plug-in
# as it is (test=full) and a copy beside settings that claim by listing.
measure_first() {
  local mb=${FIRST_MB:-1024} listed=build/bench/plugin-list
  python3 bench/make_archives.py "$archives" deps/7zip/x64/7z.exe --first "$mb"
  mkdir -p "$listed"
  cp build/bench/plugin/rizazur.sph "$listed/rizazur.sph"
  printf '[UserSetting]\r\ndir=%s\r\ntest=list\r\n' "$seven_zip_win" >"$listed/rizazur.ini"
  rm -f "$results/first-page-full.csv" "$results/first-page-list.csv"
  echo "bench: the first page of a $mb MiB zip, test=full and test=list" >&2
  "${bench[@]}" pages "$plugin_win" "$seven_zip_win" "$(win "$results/first-page-full.csv")" \
    "${FIRST_REPS:-6}" first "$(win "$archives/first.$mb.zip")"
  "${bench[@]}" pages "$(win "$listed/rizazur.sph")" "$seven_zip_win" "$(win "$results/first-page-list.csv")" \
    "${FIRST_REPS:-6}" first "$(win "$archives/first.$mb.zip")"
}

if [ $first_only = 1 ]; then
  measure_first
  python3 bench/report.py --results "$results" --report "$report" --first-page-only
  echo "bench: the first page section of $report and $results/first-page-*.csv in $(( $(date +%s) - started )) s" >&2
  exit 0
fi

if [ $passes_only = 1 ]; then
  if [ -n "$label" ]; then
    measure_build_passes
    what="$results/passes-$label*.csv"
  else
    measure_passes
    what=$results/passes.csv
  fi
  python3 bench/report.py --results "$results" --report "$report" --passes-only
  echo "bench: the album passes sections of $report and $what in $(( $(date +%s) - started )) s" >&2
  exit 0
fi

if [ $pages_only = 1 ]; then
  measure_pages
  python3 bench/report.py --results "$results" --report "$report" --pages-only
  echo "bench: the pages section of $report and $results/pages-$label*.csv in $(( $(date +%s) - started )) s" >&2
  exit 0
fi

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

if [ -n "$label" ]; then measure_pages; fi
if [ $passes = 1 ]; then
  if [ -n "$label" ]; then measure_build_passes; else measure_passes; fi
fi
if [ $first = 1 ]; then measure_first; fi

elapsed=$(( $(date +%s) - started ))
python3 bench/report.py --results "$results" --report "$report" --seconds "$elapsed" \
  --mode "$([ $quick = 1 ] && echo quick || echo full)" --plugin "$plugin" --load-at-start "$load_at_start"
echo "bench: $report and $results/*.csv in ${elapsed} s" >&2
