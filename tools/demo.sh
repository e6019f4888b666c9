#!/bin/bash
# The plug-in's main job, on the sample archive: sets the machine up, builds
# the 64-bit plug-in and spihost, and walks a viewer's road through
# samples/sample.zip (what the plug-in is, whether it takes the archive, the
# listing, every picture fetched), then checks the pictures byte for byte
# against the originals in samples/images, whose folders are the archive's:
# a picture missing, changed or out of its folder fails the demo. The output
# folder starts empty, so nothing an earlier run left can pass for it.
set -eu
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"
. tools/setup.sh

echo "demo: building the 64-bit plug-in and spihost" >&2
cmake --preset win64 >/dev/null
cmake --build --preset win64 -j "$(nproc)" --target rizazur spihost >/dev/null

# A viewer's plug-in folder: a copy of the plug-in with its settings beside it.
demo=build/demo
rm -rf "$demo"
mkdir -p "$demo/plugins"
cp build/win64/bin/rizazur.sph "$demo/plugins/"
seven_zip_dir="Z:${top//\//\\}\\deps\\7zip\\x64"
printf '[UserSetting]\r\ndir=%s\r\n' "$seven_zip_dir" >"$demo/plugins/rizazur.ini"

step() { printf '\n== %s\n' "$1"; }
host() {
  printf '$ spihost64 %s\n' "$*"
  /usr/lib/wine/wine64 build/win64/bin/spihost64.exe "$@"
}

plugin=$demo/plugins/rizazur.sph
archive=samples/sample.zip
echo "rizazur.ini: dir=$seven_zip_dir"
step "1. The viewer loads the plug-in and asks what it is"
host info "$plugin"
step "2. The viewer asks whether the plug-in takes each file"
host check "$plugin" "$archive"
host check "$plugin" samples/images/red.png || true
step "3. The viewer asks for the list of members"
host list "$plugin" "$archive"
step "4. The viewer fetches every picture into memory (written out here, each in its folder)"
host extract "$plugin" "$archive" -o "$demo/images"
step "5. The fetched pictures against the originals, each at its place in the archive's folders"
status=0
count=0
while IFS= read -r -d '' original; do
  name=${original#samples/images/}
  count=$((count + 1))
  if cmp -s "$original" "$demo/images/$name"; then
    echo "identical  $name"
  else
    echo "DIFFERENT  $name (or missing)"
    status=1
  fi
done < <(find samples/images -type f -print0 | sort -z)
fetched=$(find "$demo/images" -type f | wc -l)
if [ "$status" = 0 ] && [ "$fetched" = "$count" ]; then
  echo "All $count pictures are byte-identical to the originals."
else
  echo "FAILED: $fetched pictures fetched, $count expected, or some differ." >&2
  status=1
fi
echo
echo "The pictures are in $top/$demo/images"
echo "(for Windows programs under Wine: Z:${top//\//\\}\\${demo//\//\\}\\images)"
exit $status
