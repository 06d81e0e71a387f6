#!/usr/bin/env python3
"""Builds the icon images and their group directory from the ASCII art, and renders a preview.

  make_icon.py ART OUTPUT_DIR [PREVIEW_PNG]

Writes icon_30001.bin (32x32, 2 colours), icon_30002.bin (32x32, 16 colours),
icon_30003.bin (16x16, 16 colours) and icon_group.bin, the group directory naming them.
"""
import struct
import sys
import zlib

# The standard 16-colour palette, in palette order, as (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
LETTERS = "KMGONPTSDRLYBFAW"
MONOCHROME = [(0x00, 0x00, 0x00), (0xFF, 0xFF, 0xFF)]
TRANSPARENT = None

# (resource ID, picture, bits per pixel), in the group's order.
IMAGES = [(30001, "32x32", 1), (30002, "32x32", 4), (30003, "16x16", 4)]


def read_art(path):
    """Pictures by size name, each a list of rows of palette indices (None: transparent)."""
    pictures, rows = {}, None
    for line in open(path, encoding="ascii").read().splitlines():
        if not line or line.startswith("#"):
            continue
        if line.startswith("["):
            rows = pictures.setdefault(line.strip("[]"), [])
            continue
        rows.append([TRANSPARENT if c == "." else LETTERS.index(c) for c in line])
    for name, picture in pictures.items():
        width, height = map(int, name.split("x"))
        if len(picture) != height or any(len(row) != width for row in picture):
            sys.exit(f"{path}: the {name} picture is not {width} by {height}")
    return pictures


def to_monochrome(picture):
    """Dark colours go black, light ones white, by perceived brightness."""
    def shade(index):
        if index is TRANSPARENT:
            return TRANSPARENT
        red, green, blue = PALETTE[index]
        return 0 if 0.299 * red + 0.587 * green + 0.114 * blue < 160 else 1
    return [[shade(index) for index in row] for row in picture]


def packed_rows(picture, bits, value):
    """Bottom-up rows of `bits`-wide pixels, each row padded to four bytes, as a bitmap wants."""
    data = b""
    for row in reversed(picture):
        number, count = 0, 0
        for pixel in row:
            number = number << bits | value(pixel)
            count += bits
        number <<= (-count) % 32
        data += number.to_bytes(((count + 31) // 32) * 4, "big")
    return data


def icon_image(picture, bits):
    """An icon image: header of twice the height, palette, colour bitmap, then the AND mask."""
    palette = MONOCHROME if bits == 1 else PALETTE
    height, width = len(picture), len(picture[0])
    colours = packed_rows(picture, bits, lambda p: 0 if p is TRANSPARENT else p)
    mask = packed_rows(picture, 1, lambda p: 1 if p is TRANSPARENT else 0)
    header = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, bits, 0,
                         len(colours) + len(mask), 0, 0, 0, 0)
    quads = b"".join(struct.pack("<BBBB", blue, green, red, 0) for red, green, blue in palette)
    return header + quads + colours + mask


def group_directory(images):
    """The group directory: one entry per image, naming it by resource ID."""
    data = struct.pack("<HHH", 0, 1, len(images))
    for resource_id, picture, bits, image in images:
        height, width = len(picture), len(picture[0])
        colours = 1 << bits
        data += struct.pack("<BBBBHHIH", width % 256, height % 256, colours % 256, 0, 1, bits,
                            len(image), resource_id)
    return data


def preview_png(pictures, scale=4, gap=8):
    """The images side by side, enlarged, on a transparent background."""
    width = sum(len(p[0]) * scale + gap for p, _ in pictures) - gap
    height = max(len(p) * scale for p, _ in pictures)
    canvas = [[(0, 0, 0, 0)] * width for _ in range(height)]
    left = 0
    for picture, palette in pictures:
        for y, row in enumerate(picture):
            for x, pixel in enumerate(row):
                colour = (0, 0, 0, 0) if pixel is TRANSPARENT else palette[pixel] + (255,)
                for dy in range(scale):
                    for dx in range(scale):
                        canvas[y * scale + dy][left + x * scale + dx] = colour
        left += len(picture[0]) * scale + gap
    raw = b"".join(b"\0" + bytes(v for pixel in row for v in pixel) for row in canvas)

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(
            ">I", zlib.crc32(kind + body) & 0xFFFFFFFF)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main(argv):
    if len(argv) not in (3, 4):
        sys.exit(__doc__)
    pictures = read_art(argv[1])
    images = []
    for resource_id, name, bits in IMAGES:
        picture = to_monochrome(pictures[name]) if bits == 1 else pictures[name]
        images.append((resource_id, picture, bits, icon_image(picture, bits)))
        with open(f"{argv[2]}/icon_{resource_id}.bin", "wb") as out:
            out.write(images[-1][3])
    with open(f"{argv[2]}/icon_group.bin", "wb") as out:
        out.write(group_directory(images))
    if len(argv) == 4:
        shown = [(picture, MONOCHROME if bits == 1 else PALETTE) for _, picture, bits, _ in images]
        with open(argv[3], "wb") as out:
            out.write(preview_png(shown))


if __name__ == "__main__":
    main(sys.argv)
