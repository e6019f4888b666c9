#!/bin/bash
# Pictures of the plug-in's dialogs for the README, made on a virtual
# display: docs/settings-dialog.png, docs/about-box.png and
# docs/password-dialog.png (and the -ja twins of the settings dialog and the
# password's question where a Japanese font is installed). Each dialog is
# opened by spihost in a Wine desktop of its own, photographed, and closed
# with Escape as a user would. A Wine prefix of their own holds what a
# user's machine would: 7-Zip under Program Files, the plug-in in
# C:\Tools\rizazur and an album in C:\Pictures, so no folder of the machine
# that made them shows.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"
export WINEPREFIX=$top/build/screenshots/wineprefix
. tools/setup.sh
cmake --preset win64 >/dev/null
cmake --build --preset win64 -j "$(nproc)" --target rizazur spihost >/dev/null

xvfb_pid=
work=$(mktemp -d)
trap 'rm -rf "$work"; [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null; /usr/lib/wine/wineserver -k 2>/dev/null || true' EXIT
. tools/xvfb.sh

seven_zip="$WINEPREFIX/drive_c/Program Files/7-Zip"
plugins=$WINEPREFIX/drive_c/Tools/rizazur
pictures=$WINEPREFIX/drive_c/Pictures
rm -rf "$seven_zip" "$plugins" "$pictures"
mkdir -p "$seven_zip" "$plugins" "$pictures"
cp deps/7zip/x64/7z.exe deps/7zip/x64/7z.dll "$seven_zip/"
cp build/win64/bin/rizazur.sph "$plugins/"
printf '[UserSetting]\r\ndir=C:\\Program Files\\7-Zip\r\n' >"$plugins/rizazur.ini"
winpath() { echo "Z:${1//\//\\}"; }
# An album whose names and pictures are encrypted, for the password's question.
cp docs/about-box.png "$work/page.png"
/usr/lib/wine/wine64 deps/7zip/x64/7z.exe a -mhe=on -pexample 'C:\Pictures\album.7z' \
  "$(winpath "$work/page.png")" >/dev/null 2>&1
size=760x520

# shot NAME LANG COMMAND [ARGUMENT]: spihost's command and what follows the plug-in
shot() {
  local name=$1 lang=$2 command=$3 previous="" now
  shift 3
  LANG=$lang LC_ALL=$lang /usr/lib/wine/wine64 explorer "/desktop=rizazur-$name,$size" \
    "$(winpath "$top/build/win64/bin/spihost64.exe")" "$command" 'C:\Tools\rizazur\rizazur.sph' "$@" \
    >/dev/null 2>&1 &
  local pid=$!
  # Photographed once two looks in a row agree and show more than the desktop.
  for _ in $(seq 60); do
    sleep 0.5
    import -window root -crop "$size+0+0" +repage "$work/$name.png"
    now=$(md5sum <"$work/$name.png")
    if [ "$now" = "$previous" ] && [ "$(identify -format %k "$work/$name.png")" -gt 8 ]; then break; fi
    previous=$now
  done
  convert "$work/$name.png" -trim +repage "docs/$name.png"
  xdotool key Escape
  wait "$pid" || true
  echo "screenshots: docs/$name.png" >&2
}

shot settings-dialog C.UTF-8 setup
shot about-box C.UTF-8 setup about
shot password-dialog C.UTF-8 check 'C:\Pictures\album.7z'
if fc-list :lang=ja 2>/dev/null | grep -q .; then
  shot settings-dialog-ja ja_JP.UTF-8 setup
  shot password-dialog-ja ja_JP.UTF-8 check 'C:\Pictures\album.7z'
else
  echo "screenshots: no Japanese font installed, so no Japanese pictures" >&2
fi
