#!/bin/bash
# The release package as a user gets it: tools/release.sh packs it, it is
# unpacked into a fresh folder with 7-Zip beside the plug-ins (the portable
# set-up, so the packed rizazur.ini is read as shipped), and each spihost in
# it brings every member of samples/sample.zip out through its plug-in, byte
# for byte the originals in samples/images, each in its folder. Also checks
# that the packed ini and readme name every key the plug-in reads. Ends with
# "N checks passed, N failed".
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"
. tools/setup.sh

passed=0
failed=0
check() {  # check WHAT COMMAND...
  local what=$1
  shift
  if "$@"; then
    echo "release test: ok      $what"
    passed=$((passed + 1))
  else
    echo "release test: FAILED  $what" >&2
    failed=$((failed + 1))
  fi
}

bash tools/release.sh >/dev/null
version=$(sed -n 's/^project(rizazur VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unzip -q "dist/rizazur-$version.zip" -d "$work"
package=$work/rizazur-$version

# Every key the settings module reads or writes: each call that names one
# takes the file (ini) or the section (kSection) just before it.
keys=$(grep -oE '\((ini|kSection), L"[A-Za-z]+"' driver/settings.cpp |
       sed -E 's/.*L"([A-Za-z]+)"/\1/' | sort -u)
[ -n "$keys" ] || { echo "release test: no settings keys found in driver/settings.cpp" >&2; exit 1; }
for key in $keys; do
  check "rizazur.ini names $key" grep -qE "^;$key=" "$package/rizazur.ini"
  check "readme.txt lists $key" grep -qE "^  $key " "$package/readme.txt"
done

cp deps/7zip/x64/7z.exe deps/7zip/x64/7z.dll "$package/"
winpath() { echo "Z:${1//\//\\}"; }
same_as_originals() {  # same_as_originals FOLDER
  local original count=0 fetched
  while IFS= read -r -d '' original; do
    count=$((count + 1))
    cmp -s "$original" "$1/${original#samples/images/}" || { echo "  differs or missing: ${original#samples/images/}" >&2; return 1; }
  done < <(find samples/images -type f -print0)
  fetched=$(find "$1" -type f | wc -l)
  [ "$fetched" -eq "$count" ] || { echo "  $fetched files brought out, $count expected" >&2; return 1; }
}
fetch_sample() {  # fetch_sample WINE SPIHOST PLUGIN
  local out=$work/out-$3
  "$1" "$package/$2" extract "$(winpath "$package/$3")" "$(winpath "$top/samples/sample.zip")" -o "$(winpath "$out")" \
    >"$work/$3.log" 2>&1 || { cat "$work/$3.log" >&2; return 1; }
  same_as_originals "$out"
}
check "spihost64 from the package brings out the sample through rizazur.sph" \
  fetch_sample /usr/lib/wine/wine64 spihost64.exe rizazur.sph
if [[ $(cat deps/i386-status) == "i386 runs: enabled"* ]]; then
  check "spihost32 from the package brings out the sample through rizazur.spi" \
    fetch_sample /usr/lib/wine/wine spihost32.exe rizazur.spi
else
  echo "release test: 32-bit runs unavailable here; rizazur.spi was not tried" >&2
fi
echo "release test: $passed checks passed, $failed failed"
[ "$failed" -eq 0 ]
