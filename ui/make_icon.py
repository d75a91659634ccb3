#!/usr/bin/env python3
"""Draws the cleaner's icon, a shield with a check mark, and writes it as an
.ico file with the four images the program needs: 32x32 in 16 and in 256
colours, 48x48 in 256 colours and 16x16 in 16 colours.

usage: make_icon.py OUT.ico
"""
import struct
import sys

# The 16-colour palette of the old VGA (blue, green, red, reserved).
VGA = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
    (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
    (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]  # as (R, G, B)
BLACK, DARK_GREEN, GREEN, WHITE, GREY = 0, 2, 10, 15, 8


def shield(u, v):
    """Whether (u, v), both in 0..1 from the top left, lies in the shield."""
    if v < 0.08 or v > 0.95:
        return False
    half = 0.40 if v < 0.55 else 0.40 * (1 - ((v - 0.55) / 0.40) ** 1.6)
    return abs(u - 0.5) <= half


def check_mark(u, v, width):
    """Whether (u, v) lies on the check mark's two strokes."""
    def near(ax, ay, bx, by):
        dx, dy = bx - ax, by - ay
        t = max(0.0, min(1.0, ((u - ax) * dx + (v - ay) * dy) / (dx * dx + dy * dy)))
        px, py = ax + t * dx, ay + t * dy
        return (u - px) ** 2 + (v - py) ** 2 <= width * width
    return near(0.28, 0.50, 0.45, 0.68) or near(0.45, 0.68, 0.74, 0.32)


def draw(size, shades):
    """Rows of (colour index or None for transparent), top row first. With
    `shades`, indexes 16.. of the 256-colour palette hold a green gradient."""
    rows = []
    stroke = 0.075 if size >= 32 else 0.1
    for y in range(size):
        row = []
        for x in range(size):
            u, v = (x + 0.5) / size, (y + 0.5) / size
            if not shield(u, v):
                row.append(None)
            elif check_mark(u, v, stroke):
                row.append(WHITE)
            elif not shield(u - 1.5 / size, v) or not shield(u + 1.5 / size, v) or \
                    not shield(u, v - 1.5 / size) or not shield(u, v + 1.5 / size):
                row.append(BLACK if not shades else DARK_GREEN)
            elif shades:
                row.append(16 + min(31, int(v * 32)))
            else:
                row.append(GREEN if u < 0.5 else DARK_GREEN)
        rows.append(row)
    return rows


def palette(colours):
    table = list(VGA)
    if colours == 256:
        table += [(40, 255 - 4 * i, 60) for i in range(32)]
        table += [(0, 0, 0)] * (256 - len(table))
    return b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in table)


def image(size, bits):
    rows = draw(size, shades=(bits == 8))
    colours = 1 << bits
    xor_stride = ((size * bits + 31) // 32) * 4
    and_stride = ((size + 31) // 32) * 4
    xor, mask = b"", b""
    for row in reversed(rows):  # bottom-up
        line = bytearray(xor_stride)
        bits_line = bytearray(and_stride)
        for x, index in enumerate(row):
            value = 0 if index is None else index
            if bits == 8:
                line[x] = value
            else:
                line[x // 2] |= value << (4 if x % 2 == 0 else 0)
            if index is None:
                bits_line[x // 8] |= 0x80 >> (x % 8)
        xor += bytes(line)
        mask += bytes(bits_line)
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, bits, 0,
                         len(xor) + len(mask), 0, 0, colours, 0)
    return header + palette(colours) + xor + mask


def main():
    specs = [(32, 4), (32, 8), (48, 8), (16, 4)]
    images = [image(size, bits) for size, bits in specs]
    out = struct.pack("<HHH", 0, 1, len(specs))
    offset = 6 + 16 * len(specs)
    for (size, bits), data in zip(specs, images):
        out += struct.pack("<BBBBHHII", size, size, 16 if bits == 4 else 0, 0, 1, bits,
                           len(data), offset)
        offset += len(data)
    with open(sys.argv[1], "wb") as f:
        f.write(out + b"".join(images))


if __name__ == "__main__":
    main()
