#!/usr/bin/env python3
"""Draws the two pictures that Corvane carries and writes them as small binary files.

- port_control/interface/pictures/toolbox.bmp: the toolbox picture, 16 x 15 pixels, 24 bits
  per pixel, uncompressed BMP: a blue telephone (handset above a dial) in a blue ring on
  yellow.
- port_control/interface/pictures/face.gif: the design-surface picture, 32 x 32 GIF89a with
  a 256-colour global table whose index 216 is transparent: the same telephone in blue on a
  transparent background.
- port_control/interface/pictures/pictures.inc: both files as C++ byte arrays, included by
  resource_data.cpp, so that building the library needs no Python.

The outputs are committed; run this script again only when a picture changes. Standard
library only. `--check` rebuilds everything in memory and fails if a committed file differs.
"""

import argparse
import math
import struct
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PICTURES = ROOT / "port_control" / "interface" / "pictures"

YELLOW = (255, 255, 0)
BLUE = (0, 0, 255)

# The toolbox picture is small enough that every pixel matters, so it is drawn by hand:
# '#' blue, '.' yellow. Top row first.
TOOLBOX_ROWS = [
    ".....######.....",
    "...##......##...",
    "..#..........#..",
    ".#..########..#.",
    ".#.##########.#.",
    "#..###....###..#",
    "#..###....###..#",
    "#.....####.....#",
    "#....######....#",
    "#...###..###...#",
    ".#..###..###..#.",
    ".#..########..#.",
    "..#..........#..",
    "...##......##...",
    ".....######.....",
]


# ---------------------------------------------------------------------------------------
# The design-surface picture, drawn from shapes and sampled 8 x 8 times per pixel; a pixel
# is blue when at least half of it is covered. Coordinates are in pixels, y downwards.

FACE_SIZE = 32
CENTER = 16.0


def ring(x, y):
    r = math.hypot(x - CENTER, y - CENTER)
    return 13.3 <= r <= 15.9


def rounded_box(x, y, left, top, right, bottom, radius):
    if not (left <= x <= right and top <= y <= bottom):
        return False
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return math.hypot(x - cx, y - cy) <= radius


def handset(x, y):
    # A bar bowed upwards, whose ends carry the ear and mouth pieces.
    bow = 0.045 * (x - CENTER) ** 2
    bar = 6.2 <= x <= 25.8 and 7.0 + bow <= y <= 10.4 + bow * 0.6
    bar = bar and rounded_box(x, y, 6.2, 6.0, 25.8, 14.0, 1.5)
    ear = rounded_box(x, y, 6.2, 9.0, 12.2, 13.6, 1.2)
    mouth = rounded_box(x, y, 19.8, 9.0, 25.8, 13.6, 1.2)
    return bar or ear or mouth


def body(x, y):
    # A trapezoid widening downwards, with a dial cut into it.
    top, bottom = 15.2, 25.2
    if not (top <= y <= bottom):
        return False
    t = (y - top) / (bottom - top)
    half = 5.2 + 3.6 * t
    if abs(x - CENTER) > half:
        return False
    if not rounded_box(x, y, CENTER - 8.8, top, CENTER + 8.8, bottom, 1.0):
        return False
    r = math.hypot(x - CENTER, y - 20.0)
    return not (1.3 <= r <= 3.1)


def face_covered(x, y):
    return ring(x, y) or handset(x, y) or body(x, y)


def draw_face():
    """Rows of booleans: True where the telephone or its ring is."""
    samples = 8
    rows = []
    for py in range(FACE_SIZE):
        row = []
        for px in range(FACE_SIZE):
            hits = 0
            for sy in range(samples):
                for sx in range(samples):
                    x = px + (sx + 0.5) / samples
                    y = py + (sy + 0.5) / samples
                    hits += face_covered(x, y)
            row.append(hits * 2 >= samples * samples)
        rows.append(row)
    return rows


# ---------------------------------------------------------------------------------------
# BMP: BITMAPFILEHEADER + BITMAPINFOHEADER, 24 bits per pixel, BI_RGB, rows bottom-up in
# blue-green-red order, each row padded to a multiple of 4 bytes.


def encode_bmp(pixels):
    height = len(pixels)
    width = len(pixels[0])
    stride = (width * 3 + 3) // 4 * 4
    image = bytearray()
    for row in reversed(pixels):
        line = bytearray()
        for red, green, blue in row:
            line += bytes((blue, green, red))
        line += bytes(stride - len(line))
        image += line
    offset = 14 + 40
    file_header = struct.pack("<2sIHHI", b"BM", offset + len(image), 0, 0, offset)
    pixels_per_metre = 3780  # 96 dots per inch
    info_header = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(image),
                              pixels_per_metre, pixels_per_metre, 0, 0)
    return file_header + info_header + bytes(image)


# ---------------------------------------------------------------------------------------
# GIF89a with a 256-colour global table: indexes 0-215 are the 6 x 6 x 6 colour cube,
# 216 is the transparent colour (light grey, so that a reader ignoring transparency shows a
# neutral face), 217-255 a grey ramp.

TRANSPARENT_INDEX = 216


def gif_palette():
    levels = [0, 51, 102, 153, 204, 255]
    palette = [(r, g, b) for r in levels for g in levels for b in levels]
    palette.append((192, 192, 192))
    for i in range(256 - len(palette)):
        grey = round(255 * (i + 1) / 40)
        palette.append((grey, grey, grey))
    assert len(palette) == 256
    return palette


def cube_index(colour):
    r, g, b = (c // 51 for c in colour)
    return r * 36 + g * 6 + b


def lzw_compress(indexes, min_code_size):
    """GIF's variable-length LZW: codes start at min_code_size + 1 bits and grow to 12."""
    clear = 1 << min_code_size
    end = clear + 1
    out = bytearray()
    bit_buffer = 0
    bit_count = 0

    def emit(code, size):
        nonlocal bit_buffer, bit_count
        bit_buffer |= code << bit_count
        bit_count += size
        while bit_count >= 8:
            out.append(bit_buffer & 0xFF)
            bit_buffer >>= 8
            bit_count -= 8

    def fresh_table():
        return {(i,): i for i in range(clear)}

    table = fresh_table()
    next_code = end + 1
    size = min_code_size + 1
    emit(clear, size)
    prefix = ()
    for index in indexes:
        candidate = prefix + (index,)
        if candidate in table:
            prefix = candidate
            continue
        emit(table[prefix], size)
        table[candidate] = next_code
        next_code += 1
        # The decoder learns each code one step later than we do, so it widens its codes
        # when our next free code has passed 2^size, not when it reaches it.
        if next_code == 4096:
            emit(clear, size)
            table = fresh_table()
            next_code = end + 1
            size = min_code_size + 1
        elif next_code > (1 << size):
            size += 1
        prefix = (index,)
    if prefix:
        emit(table[prefix], size)
    emit(end, size)
    if bit_count:
        out.append(bit_buffer & 0xFF)
    return bytes(out)


def sub_blocks(data):
    out = bytearray()
    for start in range(0, len(data), 255):
        chunk = data[start:start + 255]
        out.append(len(chunk))
        out += chunk
    out.append(0)
    return bytes(out)


def encode_gif(indexes, width, height, palette):
    out = bytearray(b"GIF89a")
    # Global colour table present, 8 bits of colour resolution, 2^(7+1) entries.
    out += struct.pack("<HHBBB", width, height, 0xF7, TRANSPARENT_INDEX, 0)
    for colour in palette:
        out += bytes(colour)
    # Graphic Control Extension: leave the picture in place, transparent colour present.
    out += struct.pack("<BBBBHBB", 0x21, 0xF9, 4, 0x05, 0, TRANSPARENT_INDEX, 0)
    out += struct.pack("<BHHHHB", 0x2C, 0, 0, width, height, 0)
    min_code_size = 8
    out.append(min_code_size)
    out += sub_blocks(lzw_compress(indexes, min_code_size))
    out.append(0x3B)
    return bytes(out)


# ---------------------------------------------------------------------------------------


def toolbox_bitmap():
    assert len(TOOLBOX_ROWS) == 15 and all(len(row) == 16 for row in TOOLBOX_ROWS)
    pixels = [[BLUE if c == "#" else YELLOW for c in row] for row in TOOLBOX_ROWS]
    return encode_bmp(pixels)


def face_picture():
    blue = cube_index(BLUE)
    indexes = [blue if covered else TRANSPARENT_INDEX for row in draw_face() for covered in row]
    return encode_gif(indexes, FACE_SIZE, FACE_SIZE, gif_palette())


def cpp_array(name, data):
    lines = [f"constexpr uint8_t {name}[{len(data)}] = {{"]
    for start in range(0, len(data), 16):
        chunk = data[start:start + 16]
        lines.append("    " + " ".join(f"0x{b:02X}," for b in chunk))
    lines.append("};")
    return "\n".join(lines) + "\n"


def include_file(bitmap, gif):
    return ("// Generated by scripts/draw_pictures.py from toolbox.bmp and face.gif beside this\n"
            "// file; run the script again instead of editing.\n\n"
            "// Toolbox picture, BITMAP 30000: the whole .bmp file.\n" +
            cpp_array("kToolboxBitmapBytes", bitmap) +
            "\n// Design-surface picture of Image1, GIF 1: the whole .gif file.\n" +
            cpp_array("kFacePictureBytes", gif))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true",
                        help="compare with the committed files instead of writing them")
    args = parser.parse_args()

    bitmap = toolbox_bitmap()
    gif = face_picture()
    outputs = {
        PICTURES / "toolbox.bmp": bitmap,
        PICTURES / "face.gif": gif,
        PICTURES / "pictures.inc": include_file(bitmap, gif).encode("ascii"),
    }
    if args.check:
        stale = [str(path) for path, data in outputs.items()
                 if not path.exists() or path.read_bytes() != data]
        for path in stale:
            print(f"out of date: {path}", file=sys.stderr)
        return 1 if stale else 0
    PICTURES.mkdir(parents=True, exist_ok=True)
    for path, data in outputs.items():
        path.write_bytes(data)
        print(f"wrote {path.relative_to(ROOT)} ({len(data)} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
