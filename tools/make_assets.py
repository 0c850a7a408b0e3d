#!/usr/bin/env python3
"""Draws the client's pictures: the banner bitmap of the status window and
the program icon. Python 3 standard library only; the output is the same on
every run, and it is committed as the resource files.

    python3 tools/make_assets.py [output folder]   (default: client/shell/resources)

ball.bmp          450 x 258, 24 bits: a light gradient (nearly white at the
                  lower left, blue at the upper right), the program's name in
                  large letters and a smaller line at the height of the
                  version text, which the window draws at 140,112.
kestrovaline.ico  15 images: 256, 48, 32, 24 and 16 pixels at 4, 8 and 32
                  bits per pixel (the 256-pixel true-colour image as PNG).
"""

import os
import struct
import sys
import zlib

# --- a small proportional pixel font: rows of 5 columns, '#' is ink -------

GLYPHS = {
    "K": ["#...#", "#..#.", "#.#..", "##...", "#.#..", "#..#.", "#...#"],
    "a": [".....", ".....", ".###.", "....#", ".####", "#...#", ".####"],
    "e": [".....", ".....", ".###.", "#...#", "#####", "#....", ".###."],
    "i": [".#.", "...", "##.", ".#.", ".#.", ".#.", "###"],
    "k": ["#....", "#....", "#..#.", "#.#..", "##...", "#.#..", "#..#."],
    "l": ["##.", ".#.", ".#.", ".#.", ".#.", ".#.", "###"],
    "m": [".....", ".....", "##.#.", "#.#.#", "#.#.#", "#.#.#", "#.#.#"],
    "n": [".....", ".....", "#.##.", "##..#", "#...#", "#...#", "#...#"],
    "o": [".....", ".....", ".###.", "#...#", "#...#", "#...#", ".###."],
    "r": [".....", ".....", "#.##.", "##..#", "#....", "#....", "#...."],
    "s": [".....", ".....", ".####", "#....", ".###.", "....#", "####."],
    "t": [".#..", ".#..", "####", ".#..", ".#..", ".#..", "..##"],
    "u": [".....", ".....", "#...#", "#...#", "#...#", "#..##", ".##.#"],
    "v": [".....", ".....", "#...#", "#...#", "#...#", ".#.#.", "..#.."],
    " ": ["..", "..", "..", "..", "..", "..", ".."],
}


def text_width(text, scale):
    return sum((len(GLYPHS[c][0]) + 1) * scale for c in text) - scale


def draw_text(pixels, width, text, x, y, scale, colour):
    """Sets the ink pixels of text, top-left corner at x, y."""
    for c in text:
        rows = GLYPHS[c]
        for gy, row in enumerate(rows):
            for gx, cell in enumerate(row):
                if cell != "#":
                    continue
                for dy in range(scale):
                    for dx in range(scale):
                        px, py = x + gx * scale + dx, y + gy * scale + dy
                        if 0 <= px < width and 0 <= py < len(pixels) // width:
                            pixels[py * width + px] = colour
        x += (len(rows[0]) + 1) * scale


def mix(a, b, t):
    return tuple(round(a[i] + (b[i] - a[i]) * t) for i in range(3))


# --- the banner ------------------------------------------------------------

BANNER_W, BANNER_H = 450, 258
LIGHT = (250, 252, 255)  # lower left
BLUE = (46, 104, 208)    # upper right
INK = (14, 34, 92)
GLOW = (236, 243, 255)


def banner_pixels():
    pixels = []
    for y in range(BANNER_H):
        for x in range(BANNER_W):
            t = 0.5 * x / (BANNER_W - 1) + 0.5 * (1 - y / (BANNER_H - 1))
            pixels.append(mix(LIGHT, BLUE, t * t * (3 - 2 * t) * 0.9))
    name, scale = "Kestrovaline", 6
    draw_text(pixels, BANNER_W, name, 20, 30, scale, GLOW)  # a light edge below and right
    draw_text(pixels, BANNER_W, name, 18, 28, scale, INK)
    line, small = "simulator link", 2
    right = 436  # the version text takes x 140 to about 250 at this height: keep clear of it
    draw_text(pixels, BANNER_W, line, right - text_width(line, small), 113, small, INK)
    return pixels


def bmp_bytes(width, height, pixels):
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in range(height - 1, -1, -1):  # bottom-up
        row = bytearray()
        for x in range(width):
            r, g, b = pixels[y * width + x]
            row += bytes((b, g, r))
        row += bytes(stride - width * 3)
        rows.append(bytes(row))
    data = b"".join(rows)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    head = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(data), 0, 0, 14 + len(info))
    return head + info + data


# --- the icon ---------------------------------------------------------------


def segment_distance(px, py, ax, ay, bx, by):
    vx, vy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * vx + (py - ay) * vy) / (vx * vx + vy * vy)))
    dx, dy = px - (ax + t * vx), py - (ay + t * vy)
    return (dx * dx + dy * dy) ** 0.5


def icon_sample(u, v):
    """Colour and coverage (0 or 1) at unit coordinates: a shaded blue ball
    carrying a white K."""
    dx, dy = u - 0.5, v - 0.5
    if dx * dx + dy * dy > 0.47 * 0.47:
        return (0, 0, 0), 0
    stroke = 0.065
    on_k = (0.30 <= u <= 0.30 + 2 * stroke and 0.24 <= v <= 0.76) or \
        segment_distance(u, v, 0.38, 0.52, 0.70, 0.24) < stroke or \
        segment_distance(u, v, 0.46, 0.45, 0.71, 0.76) < stroke
    if on_k:
        return (255, 255, 255), 1
    light = max(0.0, 1 - ((u - 0.36) ** 2 + (v - 0.32) ** 2) ** 0.5 / 0.62)
    return mix((20, 52, 140), (120, 180, 250), light), 1


def icon_rgba(size):
    """RGBA rows, top-down, with 4 x 4 samples per pixel."""
    n = 4
    image = []
    for y in range(size):
        for x in range(size):
            acc, cover = [0, 0, 0], 0
            for sy in range(n):
                for sx in range(n):
                    c, a = icon_sample((x + (sx + 0.5) / n) / size, (y + (sy + 0.5) / n) / size)
                    if a:
                        cover += 1
                        for i in range(3):
                            acc[i] += c[i]
            if cover == 0:
                image.append((0, 0, 0, 0))
            else:
                image.append(tuple(round(acc[i] / cover) for i in range(3)) + (round(255 * cover / (n * n)),))
    return image


VGA16 = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
         (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255), (255, 0, 255),
         (0, 255, 255), (255, 255, 255)]
VGA16_USED = (4, 12, 15)  # navy, blue and white: the nearest of all 16 turns the ball grey and teal
CUBE256 = [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)] + \
    [(round(i * 255 / 39),) * 3 for i in range(40)]


def nearest(palette, colour, candidates=None):
    return min(candidates or range(len(palette)),
               key=lambda i: sum((palette[i][k] - colour[k]) ** 2 for k in range(3)))


def and_mask(size, rgba):
    stride = ((size + 31) // 32) * 4
    out = bytearray()
    for y in range(size - 1, -1, -1):
        row = bytearray(stride)
        for x in range(size):
            if rgba[y * size + x][3] < 128:
                row[x // 8] |= 0x80 >> (x % 8)
        out += row
    return bytes(out)


def dib_icon(size, bits, rgba):
    """One icon image as a bitmap: header, palette, colour rows, AND mask."""
    palette = {4: VGA16, 8: CUBE256}.get(bits, [])
    stride = ((size * bits + 31) // 32) * 4
    cache = {}
    colour_rows = bytearray()
    for y in range(size - 1, -1, -1):
        row = bytearray(stride)
        for x in range(size):
            r, g, b, a = rgba[y * size + x]
            if bits == 32:
                row[x * 4:x * 4 + 4] = bytes((b, g, r, a))
                continue
            index = 0
            if a >= 128:
                if (r, g, b) not in cache:
                    cache[(r, g, b)] = nearest(palette, (r, g, b), VGA16_USED if bits == 4 else None)
                index = cache[(r, g, b)]
            if bits == 8:
                row[x] = index
            else:
                row[x // 2] |= index << (4 if x % 2 == 0 else 0)
        colour_rows += row
    mask = and_mask(size, rgba)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, len(colour_rows) + len(mask), 0, 0,
                         len(palette), 0)
    table = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    return header + table + bytes(colour_rows) + mask


def png_bytes(size, rgba):
    raw = bytearray()
    for y in range(size):
        raw.append(0)
        for x in range(size):
            raw += bytes(rgba[y * size + x])

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) + \
        chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b"")


def ico_bytes():
    images = []  # (size, bits, data)
    for size in (256, 48, 32, 24, 16):
        rgba = icon_rgba(size)
        for bits in (4, 8, 32):
            data = png_bytes(size, rgba) if size == 256 and bits == 32 else dib_icon(size, bits, rgba)
            images.append((size, bits, data))
    offset = 6 + 16 * len(images)
    directory = struct.pack("<HHH", 0, 1, len(images))
    for size, bits, data in images:
        directory += struct.pack("<BBBBHHII", size % 256, size % 256, 16 if bits == 4 else 0, 0, 1, bits, len(data),
                                 offset)
        offset += len(data)
    return directory + b"".join(data for _, _, data in images)


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "client", "shell", "resources")
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, "ball.bmp"), "wb") as f:
        f.write(bmp_bytes(BANNER_W, BANNER_H, banner_pixels()))
    with open(os.path.join(out, "kestrovaline.ico"), "wb") as f:
        f.write(ico_bytes())


if __name__ == "__main__":
    main()
