#!/usr/bin/env python3
"""Draws Vostrel's bitmaps and icon from text: the six status words (status-*.bmp), the notice
sign (notice.bmp) and the program icon (Vostrel.ico). 16 colours, standard VGA palette.

    tools/make-resources.py [OUTDIR]      (default: res/ beside this script's parent)

Only the standard library is used; the output is byte-for-byte reproducible.
"""
import os
import struct
import sys

# The 16-colour VGA palette as (r, g, b); indexes name the colours below.
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, MAROON, GREEN, OLIVE, NAVY, PURPLE, TEAL, SILVER = range(8)
GRAY, RED, LIME, YELLOW, BLUE, FUCHSIA, AQUA, WHITE = range(8, 16)

# A small proportional font: 7 rows above the baseline, 2 below for descenders.
GLYPHS = {
    'A': [".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"],
    'E': ["#####", "#....", "#....", "####.", "#....", "#....", "#####"],
    'F': ["#####", "#....", "#....", "####.", "#....", "#....", "#...."],
    'I': ["###", ".#.", ".#.", ".#.", ".#.", ".#.", "###"],
    'L': ["#....", "#....", "#....", "#....", "#....", "#....", "#####"],
    'P': ["####.", "#...#", "#...#", "####.", "#....", "#....", "#...."],
    'R': ["####.", "#...#", "#...#", "####.", "#.#..", "#..#.", "#...#"],
    'S': [".####", "#....", "#....", ".###.", "....#", "....#", "####."],
    'V': ["#...#", "#...#", "#...#", "#...#", ".#.#.", ".#.#.", "..#.."],
    'a': [".....", ".....", ".###.", "....#", ".####", "#...#", ".####"],
    'c': [".....", ".....", ".###.", "#....", "#....", "#....", ".###."],
    'd': ["....#", "....#", ".####", "#...#", "#...#", "#...#", ".####"],
    'e': [".....", ".....", ".###.", "#...#", "#####", "#....", ".###."],
    'g': [".....", ".....", ".####", "#...#", "#...#", "#...#", ".####", "....#", ".###."],
    'h': ["#....", "#....", "#.##.", "##..#", "#...#", "#...#", "#...#"],
    'i': ["#", ".", "#", "#", "#", "#", "#"],
    'n': [".....", ".....", "#.##.", "##..#", "#...#", "#...#", "#...#"],
    'o': [".....", ".....", ".###.", "#...#", "#...#", "#...#", ".###."],
    'r': [".....", ".....", "#.##.", "##..#", "#....", "#....", "#...."],
    't': [".#..", ".#..", "####", ".#..", ".#..", ".#..", "..##"],
    'u': [".....", ".....", "#...#", "#...#", "#...#", "#..##", ".##.#"],
    'y': [".....", ".....", "#...#", "#...#", "#...#", "#...#", ".####", "....#", ".###."],
    '!': ["#", "#", "#", "#", "#", ".", "#"],
    '.': [".", ".", ".", ".", ".", ".", "#"],
    ' ': ["..", "..", "..", "..", "..", "..", ".."],
}
GLYPH_ROWS = 9

# Status pictures: file name (res/Vostrel.rc gives each its IDB_ id) -> (word, text colour,
# background colour, width in pixels).
STATUS_PICTURES = {
    "status-ready.bmp": ("Ready!", LIME, TEAL, 93),
    "status-pass.bmp": ("PASS !", BLUE, LIME, 93),
    "status-fail.bmp": ("FAIL !", RED, YELLOW, 93),
    "status-searching.bmp": ("Searching...", YELLOW, TEAL, 93),
    "status-port-error.bmp": ("Port Error!", BLACK, RED, 91),
    "status-running.bmp": ("Running...", AQUA, TEAL, 91),
}
STATUS_HEIGHT = 24


def new_canvas(width, height, colour):
    return [[colour] * width for _ in range(height)]


def text_width(word, scale, bold):
    widths = [len(GLYPHS[ch][0]) * scale + (1 if bold else 0) for ch in word]
    return sum(widths) + scale * (len(word) - 1)


def draw_text(canvas, word, colour, left, top, scale, row_scale, bold):
    x = left
    for ch in word:
        glyph = GLYPHS[ch]
        for row, bits in enumerate(glyph):
            for col, bit in enumerate(bits):
                if bit != '#':
                    continue
                for dy in range(row_scale):
                    for dx in range(scale + (1 if bold else 0)):
                        canvas[top + row * row_scale + dy][x + col * scale + dx] = colour
        x += len(glyph[0]) * scale + (1 if bold else 0) + scale


def status_picture(word, fg, bg, width):
    """The word centred on its background: doubled when it fits, else one pixel wide and bolded."""
    canvas = new_canvas(width, STATUS_HEIGHT, bg)
    margin = 4
    scale, bold = (2, False) if text_width(word, 2, False) <= width - 2 * margin else (1, True)
    row_scale = 2
    left = (width - text_width(word, scale, bold)) // 2
    top = (STATUS_HEIGHT - GLYPH_ROWS * row_scale) // 2 + 1
    draw_text(canvas, word, fg, left, top, scale, row_scale, bold)
    return canvas


def circle_mask(size, inset=0.0):
    centre = (size - 1) / 2.0
    radius = size / 2.0 - inset
    return [[(x - centre) ** 2 + (y - centre) ** 2 <= radius ** 2 for x in range(size)] for y in range(size)]


def notice_sign():
    """13 x 13: an exclamation mark in a navy ring on the dialog's grey."""
    size = 13
    canvas = new_canvas(size, size, SILVER)
    outer, inner = circle_mask(size, 0.0), circle_mask(size, 1.6)
    for y in range(size):
        for x in range(size):
            if outer[y][x]:
                canvas[y][x] = WHITE if inner[y][x] else NAVY
    for y in list(range(3, 8)) + [9]:
        canvas[y][6] = NAVY
    return canvas


def icon_image(size):
    """The program icon: a teal data card with a yellow V and a grey USB plug; mask marks the rest."""
    canvas = new_canvas(size, size, BLACK)
    mask = [[True] * size for _ in range(size)]   # True: transparent
    unit = size // 16
    plug = (6 * unit, 0, 10 * unit, 4 * unit)
    body = (2 * unit, 4 * unit, 14 * unit, 16 * unit)
    for (x0, y0, x1, y1), colour in ((plug, SILVER), (body, TEAL)):
        for y in range(y0, y1):
            for x in range(x0, x1):
                edge = x in (x0, x1 - 1) or y in (y0, y1 - 1)
                canvas[y][x] = BLACK if edge else colour
                mask[y][x] = False
    scale = max(1, unit)
    glyph_w = len(GLYPHS['V'][0]) * scale
    draw_text(canvas, "V", YELLOW, (size - glyph_w) // 2, 6 * unit, scale, scale, unit == 1)
    return canvas, mask


def pack_4bpp(canvas):
    """Bottom-up rows, two pixels a byte (high nibble first), each row padded to 4 bytes."""
    out = bytearray()
    for row in reversed(canvas):
        packed = bytearray()
        for x in range(0, len(row), 2):
            low = row[x + 1] if x + 1 < len(row) else 0
            packed.append((row[x] << 4) | low)
        packed.extend(b"\0" * (-len(packed) % 4))
        out += packed
    return bytes(out)


def pack_mask(mask):
    out = bytearray()
    for row in reversed(mask):
        packed = bytearray()
        for x in range(0, len(row), 8):
            byte = 0
            for bit, transparent in enumerate(row[x:x + 8]):
                if transparent:
                    byte |= 0x80 >> bit
            packed.append(byte)
        packed.extend(b"\0" * (-len(packed) % 4))
        out += packed
    return bytes(out)


def palette_bytes():
    return b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)


def info_header(width, height, image_size):
    return struct.pack("<IiiHHIIiiII", 40, width, height, 1, 4, 0, image_size, 2835, 2835, 16, 16)


def bmp_file(canvas):
    pixels = pack_4bpp(canvas)
    header_size = 14 + 40 + 64
    body = info_header(len(canvas[0]), len(canvas), len(pixels)) + palette_bytes() + pixels
    return struct.pack("<2sIHHI", b"BM", header_size + len(pixels), 0, 0, header_size) + body


def ico_file(sizes):
    images = []
    for size in sizes:
        canvas, mask = icon_image(size)
        xor, andmask = pack_4bpp(canvas), pack_mask(mask)
        images.append((size, info_header(size, 2 * size, len(xor) + len(andmask)) + palette_bytes() + xor + andmask))
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, data in images)


def main():
    outdir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "res")
    files = {name: bmp_file(status_picture(*picture)) for name, picture in STATUS_PICTURES.items()}
    files["notice.bmp"] = bmp_file(notice_sign())
    files["Vostrel.ico"] = ico_file([32, 16])
    for name, data in files.items():
        with open(os.path.join(outdir, name), "wb") as f:
            f.write(data)
    print("wrote %d files to %s" % (len(files), os.path.normpath(outdir)))


if __name__ == "__main__":
    main()
