#!/usr/bin/env python3
"""Draws the application icon (icon resource 128): a rounded tile with a
radio mast sending waves, at 16, 32 and 48 pixels, 32 bits per pixel with
alpha, in one .ico file.

Only the standard library is used and nothing depends on the clock or the
machine, so every build writes the same bytes.

    make_icon.py OUTPUT.ico
"""
import math
import struct
import sys

SIZES = (16, 32, 48)
SUPERSAMPLE = 4  # sub-pixels per side, for smooth edges

TILE = (0x1F, 0x4E, 0x79)  # RGB
INK = (0xFF, 0xFF, 0xFF)


def inside_tile(x, y):
    """The tile: a square with rounded corners, in unit coordinates."""
    margin, radius = 0.04, 0.2
    lo, hi = margin + radius, 1 - margin - radius
    dx = max(lo - x, 0, x - hi)
    dy = max(lo - y, 0, y - hi)
    return dx * dx + dy * dy <= radius * radius


def inside_ink(x, y):
    """The mast, its top and two pairs of wave arcs around the top."""
    cx, cy = 0.5, 0.42
    if abs(x - cx) <= 0.045 and cy <= y <= 0.84:
        return True
    if abs(y - 0.84) <= 0.04 and abs(x - cx) <= 0.2:
        return True
    distance = math.hypot(x - cx, y - cy)
    if distance <= 0.08:
        return True
    angle = math.degrees(math.atan2(cy - y, abs(x - cx)))  # 0 is level
    if -40 <= angle <= 40:
        for radius in (0.19, 0.31):
            if abs(distance - radius) <= 0.04:
                return True
    return False


def pixel(px, py, size):
    """BGRA of one pixel, averaged over its sub-pixels."""
    tile = ink = 0
    for sy in range(SUPERSAMPLE):
        for sx in range(SUPERSAMPLE):
            x = (px + (sx + 0.5) / SUPERSAMPLE) / size
            y = (py + (sy + 0.5) / SUPERSAMPLE) / size
            if inside_tile(x, y):
                tile += 1
                if inside_ink(x, y):
                    ink += 1
    samples = SUPERSAMPLE * SUPERSAMPLE
    if tile == 0:
        return bytes(4)
    share = ink / tile
    red, green, blue = (round(t + (i - t) * share) for t, i in zip(TILE, INK))
    return bytes((blue, green, red, round(255 * tile / samples)))


def icon_image(size):
    """One image as an .ico holds it: a DIB header of twice the height, the
    colour rows bottom first, then the 1-bit AND mask (all zero: alpha does
    the work)."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = bytearray()
    for py in reversed(range(size)):
        for px in range(size):
            rows += pixel(px, py, size)
    mask_stride = ((size + 31) // 32) * 4
    return header + bytes(rows) + bytes(mask_stride * size)


def icon_file():
    images = [icon_image(size) for size in SIZES]
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in zip(SIZES, images):
        directory += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    return directory + b"".join(images)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    with open(sys.argv[1], "wb") as out:
        out.write(icon_file())


if __name__ == "__main__":
    main()
