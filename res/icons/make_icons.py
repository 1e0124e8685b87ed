#!/usr/bin/env python3
"""Draws the hub's two icons and writes them as .ico files (16x16 and 32x32, 32-bit).

  app.ico   icon 145: main dialog and About box; a handheld sending to the PC
  tray.ico  icon 146: the notification area; the handheld alone, drawn bold
            enough to read at 16 pixels

The pictures are shapes in a unit square, rendered with 5x5 supersampling, so
the icons can be changed here and rebuilt without any image program:
python3 res/icons/make_icons.py
"""
import math
import os
import struct

BODY = (0x24, 0x32, 0x4a)
EDGE = (0x5b, 0x71, 0x96)
SCREEN = (0xd4, 0xee, 0xd8)
ACCENT = (0xf0, 0x6a, 0x14)
KEYS = (0x9d, 0xb2, 0xd0)
SAMPLES = 5


def rounded_rect(x0, y0, x1, y1, r):
    def inside(x, y):
        cx, cy = min(max(x, x0 + r), x1 - r), min(max(y, y0 + r), y1 - r)
        return x0 <= x <= x1 and y0 <= y <= y1 and (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return inside


def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def triangle(a, b, c):
    def side(p, q, x, y):
        return (q[0] - p[0]) * (y - p[1]) - (q[1] - p[1]) * (x - p[0])
    def inside(x, y):
        s = [side(a, b, x, y), side(b, c, x, y), side(c, a, x, y)]
        return all(v >= 0 for v in s) or all(v <= 0 for v in s)
    return inside


def arc(cx, cy, r, width, half_angle):
    def inside(x, y):
        d = math.hypot(x - cx, y - cy)
        angle = abs(math.degrees(math.atan2(-(y - cy), x - cx)) - 45)
        return abs(d - r) <= width / 2 and angle <= half_angle
    return inside


def app_layers(size):
    # A handheld on the left, its signal going up and right; at 16 pixels two
    # thick arcs instead of three thin ones, which would blur into noise.
    arcs = [(0.20, 0.10), (0.38, 0.10)] if size <= 16 else [(0.16, 0.07), (0.29, 0.07), (0.42, 0.07)]
    return [
        (EDGE, rounded_rect(0.17, 0.20, 0.63, 0.97, 0.10)),
        (BODY, rounded_rect(0.20, 0.23, 0.60, 0.94, 0.08)),
        (SCREEN, rounded_rect(0.25, 0.30, 0.55, 0.66, 0.03)),
        (ACCENT, triangle((0.33, 0.37), (0.33, 0.59), (0.49, 0.48))),
        (KEYS, circle(0.31, 0.80, 0.045)),
        (KEYS, circle(0.49, 0.80, 0.045)),
    ] + [(ACCENT, arc(0.55, 0.25, r, w, 40)) for r, w in arcs]


def tray_layers(size):
    # The same handheld, filling the square: at 16 pixels only big shapes survive.
    return [
        (EDGE, rounded_rect(0.16, 0.02, 0.84, 0.98, 0.14)),
        (BODY, rounded_rect(0.21, 0.07, 0.79, 0.93, 0.11)),
        (SCREEN, rounded_rect(0.28, 0.15, 0.72, 0.62, 0.04)),
        (ACCENT, triangle((0.39, 0.23), (0.39, 0.54), (0.63, 0.385))),
        (KEYS, circle(0.50, 0.78, 0.075)),
    ]


def render(layers, size):
    """Rows top to bottom of (r, g, b, a) with straight alpha."""
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]  # premultiplied
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    x, y = (px + (sx + 0.5) / SAMPLES) / size, (py + (sy + 0.5) / SAMPLES) / size
                    colour = None
                    for c, inside in layers:
                        if inside(x, y):
                            colour = c
                    if colour:
                        acc[0] += colour[0]; acc[1] += colour[1]; acc[2] += colour[2]; acc[3] += 1
            n = SAMPLES * SAMPLES
            a = acc[3] / n
            if a == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append(tuple(int(round(acc[i] / acc[3])) for i in range(3)) + (int(round(a * 255)),))
        rows.append(row)
    return rows


def bmp_entry(rows):
    size = len(rows)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b''.join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_stride = ((size + 31) // 32) * 4
    mask = b''
    for row in reversed(rows):
        line = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a < 128:
                line[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(line)
    return header + pixels + mask


def write_ico(path, layers, sizes=(16, 32)):
    images = [bmp_entry(render(layers(s), s)) for s in sizes]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, data in zip(sizes, images):
        out += struct.pack('<BBBBHHII', s, s, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, 'wb') as f:
        f.write(out + b''.join(images))


if __name__ == '__main__':
    here = os.path.dirname(os.path.abspath(__file__))
    write_ico(os.path.join(here, 'app.ico'), app_layers)
    write_ico(os.path.join(here, 'tray.ico'), tray_layers)
