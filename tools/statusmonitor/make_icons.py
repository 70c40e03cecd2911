#!/usr/bin/env python3
"""Draws the monitor's two icons, printer.ico and printer_alert.ico (the
printer with a warning mark), beside this script, at every size Windows
asks for from 16 to 64 pixels. Run it again after changing the drawing;
the build takes the committed files.

Each size is drawn from the same shapes in unit coordinates, with 4 x 4
samples per pixel, so small sizes stay sharp instead of being scaled down.
"""
import os
import struct

SIZES = (16, 20, 24, 32, 40, 48, 64)
SAMPLES = 4

OUTLINE = (40, 48, 60, 255)
BODY = (92, 108, 128, 255)
PAPER = (250, 250, 250, 255)
SLOT = (30, 34, 40, 255)
LIGHT = (60, 200, 60, 255)
WARN = (232, 120, 0, 255)
WHITE = (255, 255, 255, 255)


def rect(x0, y0, x1, y1, colour, radius=0.0):
    """A (rounded) rectangle: a function of a point giving colour or None."""
    def inside(x, y):
        if not (x0 <= x <= x1 and y0 <= y <= y1):
            return None
        cx = min(max(x, x0 + radius), x1 - radius)
        cy = min(max(y, y0 + radius), y1 - radius)
        return colour if (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2 + 1e-12 else None
    return inside


def circle(cx, cy, r, colour):
    """A disc: a function of a point giving colour or None."""
    return lambda x, y: colour if (x - cx) ** 2 + (y - cy) ** 2 <= r * r else None


def outlined(shape, x0, y0, x1, y1, fill, width, radius=0.0):
    """A shape drawn in OUTLINE with its inside in `fill`: the later first."""
    return [shape(x0 + width, y0 + width, x1 - width, y1 - width, fill, max(radius - width, 0)),
            shape(x0, y0, x1, y1, OUTLINE, radius)]


def printer(alert):
    """The shapes of the picture, topmost first."""
    shapes = []
    if alert:
        shapes += [rect(0.715, 0.56, 0.775, 0.79, WHITE), circle(0.745, 0.87, 0.04, WHITE),
                   circle(0.745, 0.74, 0.22, WARN), circle(0.745, 0.74, 0.26, OUTLINE)]
    shapes += outlined(rect, 0.24, 0.66, 0.76, 0.94, PAPER, 0.04)
    shapes += [rect(0.16, 0.60, 0.84, 0.68, SLOT), circle(0.80, 0.46, 0.05, LIGHT)]
    shapes += outlined(rect, 0.04, 0.32, 0.96, 0.80, BODY, 0.05, radius=0.1)
    shapes += outlined(rect, 0.24, 0.04, 0.76, 0.40, PAPER, 0.04)
    return shapes


def colour_at(shapes, x, y):
    """The colour of the topmost shape at a point; transparent for none."""
    for shape in shapes:
        found = shape(x, y)
        if found:
            return found
    return (0, 0, 0, 0)


def pixels(shapes, size):
    """Rows of RGBA pixels averaged over the samples, top row first."""
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            total = [0, 0, 0, 0]
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    r, g, b, a = colour_at(shapes, (px + (sx + 0.5) / SAMPLES) / size,
                                           (py + (sy + 0.5) / SAMPLES) / size)
                    total = [total[0] + r * a, total[1] + g * a, total[2] + b * a, total[3] + a]
            alpha = total[3] / (SAMPLES * SAMPLES)
            if total[3]:
                row.append(tuple(round(c / total[3]) for c in total[:3]) + (round(alpha),))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def bitmap(rows, size):
    """One icon image: a 32-bit BITMAPINFOHEADER image, bottom row first,
    and its all-zero AND mask (the alpha channel does the masking)."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    data = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for r, g, b, a in row)
    mask = bytes(((size + 31) // 32) * 4 * size)
    return header + data + mask


def icon(alert):
    """The bytes of an .ico file with every size."""
    images = [bitmap(pixels(printer(alert), size), size) for size in SIZES]
    offset = 6 + 16 * len(images)
    out = struct.pack("<HHH", 0, 1, len(images))
    for size, image in zip(SIZES, images):
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    return out + b"".join(images)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    for name, alert in (("printer.ico", False), ("printer_alert.ico", True)):
        with open(os.path.join(here, name), "wb") as f:
            f.write(icon(alert))


if __name__ == "__main__":
    main()
