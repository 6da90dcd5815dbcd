#!/usr/bin/env python3
"""Writes ico_72_brisendale.png, the dialog's 72x72 window icon: a blue disc
with a white ring around a white dot. Run once; the PNG is committed."""
import math
import os
import struct
import zlib

SIZE = 72


def pixel(x, y):
    cx = cy = (SIZE - 1) / 2
    r = math.hypot(x - cx, y - cy)
    if r > 34:
        return (0, 0, 0, 0)
    if 18 <= r <= 24 or r <= 8:
        return (255, 255, 255, 255)
    return (30, 110, 200, 255)


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


rows = b"".join(b"\x00" + b"".join(bytes(pixel(x, y)) for x in range(SIZE)) for y in range(SIZE))
png = (b"\x89PNG\r\n\x1a\n"
       + chunk(b"IHDR", struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0))
       + chunk(b"IDAT", zlib.compress(rows, 9))
       + chunk(b"IEND", b""))
out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "ico_72_brisendale.png")
with open(out, "wb") as f:
    f.write(png)
