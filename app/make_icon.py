#!/usr/bin/env python3
"""Writes app/blockmend.ico, the program's icon group IDI_ICON1.

Two images: 32 x 32 with a 256-colour palette and 16 x 16 with the
16 standard colours. The picture is a sheet of paper cut into blocks, one of
them marked as the damaged block that is being mended.

Usage: python3 app/make_icon.py [OUTPUT]   (default: blockmend.ico beside this script)
"""
import os
import struct
import sys

# The 16 standard colours (RGB); the 16 x 16 image uses only these.
VGA16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]

# Picture legend: '.' transparent, others map to a colour per image.
ICON32 = [
    "................................",
    "................................",
    "....####################........",
    "....#wwwwwwwwwwwwwwwwww##.......",
    "....#wwwwwwwwwwwwwwwwww#w#......",
    "....#wwwwwwwwwwwwwwwwww#ww#.....",
    "....#wwwwwwwwwwwwwwwwww#####....",
    "....#wwbbbbwbbbbwbbbbwbbbbw#....",
    "....#wwbBBbwbBBbwbBBbwbBBbw#....",
    "....#wwbbbbwbbbbwbbbbwbbbbw#....",
    "....#wwwwwwwwwwwwwwwwwwwwww#....",
    "....#wwbbbbwbbbbwrrrrwbbbbw#....",
    "....#wwbBBbwbBBbwrRRrwbBBbw#....",
    "....#wwbbbbwbbbbwrrrrwbbbbw#....",
    "....#wwwwwwwwwwwwwwwwwwwwww#....",
    "....#wwbbbbwbbbbwbbbbwbbbbw#....",
    "....#wwbBBbwbBBbwbBBbwbBBbw#....",
    "....#wwbbbbwbbbbwbbbbwbbbbw#....",
    "....#wwwwwwwwwwwwwwwwwwwwww#....",
    "....#wwbbbbwggggwbbbbwbbbbw#....",
    "....#wwbBBbwgGGgwbBBbwbBBbw#....",
    "....#wwbbbbwggggwbbbbwbbbbw#....",
    "....#wwwwwwwwwwwwwwwwwwwwww#....",
    "....#wwbbbbwbbbbwbbbbwbbbbw#....",
    "....#wwbBBbwbBBbwbBBbwbBBbw#....",
    "....#wwbbbbwbbbbwbbbbwbbbbw#....",
    "....#wwwwwwwwwwwwwwwwwwwwww#....",
    "....########################....",
    "................................",
    "................................",
    "................................",
    "................................",
]

ICON16 = [
    "................",
    "..#########.....",
    "..#wwwwwww##....",
    "..#wwwwwww#w#...",
    "..#wwwwwww####..",
    "..#wbbwbbwrrw#..",
    "..#wbbwbbwrrw#..",
    "..#wwwwwwwwww#..",
    "..#wbbwggwbbw#..",
    "..#wbbwggwbbw#..",
    "..#wwwwwwwwww#..",
    "..#wbbwbbwbbw#..",
    "..#wbbwbbwbbw#..",
    "..#wwwwwwwwww#..",
    "..############..",
    "................",
]

# Legend colours of the 32 x 32 image (any RGB: it has 256 palette slots).
COLOURS32 = {
    "#": (64, 64, 72),      # paper edge
    "w": (255, 255, 255),   # paper
    "b": (40, 90, 180),     # block edge
    "B": (110, 160, 230),   # block
    "r": (190, 40, 30),     # damaged block edge
    "R": (250, 120, 80),    # damaged block
    "g": (20, 130, 50),     # mended block edge
    "G": (90, 210, 110),    # mended block
}

# Legend of the 16 x 16 image: indexes into VGA16.
COLOURS16 = {"#": 8, "w": 15, "b": 12, "r": 9, "g": 2}


def mask_rows(picture):
    """AND mask, bottom-up, rows padded to 32 bits: 1 where transparent."""
    size = len(picture)
    row_bytes = ((size + 31) // 32) * 4
    out = b""
    for row in reversed(picture):
        bits = bytearray(row_bytes)
        for x, ch in enumerate(row):
            if ch == ".":
                bits[x // 8] |= 0x80 >> (x % 8)
        out += bytes(bits)
    return out


def image_8bit(picture, colours):
    size = len(picture)
    palette = [(0, 0, 0)]  # index 0: transparent pixels
    index = {}
    for ch, rgb in colours.items():
        index[ch] = len(palette)
        palette.append(rgb)
    palette += [(0, 0, 0)] * (256 - len(palette))
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 8, 0, 0, 0, 0, 256, 0)
    pal = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in palette)
    pixels = b""
    for row in reversed(picture):
        line = bytes(0 if ch == "." else index[ch] for ch in row)
        pixels += line + b"\0" * ((4 - len(line) % 4) % 4)
    return header + pal + pixels + mask_rows(picture)


def image_4bit(picture, colours):
    size = len(picture)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    pal = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in VGA16)
    pixels = b""
    for row in reversed(picture):
        nibbles = [0 if ch == "." else colours[ch] for ch in row]
        line = bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, len(nibbles), 2))
        pixels += line + b"\0" * ((4 - len(line) % 4) % 4)
    return header + pal + pixels + mask_rows(picture)


def write_ico(path, images):
    """images: list of (size, colour count, bits per pixel, data)."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, colours, bpp, data in images:
        out += struct.pack("<BBBBHHII", size, size, colours % 256, 0, 1, bpp, len(data), offset)
        offset += len(data)
    for _, _, _, data in images:
        out += data
    with open(path, "wb") as f:
        f.write(out)


def main():
    for picture, size in ((ICON32, 32), (ICON16, 16)):
        assert len(picture) == size and all(len(r) == size for r in picture), size
    here = os.path.dirname(os.path.abspath(__file__))
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "blockmend.ico")
    write_ico(path, [
        (32, 256, 8, image_8bit(ICON32, COLOURS32)),
        (16, 16, 4, image_4bit(ICON16, COLOURS16)),
    ])


if __name__ == "__main__":
    main()
