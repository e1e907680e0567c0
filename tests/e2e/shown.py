#!/usr/bin/env python3
"""Checks that the screen shows what the chart drew.

    shown.py WINDOW.bmp PLOT.bmp [CORNER]

WINDOW.bmp is the program's grab of its window from the screen, PLOT.bmp the chart's own
drawing; both are the 24-bit bitmaps the program writes. The plot must appear somewhere in the
window pixel for pixel: a frame that reached the server only in part, or a stale column the
chart believed it had replaced, shows as a difference. The plot's top-right CORNER x CORNER
pixels are left out: the chart's menu button, a widget of its own, covers them on screen.
"""
import struct
import sys


def read_bmp(path):
    data = open(path, "rb").read()
    if data[:2] != b"BM":
        sys.exit(f"shown: {path} is not a bitmap")
    offset = struct.unpack_from("<I", data, 10)[0]
    w, h = struct.unpack_from("<ii", data, 18)
    bits = struct.unpack_from("<H", data, 28)[0]
    if bits != 24 or h <= 0:
        sys.exit(f"shown: {path} is not a bottom-up 24-bit bitmap")
    stride = (w * 3 + 3) & ~3
    rows = [data[offset + (h - 1 - y) * stride:offset + (h - 1 - y) * stride + w * 3]
            for y in range(h)]
    return w, h, rows


def main():
    ww, wh, window = read_bmp(sys.argv[1])
    pw, ph, plot = read_bmp(sys.argv[2])
    corner = int(sys.argv[3]) if len(sys.argv) > 3 else 0

    def part(row, r, x):
        """The bytes of the plot's row r that are compared, from the window's row at x."""
        end = (x + pw - corner) * 3 if r < corner else (x + pw) * 3
        return row[x * 3:end]
    if pw > ww or ph > wh:
        sys.exit(f"shown: the plot ({pw}x{ph}) is larger than the window ({ww}x{wh})")
    # The plot's first row fixes the candidates; its other rows decide.
    for y in range(wh - ph + 1):
        start = window[y].find(part(plot[0], 0, 0))
        while start >= 0:
            if start % 3 == 0:
                x = start // 3
                if all(part(window[y + r], r, x) == part(plot[r], r, 0) for r in range(ph)):
                    print(f"shown: the plot appears at {x},{y} of the window")
                    return 0
            start = window[y].find(part(plot[0], 0, 0), start + 1)
    # Where it should be, say how far off the best row is.
    best = None
    for y in range(wh - ph + 1):
        for x in range(ww - pw + 1):
            if part(window[y], 0, x) != part(plot[0], 0, 0):
                continue
            bad = sum(part(window[y + r], r, x) != part(plot[r], r, 0) for r in range(ph))
            if best is None or bad < best[0]:
                best = (bad, x, y)
    if best:
        bad, x, y = best
        for r in range(ph):
            a, b = part(window[y + r], r, x), part(plot[r], r, 0)
            cols = [c for c in range(len(b) // 3) if a[c * 3:c * 3 + 3] != b[c * 3:c * 3 + 3]]
            if cols:
                print(f"shown: plot row {r}: columns {cols[0]} to {cols[-1]} ({len(cols)}) differ,"
                      f" e.g. screen {a[cols[0] * 3:cols[0] * 3 + 3].hex()}"
                      f" plot {b[cols[0] * 3:cols[0] * 3 + 3].hex()}", file=sys.stderr)
        sys.exit(f"shown: at {x},{y} {bad} of the plot's {ph} rows differ on screen")
    sys.exit("shown: the plot does not appear in the window")


if __name__ == "__main__":
    sys.exit(main())
