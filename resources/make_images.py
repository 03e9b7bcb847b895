#!/usr/bin/env python3
"""Draws the program's icon (corvane.ico) and header banner (banner.png) from nothing but
zlib and struct, so the images can be made again byte for byte on any machine:

    python3 resources/make_images.py resources

The mark is a framed picture with a seal at its corner: an artwork and the certificate that
stays with it."""

import math
import struct
import sys
import zlib

BLUE_TOP = (58, 128, 232)
BLUE_BOTTOM = (22, 62, 150)
FRAME = (236, 228, 204)
SEAL = (212, 175, 55)


def mix(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(len(a)))


def rounded_box_coverage(x, y, x0, y0, x1, y1, r):
    """1 inside the rounded rectangle, 0 outside (point test)."""
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return 1.0 if (x - cx) ** 2 + (y - cy) ** 2 <= r * r and x0 <= x <= x1 and y0 <= y <= y1 else 0.0


def mark_pixel(u, v):
    """RGBA (0-255 floats) of the mark at unit coordinates u, v in [0, 1)."""
    if not rounded_box_coverage(u, v, 0.04, 0.04, 0.96, 0.96, 0.2):
        return (0.0, 0.0, 0.0, 0.0)
    color = mix(BLUE_TOP, BLUE_BOTTOM, v)
    # the picture frame: a light band around an inner window
    outer = rounded_box_coverage(u, v, 0.22, 0.2, 0.78, 0.72, 0.04)
    inner = rounded_box_coverage(u, v, 0.3, 0.28, 0.7, 0.64, 0.02)
    if outer and not inner:
        color = FRAME
    elif inner:
        # a hill under a low sun inside the frame
        hill = v > 0.56 - 0.08 * math.sin((u - 0.3) / 0.4 * math.pi)
        color = mix(BLUE_BOTTOM, (14, 34, 84), 0.5) if hill else mix((120, 170, 240), BLUE_TOP, (v - 0.28) / 0.36)
        if (u - 0.42) ** 2 + (v - 0.4) ** 2 < 0.05 ** 2:
            color = FRAME
    # the seal at the frame's corner
    d = math.hypot(u - 0.72, v - 0.74)
    if d < 0.15:
        color = (16, 30, 70) if d > 0.12 else SEAL
        if d < 0.08 and abs(d - 0.05) < 0.012:
            color = (250, 236, 190)
    return color + (255.0,)


def arc(cx, cy, rx, ry, start, end, steps=28):
    """Points along an elliptical arc, angles in degrees counter-clockwise from +x (font y is up)."""
    return [(cx + rx * math.cos(math.radians(a)), cy + ry * math.sin(math.radians(a)))
            for a in (start + (end - start) * i / steps for i in range(steps + 1))]


# A light stroke alphabet of just the letters the banner needs, in font units: baseline 0,
# x-height 5, cap height and ascender 7.5. Each glyph is its advance and a list of polylines.
ARCH = arc(2, 3, 2, 2, 180, 0)
GLYPHS = {
    " ": (2.2, []),
    ".": (1.4, [[(0.4, 0.2), (0.4, 0.25)]]),
    "C": (6.6, [arc(3.4, 3.75, 3.4, 3.75, 42, 318)]),
    "a": (5.0, [arc(2, 2.5, 2, 2.5, 0, 360), [(4, 5), (4, 0)]]),
    "c": (4.4, [arc(2, 2.5, 2, 2.5, 40, 320)]),
    "e": (4.6, [[(0, 2.5), (4, 2.5)] + arc(2, 2.5, 2, 2.5, 0, 318)[1:]]),
    "f": (3.0, [[(1, 0)] + arc(2.4, 6, 1.4, 1.5, 180, 45), [(0, 5), (2.6, 5)]]),
    "h": (4.8, [[(0, 0), (0, 7.5)], [(0, 3)] + ARCH + [(4, 0)]]),
    "i": (1.6, [[(0.4, 0), (0.4, 5)], [(0.4, 6.7), (0.4, 6.75)]]),
    "k": (4.2, [[(0, 0), (0, 7.5)], [(3.6, 5), (0, 1.8)], [(1.3, 2.9), (3.8, 0)]]),
    "n": (4.8, [[(0, 0), (0, 5)], [(0, 3)] + ARCH + [(4, 0)]]),
    "o": (4.8, [arc(2, 2.5, 2, 2.5, 0, 360)]),
    "r": (3.4, [[(0, 0), (0, 5)], arc(2.6, 2.4, 2.6, 2.6, 180, 80)]),
    "s": (4.2, [arc(1.9, 3.75, 1.7, 1.25, 30, 270) + arc(1.9, 1.25, 1.8, 1.25, 90, -150)[1:]]),
    "t": (3.0, [[(1, 7), (1, 1)] + arc(2.1, 1, 1.1, 1, 180, 300)[1:], [(0, 5), (2.6, 5)]]),
    "v": (4.6, [[(0, 5), (2, 0), (4, 5)]]),
    "w": (6.6, [[(0, 5), (1.5, 0), (3, 5), (4.5, 0), (6, 5)]]),
    "y": (4.6, [[(0, 5), (2, 0)], [(4, 5), (1, -2.5)]]),
}


def text_strokes(text, left, baseline, scale, tracking=1.0):
    """The text's polylines in pixel coordinates (y down), starting at `left` on `baseline`."""
    lines = []
    for ch in text:
        advance, glyph = GLYPHS[ch]
        lines += [[(left + x * scale, baseline - y * scale) for x, y in line] for line in glyph]
        left += (advance + tracking) * scale
    return lines


def stroke_coverage(lines, width, n=4):
    """{(x, y): 0..1} coverage of round-capped strokes of `width` pixels, from n x n samples a pixel."""
    half = width / 2
    hits = set()
    for line in lines:
        for (x0, y0), (x1, y1) in zip(line, line[1:]):
            dx, dy = x1 - x0, y1 - y0
            length2 = dx * dx + dy * dy or 1e-9
            for sy in range(int((min(y0, y1) - half) * n), int((max(y0, y1) + half) * n) + 2):
                for sx in range(int((min(x0, x1) - half) * n), int((max(x0, x1) + half) * n) + 2):
                    px, py = (sx + 0.5) / n, (sy + 0.5) / n
                    t = min(1.0, max(0.0, ((px - x0) * dx + (py - y0) * dy) / length2))
                    if (px - x0 - t * dx) ** 2 + (py - y0 - t * dy) ** 2 <= half * half:
                        hits.add((sx, sy))
    cover = {}
    for sx, sy in hits:
        cover[(sx // n, sy // n)] = cover.get((sx // n, sy // n), 0.0) + 1.0 / (n * n)
    return cover


def render(size, pixel, supersample=4):
    rows = []
    n = supersample
    for y in range(size):
        row = []
        for x in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(n):
                for sx in range(n):
                    r, g, b, a = pixel((x + (sx + 0.5) / n) / size, (y + (sy + 0.5) / n) / size)
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            alpha = acc[3] / (n * n)
            if acc[3] > 0:
                row.append(tuple(int(round(c / acc[3])) for c in acc[:3]) + (int(round(alpha)),))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def png_bytes(rows, alpha=True):
    height = len(rows)
    width = len(rows[0])
    raw = bytearray()
    for row in rows:
        raw.append(0)
        for p in row:
            raw.extend(p if alpha else p[:3])

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", width, height, 8, 6 if alpha else 2, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b"")


def dib_icon_bytes(rows):
    """An icon image as a 32-bit DIB with its AND mask, which every icon reader accepts."""
    size = len(rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            pixels.extend((b, g, r, a))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, p in enumerate(row):
            if p[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask.extend(bits)
    return header + bytes(pixels) + bytes(mask)


def ico_bytes(sizes):
    images = []
    for size in sizes:
        rows = render(size, mark_pixel, 4 if size <= 64 else 2)
        images.append((size, png_bytes(rows) if size >= 256 else dib_icon_bytes(rows)))
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        dim = 0 if size >= 256 else size
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, data in images)


def banner_rows(width=1280, height=224, band=196):
    """A night-blue band with soft light from the left, the mark and the wordmark at its left edge
    and a thin gold rule; the rows below `band` stay dark so the window can trim them."""
    mark = render(120, mark_pixel, 3)
    # the wordmark beside the mark, inside the left 720 columns that the window never stretches
    name = stroke_coverage(text_strokes("Corvane", 176, 84, 7.2, tracking=1.3), 4.2)
    tagline = stroke_coverage(text_strokes("Certificates stay with the artwork.", 179, 124, 2.7), 1.8)
    rows = []
    for y in range(height):
        row = []
        for x in range(width):
            if y >= band:
                row.append((4, 8, 18, 255))
                continue
            t = y / band
            base = mix((20, 44, 96), (10, 20, 44), t)
            glow = max(0.0, 1.0 - math.hypot((x - 180) / 900.0, (y - 60) / 260.0))
            color = mix(base, (46, 96, 180), glow * 0.55)
            # faint diagonal lines, like the weave of a canvas
            if (x + 2 * y) % 48 == 0:
                color = mix(color, (70, 120, 200), 0.18 * (1 - t))
            if band - 3 <= y < band - 1:
                color = mix(color, SEAL, 0.7)
            mx, my = x - 28, y - 14
            if 0 <= mx < 120 and 0 <= my < 120:
                r, g, b, a = mark[my][mx]
                color = mix(color, (r, g, b), a / 255.0)
            color = mix(color, (244, 238, 222), name.get((x, y), 0.0))
            color = mix(color, (178, 198, 232), min(1.0, tagline.get((x, y), 0.0) * 1.15))
            row.append(tuple(int(round(c)) for c in color) + (255,))
        rows.append(row)
    return rows


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else "."
    with open(f"{folder}/corvane.ico", "wb") as f:
        f.write(ico_bytes([16, 24, 32, 48, 64, 256]))
    with open(f"{folder}/banner.png", "wb") as f:
        f.write(png_bytes(banner_rows(), alpha=False))


if __name__ == "__main__":
    main()
