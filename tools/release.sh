#!/bin/bash
# Builds both plug-ins and both spihost builds and packs them, with a
# commented rizazur.ini and a plain-text readme, into
# dist/rizazur-<version>.zip. The version is the one in project(VERSION) of
# CMakeLists.txt; the DLLs must carry it in their version resources.
set -eu
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"
. tools/setup.sh

version=$(sed -n 's/^project(rizazur VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "release: no project(rizazur VERSION ...) in CMakeLists.txt" >&2; exit 1; }

for preset in win64 win32; do
  echo "release: building $preset" >&2
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)" --target rizazur spihost >/dev/null
done

for module in build/win64/bin/rizazur.sph build/win32/bin/rizazur.spi; do
  if ! strings -a -el "$module" | grep -qx "$version"; then
    echo "release: $module carries no version resource for $version" >&2
    exit 1
  fi
done

name=rizazur-$version
stage=dist/$name
rm -rf "$stage" "dist/$name.zip"
mkdir -p "$stage"
cp build/win32/bin/rizazur.spi build/win64/bin/rizazur.sph "$stage/"
cp build/win32/bin/spihost32.exe build/win64/bin/spihost64.exe "$stage/"
# The builds carry debugging information; users get the code alone.
i686-w64-mingw32-strip -s "$stage/rizazur.spi" "$stage/spihost32.exe"
x86_64-w64-mingw32-strip -s "$stage/rizazur.sph" "$stage/spihost64.exe"

# What is packed loads and answers: each spihost asks its plug-in what it is.
smoke() {
  local out
  out=$("$1" "$stage/$2" info "$stage/$3" 2>&1) || true
  grep -q "00AM" <<<"$out" || { echo "release: $2 cannot use $3:" >&2; echo "$out" >&2; exit 1; }
}
smoke /usr/lib/wine/wine64 spihost64.exe rizazur.sph
if [[ $(cat deps/i386-status) == "i386 runs: enabled"* ]]; then
  smoke /usr/lib/wine/wine spihost32.exe rizazur.spi
else
  echo "release: 32-bit runs unavailable here; rizazur.spi was not tried" >&2
fi

# Windows text: CRLF line ends. The ini stays ASCII, which every profile reader takes.
crlf() { sed 's/$/\r/' >"$1"; }

# One block per key the plug-in reads, each with its default; a new key is
# one more block here and one more line in the readme's table below.
crlf "$stage/rizazur.ini" <<'EOF'
; Settings of the rizazur plug-in. Keep this file beside rizazur.spi or
; rizazur.sph, under the same name with .ini. Lines starting with ; are
; comments; leave a key out (or commented) for its default. The settings
; dialog (the viewer's Setup or Config button) writes this file too.
[UserSetting]

; The folder holding 7z.exe and 7z.dll, from 7-Zip 9.20 or later; relative
; to the plug-in's folder when relative. Default: empty, which means found
; by itself: beside the plug-in, beside the viewer, where 7-Zip's installer
; recorded it, or under Program Files.
;dir=C:\Program Files\7-Zip

; The files the viewer offers to the plug-in, separated by ; or ,
; Default: *.7z;*.zip;*.rar
;ext=*.7z;*.zip;*.rar

; The largest member listed, in MiB (1 to 2047). Larger members are left
; out, and so are folders and empty files. Default: 64
;maxMB=64

; Archives read as a tar inside a compressed file: those whose extension
; appears in this text, and every name ending .tar.<something>. Leave the
; value empty to read every archive that way. (A compressed tar whose plain
; listing names nothing, such as a .tbz or .txz, is found without it.)
; Default: *.tgz,*.taz
;tar=*.tgz,*.taz

; Disk for members read ahead, in MiB, all archives of one viewer together (0 to 65536).
; They wait in %TEMP%\rizazur for the pages the viewer asks for next; past
; this much, the least recently used go first. 0: nothing is read ahead.
; Default: 256
;aheadMB=256

; When an archive is taken: full, once 7-Zip has tested all of it; list, as
; soon as 7-Zip lists it, so a big archive shows its first page at once (a
; damaged one is shown too, and its damaged pages fail). Default: full
;test=full

; Whether to ask for the password of an encrypted archive in a small
; window: 1 asks (passwords typed while the viewer runs are tried first),
; 0 never asks, and an archive no typed password opens is refused.
; Default: 1
;askPassword=1
EOF

crlf "$stage/readme.txt" <<EOF
rizazur $version - a Susie archive plug-in that reads archives through 7-Zip
============================================================================

With this plug-in, an image viewer that takes Susie plug-ins shows the
pictures inside 7z, zip, rar and every other archive 7-Zip can open.

Files
-----
  rizazur.spi     the plug-in for 32-bit viewers
  rizazur.sph     the plug-in for 64-bit viewers
  rizazur.ini     the settings, with comments; copy it beside the plug-in
  spihost32.exe   a command-line Susie host, to try a .spi without a viewer
  spihost64.exe   the same for .sph plug-ins
  readme.txt      this file

Installing
----------
1. Install 7-Zip 9.20 or later (https://www.7-zip.org/). Either bitness
   serves either plug-in.
2. Copy rizazur.spi (32-bit viewer) or rizazur.sph (64-bit viewer) into
   the viewer's plug-in folder.
3. Restart the viewer.

The plug-in finds 7-Zip by itself: beside the plug-in (a portable set-up:
7z.exe and 7z.dll in the plug-in's folder), beside the viewer, where
7-Zip's installer recorded it, or under Program Files; never in the
current folder. rizazur.ini is needed only to choose another 7-Zip (dir=),
another filter (ext=) or other limits.

Settings
--------
The viewer's Setup (or Config) button opens the plug-in's settings
dialog: it shows which 7-Zip is in use and its version (or every place it
looked), lets you set every key below, checks what you typed and writes
rizazur.ini beside the plug-in. Cancel writes nothing. The About button
shows the version, the 7-Zip in use and where the settings file is.

[UserSetting] in rizazur.ini:
  dir      folder of 7z.exe and 7z.dll           (default: found by itself)
  ext      files offered to the plug-in          (default: *.7z;*.zip;*.rar)
  maxMB    largest member listed, in MiB         (default: 64)
  tar      archives read as compressed tar       (default: *.tgz,*.taz)
  aheadMB  disk for members read ahead, in MiB   (default: 256; 0: none)
  test     full: tested whole before shown;       (default: full)
           list: shown once listed, each page checked as it comes
  askPassword  ask for an encrypted archive's password (default: 1; 0: never)

.tgz, .taz and every name ending .tar.<ext> are read in one go through
7-Zip ("7z x -so" into "7z -si -ttar"), so that the members of the tar show
up instead of the one tar file inside; so are .tbz, .txz and other
compressed tars whose plain listing names nothing.

Names and folders
-----------------
The viewer sees each member under its folder: photos/2024/a.jpg is listed
as a.jpg in photos\2024\, so two members of the same name in different
folders stay apart, and each is shown as itself.

The temporary folder
--------------------
The plug-in works in %TEMP%\rizazur. A page is extracted there, read and
deleted; the same 7-Zip run also brings out the members the viewer is
likely to ask for next, in the direction it is paging, and keeps them
there (k.* files), so the next pages come without starting 7-Zip.
With what the runs under way may still write, for all the archives one
viewer opens, they take at most aheadMB MiB (256 unless set; 0 keeps
none); past it the least recently used go first. They are deleted
when the archive changes, when sixteen other archives were opened since,
and when the viewer unloads the plug-in; the folder itself goes once empty.

An archive is tested and listed once while it is unchanged: turning a page
costs at most one run of 7-Zip.

If something is missing
-----------------------
- Nothing listed: check that 7-Zip is installed, or dir= (7z.exe and
  7z.dll must both be there), and ext=, and try the archive with spihost
  (below).
- A member missing: folders, empty files, links and members larger than
  maxMB are not listed.
- A member listed but not shown: two members whose names differ only in
  case, or a file named like a folder beside it, cannot be brought out
  one without the other; the plug-in refuses rather than show the wrong
  picture.
- Encrypted archives: the plug-in asks for the password in a small window
  (once; a wrong one is asked again) and hands it to 7-Zip on its standard
  input only, never on a command line or on disk. Passwords typed while
  the viewer runs are tried first on the next encrypted archive. Cancel
  refuses the archive until it changes; askPassword=0 never asks.

Trying it without a viewer
--------------------------
  spihost64 info rizazur.sph
  spihost64 list rizazur.sph C:\pictures\album.zip
  spihost64 extract rizazur.sph C:\pictures\album.zip -o C:\temp\album
  spihost64 setup rizazur.sph
  spihost64 --help
extract writes each member into its folder under the output folder.
spihost works with any Susie archive plug-in, not only this one.
EOF

(cd dist && rm -f "$name.zip" && zip -q -r -X "$name.zip" "$name")
echo "release: dist/$name.zip"
unzip -l "dist/$name.zip"
