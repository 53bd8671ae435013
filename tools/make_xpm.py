#!/usr/bin/env python3
"""Draws the wizard's two pictures and writes them as XPM sources.

    python3 tools/make_xpm.py app/images

writes side_image.xpm (158 x 286, the picture left of the wizard's pages)
and icon.xpm (256 x 256, the window icon): a calm blue-to-teal gradient with
an emblem of two template sheets and a download badge. Both use 256 colours
at 2 characters per pixel, as the wizard expects. Pure Python, no imaging
library: shapes are signed-distance functions, anti-aliased by supersampling,
and the colours are reduced by median cut.
"""

import math
import os
import sys

SUPERSAMPLE = 3
CHARS = ("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
         "0123456789.,-+=:;@#$%&*<>()[]{}!?|~^_`'/")

TOP = (22, 58, 104)       # deep blue
BOTTOM = (34, 132, 138)   # calm teal
PAPER = (250, 252, 253)
INK = (72, 128, 160)
BADGE = (245, 166, 35)    # warm accent, the one lively colour


def mix(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


def rounded_box(px, py, cx, cy, hw, hh, r):
    """Signed distance to a rounded rectangle centred at (cx, cy)."""
    qx = abs(px - cx) - hw + r
    qy = abs(py - cy) - hh + r
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - r


def coverage(d):
    """Area estimate of a sample from its signed distance (in pixels)."""
    return min(1.0, max(0.0, 0.5 - d))


class Emblem:
    """Two sheets with text lines and a round badge with a downward arrow,
    laid out in a box of side s whose top-left corner is (x0, y0)."""

    def __init__(self, x0, y0, s):
        self.x0, self.y0, self.s = x0, y0, s

    def shade(self, px, py, base):
        s = self.s
        u = (px - self.x0) / s
        v = (py - self.y0) / s
        colour = base
        # Back sheet, translucent.
        d = rounded_box(u, v, 0.56, 0.40, 0.26, 0.33, 0.04) * s
        colour = mix(colour, PAPER, 0.35 * coverage(d))
        # Front sheet with a soft shadow.
        d = rounded_box(u, v, 0.45, 0.53, 0.26, 0.33, 0.04) * s
        shadow = rounded_box(u, v, 0.47, 0.555, 0.26, 0.33, 0.06) * s
        colour = mix(colour, (10, 30, 50), 0.25 * coverage(shadow / 3.0))
        front = coverage(d)
        if front > 0:
            paper = PAPER
            for i, length in enumerate((0.30, 0.36, 0.24, 0.32)):
                ly = 0.34 + i * 0.09
                ld = rounded_box(u, v, 0.27 + length / 2, ly, length / 2, 0.018, 0.018) * s
                paper = mix(paper, INK, coverage(ld))
            colour = mix(colour, paper, front)
        # Badge: a circle with a downward arrow, over the sheet's corner.
        bd = (math.hypot(u - 0.70, v - 0.80) - 0.15) * s
        ring = (math.hypot(u - 0.70, v - 0.80) - 0.165) * s
        colour = mix(colour, PAPER, coverage(ring))
        badge = coverage(bd)
        if badge > 0:
            inner = BADGE
            shaft = rounded_box(u, v, 0.70, 0.76, 0.022, 0.07, 0.02) * s
            # The head is the triangle under the shaft: below y = 0.80,
            # above the two lines that meet at (0.70, 0.885).
            head = max((0.80 - v) * s, (v + abs(u - 0.70) - 0.885) * s)
            arrow = max(coverage(shaft), coverage(head))
            inner = mix(inner, PAPER, arrow)
            colour = mix(colour, inner, badge)
        return colour


def background(px, py, w, h):
    t = (py / h) * 0.8 + (px / w) * 0.2
    colour = mix(TOP, BOTTOM, t)
    # A faint light from the top left, to keep the flat gradient from looking dull.
    glow = max(0.0, 1.0 - math.hypot(px / w - 0.15, py / h - 0.05) / 0.9)
    return mix(colour, (255, 255, 255), 0.10 * glow * glow)


def render(w, h, shade):
    pixels = []
    n = SUPERSAMPLE
    for y in range(h):
        row = []
        for x in range(w):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(n):
                for sx in range(n):
                    px = x + (sx + 0.5) / n
                    py = y + (sy + 0.5) / n
                    c = shade(px, py)
                    if c is None:
                        continue
                    acc[0] += c[0]
                    acc[1] += c[1]
                    acc[2] += c[2]
                    acc[3] += 1
            if acc[3] * 2 < n * n:
                row.append(None)  # mostly outside: transparent
            else:
                row.append(tuple(int(round(acc[i] / acc[3])) for i in range(3)))
        pixels.append(row)
    return pixels


def median_cut(counts, k):
    """Splits the colour set into k boxes along their widest channel."""
    boxes = [list(counts.items())]
    while len(boxes) < k:
        best, best_range = None, -1
        for i, box in enumerate(boxes):
            if len(box) < 2:
                continue
            spread = max(max(c[0][ch] for c in box) - min(c[0][ch] for c in box) for ch in range(3))
            if spread > best_range:
                best, best_range = i, spread
        if best is None:
            break
        box = boxes.pop(best)
        ch = max(range(3), key=lambda ch: max(c[0][ch] for c in box) - min(c[0][ch] for c in box))
        box.sort(key=lambda c: c[0][ch])
        total = sum(c[1] for c in box)
        acc, cut = 0, 1
        for i, (_, count) in enumerate(box):
            acc += count
            if acc * 2 >= total:
                cut = max(1, min(len(box) - 1, i + 1))
                break
        boxes.append(box[:cut])
        boxes.append(box[cut:])
    palette = []
    for box in boxes:
        total = sum(c[1] for c in box)
        palette.append(tuple(int(round(sum(c[0][ch] * c[1] for c in box) / total)) for ch in range(3)))
    return palette


def write_xpm(path, name, pixels):
    h, w = len(pixels), len(pixels[0])
    transparent = any(p is None for row in pixels for p in row)
    counts = {}
    for row in pixels:
        for p in row:
            if p is not None:
                counts[p] = counts.get(p, 0) + 1
    slots = 256 - (1 if transparent else 0)
    palette = median_cut(counts, slots)
    # Pad with unused copies so that every picture declares 256 colours.
    while len(palette) < slots:
        palette.append(palette[-1])
    nearest = {}

    def index_of(p):
        if p not in nearest:
            nearest[p] = min(range(len(palette)),
                             key=lambda i: sum((palette[i][c] - p[c]) ** 2 for c in range(3)))
        return nearest[p]

    keys = [CHARS[i // len(CHARS)] + CHARS[i % len(CHARS)] for i in range(256)]
    lines = ['"%d %d 256 2 ",' % (w, h)]
    for i, colour in enumerate(palette):
        lines.append('"%s c #%02X%02X%02X",' % ((keys[i],) + colour))
    if transparent:
        lines.append('"%s c None",' % keys[255])
    for row in pixels:
        text = "".join(keys[255] if p is None else keys[index_of(p)] for p in row)
        lines.append('"%s",' % text)
    lines[-1] = lines[-1].rstrip(",")
    with open(path, "w") as out:
        out.write("/* XPM */\n")
        out.write("/* Generated by tools/make_xpm.py; edit the script, not this file. */\n")
        out.write("static const char* %s[] = {\n" % name)
        out.write("\n".join(lines))
        out.write("\n};\n")


def side_image():
    w, h = 158, 286
    emblem = Emblem(19, 40, 120)

    def shade(px, py):
        return emblem.shade(px, py, background(px, py, w, h))

    return render(w, h, shade)


def icon():
    s = 256
    emblem = Emblem(28, 22, 200)

    def shade(px, py):
        if rounded_box(px, py, s / 2, s / 2, s / 2 - 8, s / 2 - 8, 44) > 0:
            return None
        return emblem.shade(px, py, background(px, py, s, s))

    return render(s, s, shade)


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else "app/images"
    os.makedirs(folder, exist_ok=True)
    write_xpm(os.path.join(folder, "side_image.xpm"), "side_image_xpm", side_image())
    write_xpm(os.path.join(folder, "icon.xpm"), "icon_xpm", icon())


if __name__ == "__main__":
    main()
