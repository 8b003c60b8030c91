#!/usr/bin/env python3
"""Draws Nimbrel's application icon: a printer on a blue tile with a green
mark of health, at 16, 32 and 48 pixels, and writes it as a .ico file."""

import struct
import sys

BLUE = (0x2B, 0x5F, 0xA8, 0xFF)
WHITE = (0xF4, 0xF6, 0xF8, 0xFF)
GREY = (0x9A, 0xA5, 0xB1, 0xFF)
GREEN = (0x2E, 0xA0, 0x43, 0xFF)
CLEAR = (0, 0, 0, 0)


def pixel(x, y, n):
    """Colour of pixel (x, y), y down, on an n by n icon; shapes in units of n."""
    u, v = (x + 0.5) / n, (y + 0.5) / n
    r = 0.18  # corner radius of the tile
    cx, cy = min(max(u, r), 1 - r), min(max(v, r), 1 - r)
    if (u - cx) ** 2 + (v - cy) ** 2 > r * r:
        return CLEAR
    if (u - 0.74) ** 2 + (v - 0.74) ** 2 < 0.2 ** 2:
        return GREEN
    if 0.30 <= u <= 0.70 and 0.14 <= v <= 0.40:
        return WHITE  # paper going in
    if 0.16 <= u <= 0.84 and 0.40 <= v <= 0.66:
        return GREY  # printer body
    if 0.30 <= u <= 0.70 and 0.66 <= v <= 0.86:
        return WHITE  # paper coming out
    return BLUE


def image(n):
    """A 32-bit DIB: header, bottom-up BGRA rows, then the AND mask."""
    header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = bytearray()
    for y in reversed(range(n)):
        for x in range(n):
            r, g, b, a = pixel(x, y, n)
            rows += bytes((b, g, r, a))
    mask_row = ((n + 31) // 32) * 4
    return header + bytes(rows) + bytes(mask_row * n)


def main(path):
    sizes = (16, 32, 48)
    images = [image(n) for n in sizes]
    out = bytearray(struct.pack("<HHH", 0, 1, len(sizes)))
    offset = 6 + 16 * len(sizes)
    for n, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", n, n, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for data in images:
        out += data
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main(sys.argv[1])
