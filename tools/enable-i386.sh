#!/bin/bash
# Make 32-bit (i686) Windows programs runnable under Wine on Debian 12 x86_64.
#
# Usage: tools/enable-i386.sh [--emulate]
#   --emulate  use qemu-i386 even if the kernel runs 32-bit code itself
#              (undo: echo -1 >/proc/sys/fs/binfmt_misc/qemu-i386)
#
# Idempotent; run as root. Progress goes to stderr; stdout gets exactly one
# line, "i386 runs: enabled ..." or "i386 runs: UNAVAILABLE (<reason>)".
# Exits 0 either way (callers decide), 2 on a usage error.
#
# After this, call the loaders explicitly: /usr/lib/wine/wine64 for x64 and
# /usr/lib/wine/wine for i686 programs (/usr/bin/wine guesses wrong when
# wine32 is present but 32-bit code can't run).
set -u

WINE32=/usr/lib/wine/wine
WINE64=/usr/lib/wine/wine64
QEMU=/opt/rizazur-qemu/qemu-i386-static # outside the repo: the binfmt entry keeps pointing here
BINFMT=/proc/sys/fs/binfmt_misc
# i386 ELF executables and shared objects (the usual qemu binfmt magic/mask)
MAGIC='\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
MASK='\xff\xff\xff\xff\xff\xfe\xfe\xfc\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

emulate=0
case "${1-}" in
  "") ;;
  --emulate) emulate=1 ;;
  *) echo "usage: $0 [--emulate]" >&2; exit 2 ;;
esac
[ $# -le 1 ] || { echo "usage: $0 [--emulate]" >&2; exit 2; }

log() { echo "enable-i386: $*" >&2; }
unavailable() { echo "i386 runs: UNAVAILABLE ($*)"; exit 0; }
is_root() { [ "$(id -u)" = 0 ]; }
APT=(apt-get -q -y -o DPkg::Lock::Timeout=600)
export DEBIAN_FRONTEND=noninteractive

# --- wine32: the 32-bit loader ------------------------------------------------
[ -x "$WINE64" ] || unavailable "$WINE64 missing: install wine64 first"
if [ ! -x "$WINE32" ]; then
  is_root || unavailable "wine32:i386 not installed and not root"
  log "installing wine32:i386"
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  { "${APT[@]}" update && "${APT[@]}" install --no-install-recommends wine32:i386; } >&2 \
    || unavailable "apt-get install wine32:i386 failed"
fi

# --- binfmt_misc ---------------------------------------------------------------
mount_binfmt() {
  [ -e "$BINFMT/register" ] || mount -t binfmt_misc binfmt_misc "$BINFMT" 2>/dev/null
  [ -e "$BINFMT/register" ]
}
ours_registered() {
  grep -qx "interpreter $QEMU" "$BINFMT/qemu-i386" 2>/dev/null &&
    grep -qx enabled "$BINFMT/qemu-i386"
}

# Drop qemu-i386 entries that point elsewhere (e.g. bookworm's qemu 7.2 from
# qemu-user-binfmt, ~60 s per process): they would catch every i386 exec.
if is_root && mount_binfmt; then
  for e in "$BINFMT"/*; do
    case "${e##*/}" in register|status) continue ;; esac
    if grep -q '^interpreter .*qemu-i386' "$e" 2>/dev/null && ! grep -qx "interpreter $QEMU" "$e"; then
      log "removing binfmt entry ${e##*/} ($(sed -n 's/^interpreter //p' "$e"))"
      echo -1 >"$e"
    fi
  done
fi

# Some kernels run i386 code natively (IA32 emulation); then qemu is not needed.
if ours_registered; then
  mode=qemu
elif [ $emulate = 0 ] && timeout 60 "$WINE32" --version >/dev/null 2>&1; then
  mode=native
else
  mode=qemu
  is_root || unavailable "kernel cannot run i386 code and not root to register qemu-i386"
  # bookworm's own qemu 7.2 is far too slow; take the static qemu-i386 from
  # backports. A private apt config is used for just this download, so the
  # system's sources (and thus upgrades) are left untouched.
  if ! "$QEMU" --version >/dev/null 2>&1; then
    # shellcheck source=/dev/null
    . /etc/os-release
    # reuse the mirror of the machine's own Debian source for this release
    # shellcheck disable=SC2016 # $(REPO_URI) is apt's format field, not shell
    uri=$(apt-get indextargets --format '$(REPO_URI)' "Release: $VERSION_CODENAME" 'Target-Of: deb' | head -n1)
    [ -n "$uri" ] || unavailable "no apt source for $VERSION_CODENAME to derive the backports mirror from"
    tmp=$(mktemp -d) && mkdir -p "$tmp/lists/partial" "$tmp/parts"
    echo "deb [arch=amd64] $uri $VERSION_CODENAME-backports main" >"$tmp/backports.list"
    A=(-o Dir::Etc::SourceList="$tmp/backports.list" -o Dir::Etc::SourceParts="$tmp/parts"
       -o Dir::State::Lists="$tmp/lists" -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache=
       -o APT::Architectures::=amd64 -o APT::Sandbox::User=root)
    log "fetching qemu-user from $VERSION_CODENAME-backports"
    # qemu-user holds the static binaries from qemu 9 on (qemu-user-static is only a transitional package)
    if (cd "$tmp" && "${APT[@]}" "${A[@]}" update && "${APT[@]}" "${A[@]}" download qemu-user) >&2 &&
       dpkg-deb --fsys-tarfile "$tmp"/qemu-user_*.deb | tar -x -C "$tmp" ./usr/bin/qemu-i386 &&
       "$tmp/usr/bin/qemu-i386" --version >&2; then
      mkdir -p "${QEMU%/*}" && install -m 755 "$tmp/usr/bin/qemu-i386" "$QEMU.new" && mv -f "$QEMU.new" "$QEMU"
    fi
    rm -rf "$tmp"
    "$QEMU" --version >/dev/null 2>&1 || unavailable "could not fetch qemu-user from $VERSION_CODENAME-backports"
  fi
  mount_binfmt || unavailable "cannot mount binfmt_misc"
  [ -e "$BINFMT/qemu-i386" ] && echo -1 >"$BINFMT/qemu-i386"
  # F: the kernel opens the interpreter now, so it works inside chroots/namespaces too
  echo ":qemu-i386:M::$MAGIC:$MASK:$QEMU:F" >"$BINFMT/register" 2>/dev/null \
    || unavailable "registering qemu-i386 with binfmt_misc failed"
  log "registered $($QEMU --version | head -n1) for i386 binaries"
fi

# --- Wine prefix: a WoW64 prefix serves x64 and i686 programs alike -------------
export WINEPREFIX="${WINEPREFIX:-$HOME/.wine}" WINEDEBUG=-all
if [ ! -f "$WINEPREFIX/.update-timestamp" ]; then
  log "creating Wine prefix $WINEPREFIX (first use takes a while)"
  mkdir -p "$WINEPREFIX"
fi
# a persistent wineserver keeps later program starts fast; "already running" is fine
/usr/lib/wine/wineserver -p >/dev/null 2>&1
timeout 600 "$WINE64" cmd /c exit >/dev/null 2>&1 </dev/null || unavailable "wine64 cannot start in $WINEPREFIX"

# --- Self-check: build and run a real i686 Windows program -------------------
CXX=i686-w64-mingw32-g++-posix
command -v $CXX >/dev/null || unavailable "$CXX missing for the self-check"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
printf '#include <cstdio>\nint main(){std::printf("i386-ok %%d\\n",(int)sizeof(void*));return 0;}\n' >"$tmp/t.cpp"
$CXX -static -O2 -o "$tmp/t.exe" "$tmp/t.cpp" >&2 || unavailable "$CXX could not build the self-check"
out=$(cd "$tmp" && timeout 180 "$WINE32" t.exe </dev/null 2>/dev/null | tr -d '\r')
[ "$out" = "i386-ok 4" ] || unavailable "i686 test program did not run under $WINE32 (mode $mode)"

if [ $mode = qemu ]; then
  echo "i386 runs: enabled (via $($QEMU --version | head -n1 | sed 's/ (.*//') and binfmt_misc)"
else
  echo "i386 runs: enabled (native)"
fi
