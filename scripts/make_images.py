#!/usr/bin/env python3
"""Draws the program's pictures: the logo, the pause and resume symbols and
the icon. Written with the standard library only, so the build needs no
image tools; every picture is our own, described by the shapes below.

Usage: make_images.py OUTPUT_FOLDER
"""
import struct
import sys
from pathlib import Path

WHITE = (255, 255, 255)
GREY = (128, 128, 128)
BLUE = (31, 87, 160)
LIGHT_BLUE = (86, 156, 226)


def coverage(inside, x, y, samples=4):
    """Share of the pixel (x, y) that the shape covers, for smooth edges."""
    hits = 0
    for sy in range(samples):
        for sx in range(samples):
            if inside(x + (sx + 0.5) / samples, y + (sy + 0.5) / samples):
                hits += 1
    return hits / (samples * samples)


def blend(under, over, alpha):
    return tuple(round(u + (o - u) * alpha) for u, o in zip(under, over))


def rounded_rect(left, top, right, bottom, radius):
    def inside(x, y):
        if not (left <= x <= right and top <= y <= bottom):
            return False
        cx = min(max(x, left + radius), right - radius)
        cy = min(max(y, top + radius), bottom - radius)
        return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2
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


class Canvas:
    def __init__(self, width, height, colour):
        self.width = width
        self.height = height
        self.pixels = [[colour] * width for _ in range(height)]
        self.alpha = [[0] * width for _ in range(height)]

    def fill(self, inside, colour_at):
        for y in range(self.height):
            for x in range(self.width):
                share = coverage(inside, x, y)
                if share > 0:
                    self.pixels[y][x] = blend(self.pixels[y][x], colour_at(x, y), share)
                    self.alpha[y][x] = max(self.alpha[y][x], round(255 * share))


def solid(colour):
    return lambda x, y: colour


def bmp8(canvas):
    """A bottom-up 8-bit BMP file with its colours in a table: every picture
    here has fewer than 256 colours, so this is lossless at a third of the
    size of 24 bits per pixel. Rows padded to four bytes."""
    colours = sorted({colour for row in canvas.pixels for colour in row})
    if len(colours) > 256:
        raise SystemExit("make_images.py: a picture has more than 256 colours")
    index = {colour: i for i, colour in enumerate(colours)}
    table = b"".join(bytes((b, g, r, 0)) for r, g, b in colours)
    row_size = (canvas.width + 3) & ~3
    data = bytearray()
    for row in reversed(canvas.pixels):
        line = bytes(index[colour] for colour in row)
        data += line + bytes(row_size - len(line))
    header = struct.pack("<IiiHHIIiiII", 40, canvas.width, canvas.height, 1, 8, 0,
                         len(data), 2835, 2835, len(colours), len(colours))
    offset = 14 + len(header) + len(table)
    file_header = struct.pack("<2sIHHI", b"BM", offset + len(data), 0, 0, offset)
    return file_header + header + table + data


def icon_image(canvas):
    """One 32-bit icon image: BGRA rows bottom-up, then the AND mask."""
    size = canvas.width
    colour = bytearray()
    for y in reversed(range(size)):
        for x in range(size):
            r, g, b = canvas.pixels[y][x]
            colour += bytes((b, g, r, canvas.alpha[y][x]))
    mask_row = ((size + 31) // 32) * 4
    mask = bytearray()
    for y in reversed(range(size)):
        bits = bytearray(mask_row)
        for x in range(size):
            if canvas.alpha[y][x] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         len(colour) + len(mask), 0, 0, 0, 0)
    return header + colour + mask


def ico(canvases):
    images = [icon_image(c) for c in canvases]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for canvas, image in zip(canvases, images):
        out += struct.pack("<BBBBHHII", canvas.width % 256, canvas.height % 256, 0, 0, 1, 32,
                           len(image), offset)
        offset += len(image)
    for image in images:
        out += image
    return bytes(out)


def vertical_gradient(top, bottom, height):
    return lambda x, y: blend(top, bottom, min(max(y / height, 0.0), 1.0))


def down_arrow(size, left, top):
    """An arrow pointing down into a tray, scaled to a square of side size."""
    s = size
    shaft = [(0.40, 0.12), (0.60, 0.12), (0.60, 0.45), (0.78, 0.45), (0.50, 0.74),
             (0.22, 0.45), (0.40, 0.45)]
    return polygon([(left + x * s, top + y * s) for x, y in shaft])


def logo():
    width, height = 179, 228
    canvas = Canvas(width, height, WHITE)
    canvas.fill(rounded_rect(14, 20, width - 14, 185, 22),
                vertical_gradient(LIGHT_BLUE, BLUE, 185))
    canvas.fill(down_arrow(120, 29.5, 38), solid(WHITE))
    canvas.fill(rounded_rect(44, 140, width - 44, 152, 4), solid(WHITE))
    # Three bars below the box, a quiet hint of parts arriving one by one.
    for i, shade in enumerate((BLUE, LIGHT_BLUE, (170, 200, 235))):
        left = 30 + i * 42
        canvas.fill(rounded_rect(left, 198, left + 35, 208, 5), solid(shade))
    return canvas


def pause_symbol():
    canvas = Canvas(256, 256, WHITE)
    canvas.fill(rounded_rect(64, 40, 112, 216, 14), solid(GREY))
    canvas.fill(rounded_rect(144, 40, 192, 216, 14), solid(GREY))
    return canvas


def resume_symbol():
    canvas = Canvas(256, 256, WHITE)
    canvas.fill(polygon([(72, 36), (216, 128), (72, 220)]), solid(GREY))
    return canvas


def icon_canvas(size):
    canvas = Canvas(size, size, (0, 0, 0))
    margin = size / 16
    canvas.fill(rounded_rect(margin, margin, size - margin, size - margin, size / 6),
                vertical_gradient(LIGHT_BLUE, BLUE, size))
    canvas.fill(down_arrow(size, 0, 0), solid(WHITE))
    canvas.fill(rounded_rect(size * 0.25, size * 0.78, size * 0.75, size * 0.86, size / 32),
                solid(WHITE))
    return canvas


def main():
    out = Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    (out / "logo.bmp").write_bytes(bmp8(logo()))
    (out / "pause.bmp").write_bytes(bmp8(pause_symbol()))
    (out / "resume.bmp").write_bytes(bmp8(resume_symbol()))
    (out / "app.ico").write_bytes(ico([icon_canvas(s) for s in (16, 32, 48)]))


if __name__ == "__main__":
    main()
