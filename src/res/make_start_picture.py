#!/usr/bin/env python3
"""Draws the picture of the UI's start screen that the helper shows the
launcher until it has captured the real UI: bitmap resource 133, 1024 x 600
pixels, 24 bits per pixel, uncompressed BMP.

Only the standard library is used and nothing depends on the clock or the
machine, so every build writes the same bytes.

    make_start_picture.py OUTPUT.bmp
"""
import struct
import sys

WIDTH = 1024
HEIGHT = 600

# A 5 x 7 pixel font, one string per row, "#" for ink.
FONT = {
    "A": [" ### ", "#   #", "#   #", "#####", "#   #", "#   #", "#   #"],
    "B": ["#### ", "#   #", "#   #", "#### ", "#   #", "#   #", "#### "],
    "C": [" ### ", "#   #", "#    ", "#    ", "#    ", "#   #", " ### "],
    "D": ["#### ", "#   #", "#   #", "#   #", "#   #", "#   #", "#### "],
    "E": ["#####", "#    ", "#    ", "#### ", "#    ", "#    ", "#####"],
    "F": ["#####", "#    ", "#    ", "#### ", "#    ", "#    ", "#    "],
    "G": [" ### ", "#   #", "#    ", "# ###", "#   #", "#   #", " ####"],
    "H": ["#   #", "#   #", "#   #", "#####", "#   #", "#   #", "#   #"],
    "I": [" ### ", "  #  ", "  #  ", "  #  ", "  #  ", "  #  ", " ### "],
    "J": ["  ###", "   # ", "   # ", "   # ", "   # ", "#  # ", " ##  "],
    "K": ["#   #", "#  # ", "# #  ", "##   ", "# #  ", "#  # ", "#   #"],
    "L": ["#    ", "#    ", "#    ", "#    ", "#    ", "#    ", "#####"],
    "M": ["#   #", "## ##", "# # #", "# # #", "#   #", "#   #", "#   #"],
    "N": ["#   #", "#   #", "##  #", "# # #", "#  ##", "#   #", "#   #"],
    "O": [" ### ", "#   #", "#   #", "#   #", "#   #", "#   #", " ### "],
    "P": ["#### ", "#   #", "#   #", "#### ", "#    ", "#    ", "#    "],
    "Q": [" ### ", "#   #", "#   #", "#   #", "# # #", "#  # ", " ## #"],
    "R": ["#### ", "#   #", "#   #", "#### ", "# #  ", "#  # ", "#   #"],
    "S": [" ####", "#    ", "#    ", " ### ", "    #", "    #", "#### "],
    "T": ["#####", "  #  ", "  #  ", "  #  ", "  #  ", "  #  ", "  #  "],
    "U": ["#   #", "#   #", "#   #", "#   #", "#   #", "#   #", " ### "],
    "V": ["#   #", "#   #", "#   #", "#   #", "#   #", " # # ", "  #  "],
    "W": ["#   #", "#   #", "#   #", "# # #", "# # #", "# # #", " # # "],
    "X": ["#   #", "#   #", " # # ", "  #  ", " # # ", "#   #", "#   #"],
    "Y": ["#   #", "#   #", " # # ", "  #  ", "  #  ", "  #  ", "  #  "],
    "Z": ["#####", "    #", "   # ", "  #  ", " #   ", "#    ", "#####"],
    "0": [" ### ", "#   #", "#  ##", "# # #", "##  #", "#   #", " ### "],
    "1": ["  #  ", " ##  ", "  #  ", "  #  ", "  #  ", "  #  ", " ### "],
    "2": [" ### ", "#   #", "    #", "   # ", "  #  ", " #   ", "#####"],
    "3": ["#####", "   # ", "  #  ", "   # ", "    #", "#   #", " ### "],
    "4": ["   # ", "  ## ", " # # ", "#  # ", "#####", "   # ", "   # "],
    "5": ["#####", "#    ", "#### ", "    #", "    #", "#   #", " ### "],
    "6": ["  ## ", " #   ", "#    ", "#### ", "#   #", "#   #", " ### "],
    "7": ["#####", "    #", "   # ", "  #  ", " #   ", " #   ", " #   "],
    "8": [" ### ", "#   #", "#   #", " ### ", "#   #", "#   #", " ### "],
    "9": [" ### ", "#   #", "#   #", " ####", "    #", "   # ", " ##  "],
    " ": ["     "] * 7,
    ":": ["     ", "  #  ", "  #  ", "     ", "  #  ", "  #  ", "     "],
    ".": ["     ", "     ", "     ", "     ", "     ", " ##  ", " ##  "],
    "-": ["     ", "     ", "     ", "#####", "     ", "     ", "     "],
}

WHITE = (255, 255, 255)
ACCENT = (255, 140, 40)
BAR = (10, 14, 30)
MUTED = (165, 176, 200)

# Name, genre, and the tile's top and bottom colours.
STATIONS = [
    ("JAZZ FM", "SMOOTH JAZZ", (236, 72, 153), (124, 58, 237)),
    ("ROCK 101", "CLASSIC ROCK", (239, 68, 68), (153, 27, 27)),
    ("CLASSICA", "ORCHESTRA", (245, 158, 11), (180, 83, 9)),
    ("NEWS 24", "TALK", (59, 130, 246), (30, 64, 175)),
    ("CHILL WAVE", "LOUNGE", (20, 184, 166), (15, 118, 110)),
    ("POP HITS", "CHARTS", (168, 85, 247), (88, 28, 135)),
    ("METRO", "DANCE", (34, 197, 94), (21, 128, 61)),
    ("FOLK ROOTS", "ACOUSTIC", (251, 113, 133), (190, 18, 60)),
]


class Canvas:
    """Rows of blue-green-red bytes, top row first."""

    def __init__(self, width, height):
        self.width = width
        self.height = height
        self.rows = [bytearray(width * 3) for _ in range(height)]

    def span(self, y, x0, x1, color):
        """Fills row y from x0 up to, not including, x1."""
        if not 0 <= y < self.height:
            return
        x0 = max(0, x0)
        x1 = min(self.width, x1)
        if x1 <= x0:
            return
        r, g, b = color
        self.rows[y][x0 * 3:x1 * 3] = bytes((b, g, r)) * (x1 - x0)

    def rect(self, x0, y0, x1, y1, color):
        for y in range(y0, y1):
            self.span(y, x0, x1, color)

    def vertical_gradient(self, x0, y0, x1, y1, top, bottom, radius=0):
        """A rectangle shading from top to bottom, its corners rounded."""
        height = y1 - y0
        for y in range(y0, y1):
            t = (y - y0) / max(1, height - 1)
            color = tuple(round(a + (b - a) * t) for a, b in zip(top, bottom))
            inset = corner_inset(y - y0, height, radius)
            self.span(y, x0 + inset, x1 - inset, color)

    def circle(self, cx, cy, r, color):
        for dy in range(-r, r + 1):
            half = int((r * r - dy * dy) ** 0.5 + 0.5)
            self.span(cy + dy, cx - half, cx + half + 1, color)

    def triangle_right(self, x0, cy, size, color):
        """A play symbol: a triangle pointing right, its left edge at x0."""
        for dy in range(-size, size + 1):
            length = round((size - abs(dy)) * 1.6)
            self.span(cy + dy, x0, x0 + length + 1, color)

    def text(self, x, y, string, scale, color):
        for ch in string:
            glyph = FONT[ch]
            for row, line in enumerate(glyph):
                for col, ink in enumerate(line):
                    if ink == "#":
                        self.rect(x + col * scale, y + row * scale,
                                  x + (col + 1) * scale, y + (row + 1) * scale, color)
            x += 6 * scale
        return x

    def bmp(self):
        """An uncompressed 24-bit BMP: rows stored bottom first, each padded
        to four bytes."""
        padding = b"\0" * ((4 - self.width * 3 % 4) % 4)
        pixels = b"".join(bytes(row) + padding for row in reversed(self.rows))
        header = struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54)
        info = struct.pack("<IiiHHIIiiII", 40, self.width, self.height, 1, 24, 0,
                           len(pixels), 2835, 2835, 0, 0)
        return header + info + pixels


def corner_inset(offset, height, radius):
    """How far a row of a rounded rectangle starts in from its side."""
    if radius <= 0:
        return 0
    if offset < radius:
        dy = radius - offset - 0.5
    elif offset >= height - radius:
        dy = offset - (height - radius) + 0.5
    else:
        return 0
    return radius - int((radius * radius - dy * dy) ** 0.5 + 0.5)


def text_width(string, scale):
    return len(string) * 6 * scale - scale


def draw(canvas):
    # Night-sky background.
    canvas.vertical_gradient(0, 0, WIDTH, HEIGHT, (18, 24, 52), (44, 18, 70))

    # Title bar: name, clock and signal strength.
    canvas.rect(0, 0, WIDTH, 64, BAR)
    canvas.rect(0, 64, WIDTH, 67, ACCENT)
    x = canvas.text(32, 18, "TUNARA", 4, WHITE)
    canvas.text(x + 16, 18, "RADIO", 4, ACCENT)
    clock = "12:00"
    clock_x = WIDTH - 32 - text_width(clock, 3)
    canvas.text(clock_x, 22, clock, 3, WHITE)
    for i in range(4):
        bar_height = 8 + i * 7
        left = clock_x - 72 + i * 12
        canvas.rect(left, 46 - bar_height, left + 8, 46, WHITE if i < 3 else MUTED)

    canvas.text(40, 92, "FAVOURITE STATIONS", 2, MUTED)

    # Two rows of four station tiles.
    tile_w, tile_h, gap, left, top = 218, 170, 24, 40, 124
    for index, (name, genre, upper, lower) in enumerate(STATIONS):
        x0 = left + (index % 4) * (tile_w + gap)
        y0 = top + (index // 4) * (tile_h + gap)
        canvas.vertical_gradient(x0, y0, x0 + tile_w, y0 + tile_h, upper, lower, radius=14)
        # Logo: the station's initial in a light disc.
        canvas.circle(x0 + 40, y0 + 42, 24, (250, 250, 255))
        canvas.text(x0 + 40 - 7, y0 + 42 - 10, name[0], 3, lower)
        canvas.text(x0 + 18, y0 + 98, name, 2, WHITE)
        canvas.text(x0 + 18, y0 + 124, genre, 2, (235, 235, 245))
        # Play button.
        canvas.circle(x0 + tile_w - 34, y0 + 42, 18, (255, 255, 255))
        canvas.triangle_right(x0 + tile_w - 40, y0 + 42, 9, lower)

    # Control bar: play button, status and volume.
    canvas.rect(0, 520, WIDTH, HEIGHT, BAR)
    canvas.rect(0, 517, WIDTH, 520, (34, 40, 70))
    canvas.circle(72, 560, 28, ACCENT)
    canvas.triangle_right(64, 560, 13, WHITE)
    canvas.text(120, 546, "READY", 2, WHITE)
    canvas.text(120, 566, "TOUCH A STATION TO PLAY", 2, MUTED)
    # Speaker icon, then the slider at 70 per cent.
    canvas.rect(656, 554, 666, 567, WHITE)
    for dy in range(-14, 15):
        canvas.span(560 + dy, 666 + max(0, abs(dy) - 6), 682, WHITE)
    slider_x0, slider_x1 = 700, 970
    canvas.rect(slider_x0, 557, slider_x1, 563, (70, 78, 110))
    knob = slider_x0 + (slider_x1 - slider_x0) * 7 // 10
    canvas.rect(slider_x0, 557, knob, 563, ACCENT)
    canvas.circle(knob, 560, 11, WHITE)


def main(argv):
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    canvas = Canvas(WIDTH, HEIGHT)
    draw(canvas)
    with open(argv[1], "wb") as out:
        out.write(canvas.bmp())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
