#!/usr/bin/env python3
"""Draws the default launcher icon (default.ico): a rounded teal tile with a white "T".

Run it again after changing the drawing; the .ico it writes is committed beside it.
"""
import struct
import sys


def pixel(x, y, size):
    """RGBA of one pixel, in a 0..1 coordinate space scaled from size."""
    u, v = (x + 0.5) / size, (y + 0.5) / size
    radius = 0.18
    cx = min(max(u, radius), 1 - radius)
    cy = min(max(v, radius), 1 - radius)
    if (u - cx) ** 2 + (v - cy) ** 2 > radius ** 2:
        return (0, 0, 0, 0)
    bar = 0.22 <= v <= 0.36 and 0.2 <= u <= 0.8
    stem = 0.36 <= v <= 0.8 and 0.43 <= u <= 0.57
    if bar or stem:
        return (255, 255, 255, 255)
    shade = int(150 - 60 * v)
    return (20, shade, shade + 20, 255)


def icon_image(size):
    """One icon image: BITMAPINFOHEADER, bottom-up BGRA rows, then the AND mask."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = []
    for y in reversed(range(size)):
        for x in range(size):
            r, g, b, a = pixel(x, y, size)
            rows.append(struct.pack("<BBBB", b, g, r, a))
    mask_row = ((size + 31) // 32) * 4
    return header + b"".join(rows) + bytes(mask_row * size)


def main(path):
    sizes = [16, 32, 48]
    images = [icon_image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for size, image in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "default.ico")
