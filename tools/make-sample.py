#!/usr/bin/env python3
"""Makes the sample archive the demo opens: four small PNG pictures, drawn
here, kept in samples/images/ as the originals, and packed by the real
7z.exe under Wine into samples/sample.zip. The archive holds a folder, a
folder inside it, and names outside ASCII.

Run after tools/setup.sh has fetched Wine and deps/7zip. A new run packs
the same bytes unless the drawings change.
"""
import os
import shutil
import struct
import subprocess
import sys
import zlib

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SIZE = 48
WHITE = (255, 255, 255)
# A fixed time for every file and folder, so that a new run packs the same bytes.
STAMP = 1735689600  # 2025-01-01 00:00:00 UTC


def png(pixel):
    """A SIZE x SIZE RGB PNG whose colour at (x, y) is pixel(x, y)."""
    rows = b"".join(
        b"\0" + b"".join(bytes(pixel(x, y)) for x in range(SIZE)) for y in range(SIZE))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


def disc(colour):
    c = (SIZE - 1) / 2
    return lambda x, y: colour if (x - c) ** 2 + (y - c) ** 2 <= (SIZE * 0.4) ** 2 else WHITE


def square(colour):
    return lambda x, y: colour if 8 <= x < SIZE - 8 and 8 <= y < SIZE - 8 else WHITE


def stripes(colour):
    return lambda x, y: colour if (x + y) // 6 % 2 == 0 else WHITE


def gradient(colour):
    return lambda x, y: tuple(255 - (255 - v) * y // (SIZE - 1) for v in colour)


# Member names in the archive, and what each picture shows.
PICTURES = [
    ("red.png", disc((220, 30, 40))),
    ("photos/café.png", square((30, 160, 60))),
    ("photos/夜/青い空.png", stripes((30, 70, 200))),
    ("photos/sun.png", gradient((240, 200, 20))),
]


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def main():
    images = os.path.join(TOP, "samples", "images")
    archive = os.path.join(TOP, "samples", "sample.zip")
    seven_zip = os.path.join(TOP, "deps", "7zip", "x64", "7z.exe")
    if not os.path.exists(seven_zip):
        sys.exit("make-sample: no deps/7zip/x64/7z.exe; run . tools/setup.sh first")

    shutil.rmtree(images, ignore_errors=True)
    for name, pixel in PICTURES:
        path = os.path.join(images, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(png(pixel))
    for root, dirs, files in os.walk(images, topdown=False):
        for entry in dirs + files:
            os.utime(os.path.join(root, entry), (STAMP, STAMP))

    if os.path.exists(archive):
        os.remove(archive)
    env = dict(os.environ)
    env.setdefault("WINEPREFIX", os.path.expanduser("~/.wine-rizazur"))  # as tools/setup.sh
    env.setdefault("WINEDEBUG", "-all")
    # -mcu=on stores the names in UTF-8, whatever the OEM code page of the
    # machine that reads them; -mtc=off keeps the times to the fixed one.
    subprocess.run(["/usr/lib/wine/wine64", seven_zip, "a", "-tzip", "-mx=9", "-mtc=off", "-mcu=on",
                    windows_path(archive), "red.png", "photos"], cwd=images, env=env, check=True, stdout=subprocess.DEVNULL)
    print("make-sample: wrote %s (%d bytes) from %d pictures"
          % (os.path.relpath(archive, TOP), os.path.getsize(archive), len(PICTURES)))


if __name__ == "__main__":
    main()
