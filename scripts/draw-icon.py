#!/usr/bin/env python3
"""Draws the app icon, src/server/assets/icon-192.png: a white hand whose index finger taps inside
a rounded-rectangle touchpad outline, on a transparent background.

A 192 x 192 PNG with 4-bit indexed colour and a palette of 15 entries with transparency (white and
grey at seven alpha levels each, plus clear), padded with a text chunk to a fixed size of 3501
bytes. Needs only the Python standard library.
"""
import math
import struct
import sys
import zlib

SIZE = 192
SUPER = 4  # samples per pixel along each axis, for anti-aliased edges
TARGET_BYTES = 3501
LEVELS = 7


def capsule(px, py, ax, ay, bx, by, r):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy)) <= r


def rounded_rect(px, py, x0, y0, x1, y1, r):
    cx = min(max(px, x0 + r), x1 - r)
    cy = min(max(py, y0 + r), y1 - r)
    return math.hypot(px - cx, py - cy) <= r


def hand(px, py, grow=0.0):
    return (capsule(px, py, 96, 58, 96, 128, 11 + grow)            # index finger, tapping
            or rounded_rect(px, py, 76 - grow, 108 - grow, 146 + grow, 186 + grow, 20 + grow)  # palm
            or capsule(px, py, 116, 114, 118, 128, 10 + grow)      # curled fingers
            or capsule(px, py, 132, 118, 134, 132, 9.5 + grow)
            or capsule(px, py, 146, 124, 147, 138, 9 + grow)
            or capsule(px, py, 80, 150, 60, 122, 9.5 + grow))       # thumb


def outline(px, py):
    outer = rounded_rect(px, py, 20, 18, 172, 128, 16)
    inner = rounded_rect(px, py, 27, 25, 165, 121, 10)
    ring = 13 <= math.hypot(px - 96, py - 52) <= 17 and py < 46  # the tap, above the fingertip
    return (outer and not inner) or ring


def pixels():
    rows = []
    n = SUPER * SUPER
    for y in range(SIZE):
        row = []
        for x in range(SIZE):
            h = o = 0
            for sy in range(SUPER):
                for sx in range(SUPER):
                    px = x + (sx + 0.5) / SUPER
                    py = y + (sy + 0.5) / SUPER
                    if hand(px, py):
                        h += 1
                    elif outline(px, py) and not hand(px, py, grow=4):
                        o += 1
            h /= n
            o /= n
            alpha = h + o * (1 - h)
            level = round(alpha * LEVELS)
            if level == 0:
                row.append(0)
            elif h >= o:
                row.append(level)  # white
            else:
                row.append(LEVELS + level)  # grey
        rows.append(row)
    return rows


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def png(rows, padding):
    palette = [(0, 0, 0)] + [(255, 255, 255)] * LEVELS + [(176, 190, 197)] * LEVELS
    alphas = [0] + [round(255 * i / LEVELS) for i in range(1, LEVELS + 1)] * 2
    raw = bytearray()
    for row in rows:
        raw.append(0)  # no filter: flat areas compress best this way
        for i in range(0, SIZE, 2):
            raw.append((row[i] << 4) | row[i + 1])
    header = struct.pack(">IIBBBBB", SIZE, SIZE, 4, 3, 0, 0, 0)
    out = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
    out += chunk(b"PLTE", bytes(c for rgb in palette for c in rgb))
    out += chunk(b"tRNS", bytes(alphas))
    out += chunk(b"IDAT", zlib.compress(bytes(raw), 9))
    if padding is not None:
        out += chunk(b"tEXt", b"Comment\x00" + b" " * padding)
    return out + chunk(b"IEND", b"")


def main():
    rows = pixels()
    bare = png(rows, None)
    overhead = len(png(rows, 0)) - len(bare)
    padding = TARGET_BYTES - len(bare) - overhead
    if padding < 0:
        sys.exit(f"icon is {len(bare)} bytes before padding, more than {TARGET_BYTES}")
    data = png(rows, padding)
    assert len(data) == TARGET_BYTES
    path = sys.argv[1] if len(sys.argv) > 1 else "src/server/assets/icon-192.png"
    with open(path, "wb") as f:
        f.write(data)
    print(f"{path}: {len(data)} bytes ({len(bare)} before padding)")


if __name__ == "__main__":
    main()
