#!/usr/bin/env python3
"""Draws Quillforth's icons and bitmaps into res/ with the standard library only.

Run it from anywhere: `python3 res/draw_resources.py`. The files it writes are committed; run it
again after changing a drawing here.

Icons (16, 32 and 48 pixels, 32-bit with alpha): each state has its own colour and symbol, because
the tray's alternation between them is the only warning the user gets.
  quillforth.ico  128  running: green disc with a white "Q"
  updating.ico    141  updating: blue disc with two white circling arrows
  stopped.ico     142  stopped: grey disc with a white square
  server_down.ico 143  upstream down: red disc with a white exclamation mark
  blink.ico       144  the blink frame: a white disc with a dark rim and nothing inside
Bitmaps:
  sort_ascending.bmp / sort_descending.bmp  148 / 149: 9 x 5 black arrows on white, 16 colours
      (the list header maps their black to the grey text colour)
  edit_list_buttons.bmp  150: four 12 x 12 images (new, delete, up, down) on magenta, which is
      the mask colour
"""

import math
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
SUPERSAMPLE = 4

WHITE = (255, 255, 255)


# ---------------------------------------------------------------------------------------------
# Shapes: each takes a point in a 1 x 1 design square and says whether the point is inside.


def disc(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def ring(cx, cy, r_in, r_out, start_deg=None, end_deg=None):
    def inside(x, y):
        d2 = (x - cx) ** 2 + (y - cy) ** 2
        if not r_in * r_in <= d2 <= r_out * r_out:
            return False
        if start_deg is None:
            return True
        # Angles grow clockwise on screen, 0 at the right.
        angle = math.degrees(math.atan2(y - cy, x - cx)) % 360
        return (angle - start_deg) % 360 <= (end_deg - start_deg) % 360

    return inside


def rect(x0, y0, x1, y1):
    return lambda x, y: x0 <= x <= x1 and y0 <= y <= y1


def segment(x0, y0, x1, y1, half_width):
    dx, dy = x1 - x0, y1 - y0
    length2 = dx * dx + dy * dy

    def inside(x, y):
        t = max(0.0, min(1.0, ((x - x0) * dx + (y - y0) * dy) / length2))
        px, py = x0 + t * dx, y0 + t * dy
        return (x - px) ** 2 + (y - py) ** 2 <= half_width * half_width

    return inside


def polygon(points):
    def inside(x, y):
        result = False
        j = len(points) - 1
        for i, (xi, yi) in enumerate(points):
            xj, yj = points[j]
            if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                result = not result
            j = i
        return result

    return inside


def arrow_head(tip_x, tip_y, direction_deg, size):
    """A triangle whose tip points along direction_deg."""
    a = math.radians(direction_deg)
    back_x, back_y = tip_x - size * math.cos(a), tip_y - size * math.sin(a)
    side_x, side_y = -math.sin(a) * size * 0.75, math.cos(a) * size * 0.75
    return polygon([(tip_x, tip_y), (back_x + side_x, back_y + side_y),
                    (back_x - side_x, back_y - side_y)])


# ---------------------------------------------------------------------------------------------
# Icon designs: a list of (shape, colour) layers painted in order.


def status_disc(fill, rim):
    return [(disc(0.5, 0.5, 0.47), rim), (disc(0.5, 0.5, 0.41), fill)]


def design_running():
    return status_disc((44, 154, 71), (24, 96, 42)) + [
        (ring(0.48, 0.47, 0.15, 0.25), WHITE),
        (segment(0.56, 0.56, 0.74, 0.74, 0.055), WHITE),
    ]


def design_updating():
    layers = status_disc((45, 108, 200), (26, 62, 128))
    layers += [
        (ring(0.5, 0.5, 0.17, 0.26, 200, 340), WHITE),
        (ring(0.5, 0.5, 0.17, 0.26, 20, 160), WHITE),
        (arrow_head(0.72, 0.62, 100, 0.16), WHITE),
        (arrow_head(0.28, 0.38, 280, 0.16), WHITE),
    ]
    return layers


def design_stopped():
    return status_disc((125, 125, 125), (72, 72, 72)) + [(rect(0.31, 0.31, 0.69, 0.69), WHITE)]


def design_server_down():
    return status_disc((204, 42, 42), (128, 20, 20)) + [
        (segment(0.5, 0.22, 0.5, 0.56, 0.07), WHITE),
        (disc(0.5, 0.74, 0.075), WHITE),
    ]


def design_blink():
    return [(disc(0.5, 0.5, 0.47), (90, 90, 90)), (disc(0.5, 0.5, 0.41), (250, 250, 250))]


def render(layers, size):
    """Rows of (r, g, b, a) pixels, top row first, anti-aliased by supersampling."""
    rows = []
    n = SUPERSAMPLE
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = covered = 0
            for sy in range(n):
                for sx in range(n):
                    x = (px + (sx + 0.5) / n) / size
                    y = (py + (sy + 0.5) / n) / size
                    colour = None
                    for shape, layer_colour in layers:
                        if shape(x, y):
                            colour = layer_colour
                    if colour is not None:
                        r, g, b = r + colour[0], g + colour[1], b + colour[2]
                        covered += 1
            if covered:
                row.append((r // covered, g // covered, b // covered, 255 * covered // (n * n)))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def icon_image(rows):
    """One icon directory image: BITMAPINFOHEADER, BGRA pixels bottom-up, then the AND mask."""
    size = len(rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + pixels + bytes(mask)


def write_icon(name, layers, sizes):
    images = [icon_image(render(layers, size)) for size in sizes]
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in zip(sizes, images):
        directory += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image),
                                 offset)
        offset += len(image)
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(directory + b"".join(images))


# ---------------------------------------------------------------------------------------------
# Bitmaps.

VGA_PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
    (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]


def bmp_file(width, height, bit_count, palette, pixel_rows):
    """A BMP file from bottom-up pixel rows that are already packed and padded."""
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, bit_count, 0, 0, 2835, 2835,
                       len(palette), 0)
    colours = b"".join(bytes((b, g, r, 0)) for (r, g, b) in palette)
    pixels = b"".join(pixel_rows)
    offset = 14 + len(info) + len(colours)
    file_header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    return file_header + info + colours + pixels


def write_arrow(name, pattern):
    """A 16-colour bitmap: '#' black (index 0), anything else white (index 15)."""
    width = len(pattern[0])
    stride = ((width * 4 + 31) // 32) * 4
    rows = []
    for line in reversed(pattern):
        nibbles = [0 if c == "#" else 15 for c in line]
        packed = bytearray(stride)
        for x, value in enumerate(nibbles):
            packed[x // 2] |= value << (4 if x % 2 == 0 else 0)
        rows.append(bytes(packed))
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(bmp_file(width, len(pattern), 4, VGA_PALETTE, rows))


ARROW_UP = [
    "....#....",
    "...###...",
    "..#####..",
    ".#######.",
    "#########",
]

MAGENTA = (255, 0, 255)
BUTTON_SIZE = 12

# Each button image: '.' mask (magenta), other letters the colours below.
BUTTON_COLOURS = {"k": (0, 0, 0), "w": (255, 255, 255), "g": (128, 128, 128),
                  "r": (200, 32, 32), "b": (32, 80, 176), "y": (232, 196, 40)}
BUTTON_IMAGES = [
    [  # new: a sheet of paper with a star at its corner
        "..gggggg....",
        "..gwwwwgg...",
        "..gwwwwgwg..",
        "..gwwwwgggy.",
        "..gwwwwwwyyy",
        "..gwwwwwwwy.",
        "..gwwwwwwwg.",
        "..gwwwwwwwg.",
        "..gwwwwwwwg.",
        "..gwwwwwwwg.",
        "..ggggggggg.",
        "............",
    ],
    [  # delete: a red cross
        "............",
        ".rr......rr.",
        ".rrr....rrr.",
        "..rrr..rrr..",
        "...rrrrrr...",
        "....rrrr....",
        "....rrrr....",
        "...rrrrrr...",
        "..rrr..rrr..",
        ".rrr....rrr.",
        ".rr......rr.",
        "............",
    ],
    [  # move up
        ".....bb.....",
        "....bbbb....",
        "...bbbbbb...",
        "..bbbbbbbb..",
        ".bbbbbbbbbb.",
        "....bbbb....",
        "....bbbb....",
        "....bbbb....",
        "....bbbb....",
        "....bbbb....",
        "....bbbb....",
        "............",
    ],
]
BUTTON_IMAGES.append(list(reversed(BUTTON_IMAGES[2])))  # move down mirrors move up


def write_button_strip(name):
    width = BUTTON_SIZE * len(BUTTON_IMAGES)
    stride = ((width * 24 + 31) // 32) * 4
    rows = []
    for y in reversed(range(BUTTON_SIZE)):
        packed = bytearray()
        for image in BUTTON_IMAGES:
            for c in image[y]:
                r, g, b = BUTTON_COLOURS.get(c, MAGENTA)
                packed += bytes((b, g, r))
        packed += bytes(stride - len(packed))
        rows.append(bytes(packed))
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(bmp_file(width, BUTTON_SIZE, 24, [], rows))


def main():
    write_icon("quillforth.ico", design_running(), [16, 32, 48])
    write_icon("updating.ico", design_updating(), [16, 32])
    write_icon("stopped.ico", design_stopped(), [16, 32])
    write_icon("server_down.ico", design_server_down(), [16, 32])
    write_icon("blink.ico", design_blink(), [16, 32])
    write_arrow("sort_ascending.bmp", ARROW_UP)
    write_arrow("sort_descending.bmp", list(reversed(ARROW_UP)))
    write_button_strip("edit_list_buttons.bmp")


if __name__ == "__main__":
    main()
