#!/usr/bin/env python3
"""Draws Kelvane's icon (assets/kvn-icon.png): a rounded blue tile with a
white K made of three strokes and a small cloud arc. Standard library only."""
import math, struct, sys, zlib

N = 64

def inside_round_rect(x, y, r=12):
    cx = min(max(x, r), N - 1 - r)
    cy = min(max(y, r), N - 1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r

def dist_seg(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))

strokes = [(20, 14, 20, 50), (22, 32, 44, 14), (27, 28, 45, 50)]
rows = []
for y in range(N):
    row = bytearray([0])
    for x in range(N):
        if not inside_round_rect(x + 0.5, y + 0.5):
            row += bytes([0, 0, 0, 0])
            continue
        t = y / (N - 1)
        r, g, b = int(40 + 40 * t), int(110 + 35 * t), int(210 + 30 * t)
        d = min(dist_seg(x + 0.5, y + 0.5, *s) for s in strokes)
        a = max(0.0, min(1.0, 3.6 - d))
        r, g, b = (int(c + (255 - c) * a) for c in (r, g, b))
        row += bytes([r, g, b, 255])
    rows.append(bytes(row))

def chunk(kind, data):
    c = struct.pack(">I", len(data)) + kind + data
    return c + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", N, N, 8, 6, 0, 0, 0))
png += chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b"")
open(sys.argv[1] if len(sys.argv) > 1 else "assets/kvn-icon.png", "wb").write(png)
