#!/usr/bin/env python3
"""Makes the benchmark's archives once, with the real 7z.exe under Wine.

Usage: make_archives.py OUT_DIR SEVEN_ZIP_EXE SIZE... [--big] [--pages] [--first MB]

Each SIZE gives small.SIZE.zip and small.SIZE.7z: SIZE members of 64 to 1024
random bytes, a hundred to a folder, as a picture album is laid out. --big
gives big.zip and big.7z: three members of 20 MiB each. --pages gives the
page benchmark's albums: pages.300.zip and pages.300.7z (solid), 300 members
of 200 KB; pages.1000.zip and pages.5000.zip, 1,000 and 5,000 members of
2 KB in folders of 100; pages.60.7z (solid), 60 members of 2 MiB of
text-like data that compresses, where decoding is most of a page's cost; and
two small albums, as most albums are: album.60.zip, 60 members of 50 KB in 6
folders of 10, and album.40.tar.gz, 40 members of 30 KB, made here with
Python's tarfile (a fixed time stamp, so the bytes are the same each time). --first MB gives
first.MB.zip: 500 stored members making MB MiB, a big album to open.
Random bytes do not compress, like the JPEG files a viewer mostly shows. An
archive already in OUT_DIR is kept; the source files are written natively
(Wine is slow at creating 100,000 small files) and removed once the archives
are made.
"""
import gzip
import io
import os
import random
import shutil
import subprocess
import sys
import tarfile

WINE = "/usr/lib/wine/wine64"


def pack(seven_zip, src, archive, kind, switches):
    # From inside the source folder, so members are named relative to it.
    partial = archive + ".part"
    if os.path.exists(partial):
        os.remove(partial)
    subprocess.run([WINE, seven_zip, "a", "-t" + kind, "-bd", *switches, partial, "*"], cwd=src, check=True,
                   stdout=subprocess.DEVNULL)
    os.rename(partial, archive)


def make_set(out, seven_zip, stem, write_source, kinds=("zip", "7z"), switches=None):
    wanted = [(os.path.join(out, f"{stem}.{kind}"), kind) for kind in kinds]
    if all(os.path.exists(a) for a, _ in wanted):
        return
    src = os.path.join(out, f"src.{stem}")
    shutil.rmtree(src, ignore_errors=True)
    os.makedirs(src)
    write_source(src)
    for archive, kind in wanted:
        if not os.path.exists(archive):
            print(f"make_archives: {os.path.basename(archive)}", file=sys.stderr, flush=True)
            pack(seven_zip, src, archive, kind, (switches or {}).get(kind, ()))
    shutil.rmtree(src)


def album_source(count, seed, member_size, per_folder=100):
    def write(src):
        rng = random.Random(seed)
        for i in range(count):
            folder = os.path.join(src, f"d{i // per_folder:04d}")
            if i % per_folder == 0:
                os.makedirs(folder)
            with open(os.path.join(folder, f"img{i:06d}.jpg"), "wb") as f:
                f.write(rng.randbytes(member_size(rng)))
    return write


def compressible_source(count, size):
    def write(src):
        rng = random.Random(60)
        words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9))) for _ in range(4000)]
        for i in range(count):
            out = bytearray()
            while len(out) < size:
                out += rng.choice(words) + b" "
            with open(os.path.join(src, f"page{i:03d}.bmp"), "wb") as f:
                f.write(out[:size])
    return write


def small_source(count):
    return album_source(count, count, lambda rng: rng.randint(64, 1024))


def big_source(src):
    rng = random.Random(20)
    for i in range(3):
        with open(os.path.join(src, f"photo{i}.jpg"), "wb") as f:
            f.write(rng.randbytes(20 << 20))


def make_tar_gz(out, stem, count, size):
    archive = os.path.join(out, f"{stem}.tar.gz")
    if os.path.exists(archive):
        return
    print(f"make_archives: {os.path.basename(archive)}", file=sys.stderr, flush=True)
    rng = random.Random(count)
    partial = archive + ".part"
    # gzip's own header time is fixed too, not only the members'.
    with open(partial, "wb") as raw, gzip.GzipFile(fileobj=raw, mode="wb", mtime=0) as gz, \
            tarfile.open(fileobj=gz, mode="w", format=tarfile.USTAR_FORMAT) as tar:
        for i in range(count):
            info = tarfile.TarInfo(f"img{i:04d}.jpg")
            info.size = size
            info.mtime = 1700000000
            info.mode = 0o644
            tar.addfile(info, io.BytesIO(rng.randbytes(size)))
    os.rename(partial, archive)


def main():
    args = sys.argv[1:]
    big = "--big" in args
    pages = "--pages" in args
    first = None
    if "--first" in args:
        at = args.index("--first")
        first = int(args[at + 1])
        del args[at:at + 2]
    args = [a for a in args if a not in ("--big", "--pages")]
    out, seven_zip = os.path.abspath(args[0]), os.path.abspath(args[1])
    sizes = [int(s) for s in args[2:]]
    os.makedirs(out, exist_ok=True)
    for n in sizes:
        make_set(out, seven_zip, f"small.{n}", small_source(n))
    if big:
        make_set(out, seven_zip, "big", big_source)
    if pages:
        # Solid, so that a member deep in the archive costs the decoding of those before it.
        make_set(out, seven_zip, "pages.300", album_source(300, 300, lambda rng: 200 * 1024),
                 switches={"7z": ("-ms=on",)})
        make_set(out, seven_zip, "pages.1000", album_source(1000, 1000, lambda rng: 2048), kinds=("zip",))
        make_set(out, seven_zip, "pages.5000", album_source(5000, 5000, lambda rng: 2048), kinds=("zip",))
        make_set(out, seven_zip, "pages.60", compressible_source(60, 2 << 20), kinds=("7z",),
                 switches={"7z": ("-ms=on",)})
        make_set(out, seven_zip, "album.60", album_source(60, 60, lambda rng: 50 * 1024, per_folder=10),
                 kinds=("zip",))
        make_tar_gz(out, "album.40", 40, 30 * 1024)
    if first:
        make_set(out, seven_zip, f"first.{first}", album_source(500, 500, lambda rng: (first << 20) // 500),
                 kinds=("zip",), switches={"zip": ("-mx0",)})


if __name__ == "__main__":
    main()
