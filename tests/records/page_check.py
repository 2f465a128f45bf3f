#!/usr/bin/env python3
"""Renders a summary page in headless Chromium and prints the bars it drew.

Usage: page_check.py PAGE.html SHOT.png. Prints one line per chart colour,
"yield" and "pareto", with the height in pixels of each bar from left to
right. Exit 77 when Chromium is not installed.
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

COLOURS = {"yield": (0x1f, 0x77, 0xb4), "pareto": (0xd6, 0x27, 0x28)}


def png_pixels(path):
    data = open(path, "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    pos, idat, width = 8, b"", 0
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", body[:10])
            assert depth == 8 and colour in (2, 6), (depth, colour)
            step = 3 if colour == 2 else 4
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    raw, rows, prev = zlib.decompress(idat), [], bytearray(width * step)
    stride = width * step
    for y in range(height):
        f, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - step] if i >= step else 0
            b, c = prev[i], prev[i - step] if i >= step else 0
            if f == 1:
                line[i] = (line[i] + a) & 255
            elif f == 2:
                line[i] = (line[i] + b) & 255
            elif f == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif f == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(line)
        prev = line
    return width, height, step, rows


def bars(width, height, step, rows, rgb):
    """Heights of the runs of columns holding the colour, left to right."""
    heights = []
    for x in range(width):
        n = sum(1 for y in range(height)
                if all(abs(rows[y][x * step + k] - rgb[k]) <= 2 for k in range(3)))
        heights.append(n)
    out, run = [], []
    for n in heights + [0]:
        if n:
            run.append(n)
        elif run:
            out.append(max(run))
            run = []
    return out


def main():
    page, shot = sys.argv[1], sys.argv[2]
    chromium = shutil.which("chromium")
    if not chromium:
        print("SKIPPED: chromium is not installed")
        return 77
    with tempfile.TemporaryDirectory() as profile:
        subprocess.run([chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                        "--no-first-run", "--disable-background-networking",
                        "--disable-component-update", "--disable-sync",
                        "--user-data-dir=" + profile, "--screenshot=" + shot,
                        "--window-size=1000,1000", "file://" + os.path.abspath(page)],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=120)
    width, height, step, rows = png_pixels(shot)
    for name, rgb in COLOURS.items():
        print(name, *bars(width, height, step, rows, rgb))
    return 0


if __name__ == "__main__":
    sys.exit(main())
