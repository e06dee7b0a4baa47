#!/usr/bin/python3
"""Draws the application icon and writes it as resources/app.ico.

The artwork is a green download arrow dropping into a grey drive box. Every
image is stored as a DIB (BITMAPINFOHEADER with doubled height, colour bits
followed by the AND mask), never as PNG, because the Windows 95 family cannot
read PNG icon images:

    48x48 at 4, 8 and 32 bits per pixel
    32x32 at 4 and 8 bits per pixel
    16x16 at 4, 8 and 32 bits per pixel

Shapes are described by signed distance functions in pixel space, so the
32-bit images get smooth edges and real alpha at every size. The 8-bit images
take the same colours with hard outer edges and an adaptive palette; the
4-bit images are drawn separately in flat colours of the standard 16-colour
palette, which looks cleaner than quantised gradients.

Output is deterministic: running the script twice gives the same bytes.
Standard library only.

Usage: make_icon.py [OUTPUT] [--preview DIR]
"""

import math
import os
import struct
import sys

# The 16 colours every Windows display driver provides, in the usual order.
VGA16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, GREEN, SILVER, GRAY, LIME, WHITE = 0, 2, 7, 8, 10, 15

# (size, bits per pixel), in the order the directory lists them.
IMAGES = [(48, 4), (48, 8), (48, 32), (32, 4), (32, 8), (16, 4), (16, 8), (16, 32)]


# ---------------------------------------------------------------- geometry

def sd_box(px, py, x0, y0, x1, y1, r):
    """Signed distance to a rounded rectangle (negative inside)."""
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    hx, hy = (x1 - x0) / 2 - r, (y1 - y0) / 2 - r
    dx, dy = abs(px - cx) - hx, abs(py - cy) - hy
    outside = math.hypot(max(dx, 0.0), max(dy, 0.0))
    return outside + min(max(dx, dy), 0.0) - r


def sd_polygon(px, py, pts):
    """Signed distance to a simple polygon (negative inside)."""
    best = float("inf")
    inside = False
    n = len(pts)
    for i in range(n):
        ax, ay = pts[i]
        bx, by = pts[(i + 1) % n]
        ex, ey = bx - ax, by - ay
        wx, wy = px - ax, py - ay
        t = max(0.0, min(1.0, (wx * ex + wy * ey) / (ex * ex + ey * ey)))
        best = min(best, math.hypot(wx - ex * t, wy - ey * t))
        if (ay > py) != (by > py) and px < ax + (py - ay) * ex / ey:
            inside = not inside
    return -best if inside else best


def sd_circle(px, py, cx, cy, r):
    return math.hypot(px - cx, py - cy) - r


def lerp(c0, c1, t):
    t = max(0.0, min(1.0, t))
    return tuple(a + (b - a) * t for a, b in zip(c0, c1))


def hexrgb(s):
    return tuple(int(s[i:i + 2], 16) for i in (0, 2, 4))


class Artwork:
    """The icon's shapes for one pixel size, snapped to the pixel grid."""

    def __init__(self, size):
        s = size
        self.size = s
        snap = lambda u: float(round(u * s))
        # Outline width: one pixel on the small images, a little more on 48.
        self.line = 1.0 if s < 40 else 1.5
        mid = s / 2
        if s > 16:
            # Drive box across the lower part, mirrored about the centre.
            bx0 = snap(0.06)
            self.box = (bx0, snap(0.56), s - bx0, snap(0.93))
            self.lid_bottom = snap(0.69)
            slot_x0 = snap(0.28)
            self.slot = (slot_x0, snap(0.60), s - slot_x0, snap(0.655))
            self.led = (s * 0.80, s * 0.82, s * 0.045)
            # Arrow: shaft and head.
            sx, hx = snap(0.38), snap(0.15)
            top, neck, tip = snap(0.05), snap(0.36), s * 0.70
        else:
            # 16 pixels: placed by hand on the pixel grid so that the lid,
            # slot and LED each keep at least one clear pixel.
            self.box = (1.0, 8.0, 15.0, 15.0)
            self.lid_bottom = 11.0
            self.slot = (5.0, 9.0, 11.0, 10.0)
            self.led = (12.5, 12.5, 1.0)
            sx, hx = 6.0, 1.5
            top, neck, tip = 0.0, 4.5, 10.5
        self.box_r = max(1.0, s * 0.08)
        self.arrow = [(sx, top), (s - sx, top), (s - sx, neck), (s - hx, neck),
                      (mid, tip), (hx, neck), (sx, neck)]
        self.arrow_top, self.arrow_tip = top, tip
        self.shaft = (sx, s - sx)

    def layers(self, flat=False):
        """Layers bottom to top; `flat` gives the 16-colour variant."""
        s = self.size
        x0, y0, x1, y1 = self.box
        lid_bottom = self.lid_bottom
        box_d = lambda x, y: sd_box(x, y, x0, y0, x1, y1, self.box_r)
        lid_d = lambda x, y: max(box_d(x, y), y - lid_bottom)
        sx0, sy0, sx1, sy1 = self.slot
        slot_d = lambda x, y: sd_box(x, y, sx0, sy0, sx1, sy1, 0.5)
        lx, ly, lr = self.led
        led_d = lambda x, y: sd_circle(x, y, lx, ly, lr)
        arrow_d = lambda x, y: sd_polygon(x, y, self.arrow)
        a0, a1 = self.arrow_top, self.arrow_tip
        shx0, shx1 = self.shaft
        # Highlight stripe down the left of the shaft for a rounded look.
        shine_d = lambda x, y: max(arrow_d(x, y) + self.line + 0.2,
                                   x - (shx0 + (shx1 - shx0) * 0.42))
        if flat:
            # In flat colours only a thin stripe down the shaft reads as a
            # highlight, and there is no room for one at 16 pixels; the LED is
            # a square, which a circle this small would be anyway.
            w = 2.0 if s > 40 else 1.0
            shine_d = lambda x, y: (max(shx0 + self.line + 1 - x, x - (shx0 + self.line + 1 + w),
                                        a0 + self.line + 1 - y, y - (self.arrow[2][1] - 1))
                                    if s > 16 else 1.0)
            if s > 16:
                led_d = lambda x, y: max(abs(x - lx), abs(y - ly)) - lr * 0.75
            else:
                led_d = lambda x, y: max(abs(x - 12.0), abs(y - 12.0)) - 1.0

        front = lambda x, y: lerp(hexrgb("b9c1cc"), hexrgb("7d8794"), (y - lid_bottom) / (y1 - lid_bottom))
        lid = lambda x, y: lerp(hexrgb("eef1f5"), hexrgb("d0d6de"), (y - y0) / (lid_bottom - y0))
        green = lambda x, y: lerp(hexrgb("8ee05a"), hexrgb("2f9e33"), (y - a0) / (a1 - a0))
        shine = lambda x, y: lerp(hexrgb("c8f5a8"), hexrgb("8ee05a"), (y - a0) / (a1 - a0))

        return [
            # (distance, fill colour, fill index, outline colour or None, outline index)
            (box_d, front, SILVER, hexrgb("3c4450"), BLACK),
            (lid_d, lid, WHITE, hexrgb("3c4450"), BLACK),
            (slot_d, lambda x, y: hexrgb("2a3038"), GRAY, None, None),
            (led_d, lambda x, y: hexrgb("5cff3c"), LIME,
             hexrgb("1f6b1f") if s > 16 and not flat else None, GREEN),
            (arrow_d, green, GREEN, hexrgb("185c1a"), BLACK),
            (shine_d, shine, LIME, None, None),
        ]


# -------------------------------------------------------------- rendering

def render_rgba(art):
    """Anti-aliased straight-alpha RGBA pixels, rows top to bottom."""
    s = art.size
    layers = art.layers()
    out = []
    for py in range(s):
        row = []
        for px in range(s):
            x, y = px + 0.5, py + 0.5
            r = g = b = a = 0.0
            for dist, fill, _, outline, _ in layers:
                d = dist(x, y)
                cover = max(0.0, min(1.0, 0.5 - d))
                if cover <= 0.0:
                    continue
                col = fill(x, y)
                if outline is not None:
                    # Blend fill into the outline colour across the line's inner edge.
                    t = max(0.0, min(1.0, -d - art.line + 0.5))
                    col = lerp(outline, col, t)
                # Porter-Duff "over" with straight alpha.
                na = cover + a * (1 - cover)
                r = (col[0] * cover + r * a * (1 - cover)) / na
                g = (col[1] * cover + g * a * (1 - cover)) / na
                b = (col[2] * cover + b * a * (1 - cover)) / na
                a = na
            row.append((int(round(r)), int(round(g)), int(round(b)), int(round(a * 255))))
        out.append(row)
    return out


def render_vga(art):
    """Flat 16-colour indices and an opacity map, sampled at pixel centres."""
    s = art.size
    layers = art.layers(flat=True)
    idx, opaque = [], []
    for py in range(s):
        irow, orow = [], []
        for px in range(s):
            x, y = px + 0.5, py + 0.5
            c, o = BLACK, False
            for dist, _, fill_i, outline, outline_i in layers:
                d = dist(x, y)
                if d >= 0:
                    continue
                o = True
                c = outline_i if outline is not None and d > -art.line else fill_i
            irow.append(c)
            orow.append(o)
        idx.append(irow)
        opaque.append(orow)
    return idx, opaque


def median_cut(colours, count):
    """Deterministic median-cut palette of at most `count` colours."""
    boxes = [sorted(colours)]
    while len(boxes) < count:
        best, best_range, best_ch = None, -1, 0
        for i, box in enumerate(boxes):
            if len(box) < 2:
                continue
            for ch in range(3):
                vals = [c[ch] for c in box]
                rng = max(vals) - min(vals)
                if rng > best_range:
                    best, best_range, best_ch = i, rng, ch
        if best is None or best_range == 0:
            break
        box = sorted(boxes[best], key=lambda c: (c[best_ch], c))
        half = len(box) // 2
        boxes[best:best + 1] = [box[:half], box[half:]]
    pal = []
    for box in boxes:
        n = len(box)
        pal.append(tuple(int(round(sum(c[ch] for c in box) / n)) for ch in range(3)))
    return pal


def nearest(pal, c, start=0):
    best, best_d = start, None
    for i in range(start, len(pal)):
        p = pal[i]
        d = (p[0] - c[0]) ** 2 * 3 + (p[1] - c[1]) ** 2 * 4 + (p[2] - c[2]) ** 2 * 2
        if best_d is None or d < best_d:
            best, best_d = i, d
    return best


def indexed_from_rgba(rgba):
    """8-bit version: hard outer edge at half alpha, adaptive palette.

    Index 0 is black and is used only for transparent pixels, whose colour bits
    must be zero so the AND/XOR draw leaves the background untouched.
    """
    opaque = [[p[3] >= 128 for p in row] for row in rgba]
    used = sorted({p[:3] for row, orow in zip(rgba, opaque) for p, o in zip(row, orow) if o})
    pal = [(0, 0, 0)] + (used if len(used) <= 255 else median_cut(used, 255))
    cache = {}
    idx = []
    for row, orow in zip(rgba, opaque):
        irow = []
        for p, o in zip(row, orow):
            if not o:
                irow.append(0)
                continue
            c = p[:3]
            if c not in cache:
                cache[c] = nearest(pal, c, start=1)
            irow.append(cache[c])
        idx.append(irow)
    return pal + [(0, 0, 0)] * (256 - len(pal)), idx, opaque


# ------------------------------------------------------------ DIB encoding

def stride(bits):
    return (bits + 31) // 32 * 4


def and_mask(opaque):
    s = len(opaque)
    rowlen = stride(s)
    out = bytearray()
    for row in reversed(opaque):  # DIB rows run bottom-up
        line = bytearray(rowlen)
        for x, o in enumerate(row):
            if not o:
                line[x >> 3] |= 0x80 >> (x & 7)
        out += line
    return bytes(out)


def dib(size, bpp, palette, pixel_rows, opaque):
    if bpp == 32:
        xor = bytearray()
        for row in reversed(pixel_rows):
            for r, g, b, a in row:
                xor += bytes((b, g, r, a)) if a else b"\0\0\0\0"
    else:
        xor = bytearray()
        rowlen = stride(size * bpp)
        for row in reversed(pixel_rows):
            line = bytearray(rowlen)
            for x, i in enumerate(row):
                if bpp == 8:
                    line[x] = i
                else:
                    line[x >> 1] |= i << (4 if x % 2 == 0 else 0)
            xor += line
    mask = and_mask(opaque)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bpp, 0,
                         len(xor) + len(mask), 0, 0, 0, 0)
    pal = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    return header + pal + bytes(xor) + mask


def build_images():
    images = []
    rgba_cache = {}
    for size, bpp in IMAGES:
        art = Artwork(size)
        if bpp == 4:
            idx, opaque = render_vga(art)
            data = dib(size, 4, VGA16, idx, opaque)
        else:
            if size not in rgba_cache:
                rgba_cache[size] = render_rgba(art)
            rgba = rgba_cache[size]
            if bpp == 8:
                pal, idx, opaque = indexed_from_rgba(rgba)
                data = dib(size, 8, pal, idx, opaque)
            else:
                opaque = [[p[3] > 0 for p in row] for row in rgba]
                data = dib(size, 32, [], rgba, opaque)
        images.append((size, bpp, data))
    return images


def ico_bytes(images):
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, bpp, data in images:
        colours = 16 if bpp == 4 else 0
        out += struct.pack("<BBBBHHII", size % 256, size % 256, colours, 0, 1, bpp,
                           len(data), offset)
        offset += len(data)
    return out + b"".join(d for _, _, d in images)


# --------------------------------------------------------------- previews

def write_png(path, rows):
    """Writes RGBA rows as a PNG (for looking at the artwork only)."""
    import zlib
    h, w = len(rows), len(rows[0])
    raw = b"".join(b"\0" + b"".join(bytes(p) for p in row) for row in rows)

    def chunk(tag, body):
        return (struct.pack(">I", len(body)) + tag + body +
                struct.pack(">I", zlib.crc32(tag + body) & 0xFFFFFFFF))

    png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0)) +
           chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))
    with open(path, "wb") as f:
        f.write(png)


def decode_dib(data):
    """Decodes one of our DIBs back to RGBA rows, as Windows would draw it."""
    _, w, h2, _, bpp = struct.unpack_from("<IiiHH", data)
    h = h2 // 2
    pos = 40
    pal = []
    if bpp <= 8:
        for i in range(1 << bpp):
            b, g, r, _ = data[pos + 4 * i:pos + 4 * i + 4]
            pal.append((r, g, b))
        pos += 4 << bpp
    xs = stride(w * bpp)
    ms = stride(w)
    mask_pos = pos + xs * h
    rows = []
    for y in range(h):
        src = h - 1 - y
        line = data[pos + src * xs:pos + (src + 1) * xs]
        mline = data[mask_pos + src * ms:mask_pos + (src + 1) * ms]
        row = []
        for x in range(w):
            transparent = mline[x >> 3] & (0x80 >> (x & 7))
            if bpp == 32:
                b, g, r, a = line[4 * x:4 * x + 4]
                row.append((r, g, b, a))
                continue
            if bpp == 8:
                i = line[x]
            else:
                i = (line[x >> 1] >> (4 if x % 2 == 0 else 0)) & 15
            row.append((0, 0, 0, 0) if transparent else pal[i] + (255,))
        rows.append(row)
    return rows


def write_previews(images, directory):
    """One sheet per image, enlarged 8x over a checkerboard, plus 1:1 copies."""
    os.makedirs(directory, exist_ok=True)
    for size, bpp, data in images:
        rows = decode_dib(data)
        write_png(os.path.join(directory, "icon-%d-%d.png" % (size, bpp)), rows)
        scale = 8
        big = []
        for y in range(size * scale):
            row = []
            for x in range(size * scale):
                r, g, b, a = rows[y // scale][x // scale]
                bg = 230 if ((x // 8) + (y // 8)) % 2 else 200
                row.append(tuple(int(round(c * a / 255 + bg * (1 - a / 255))) for c in (r, g, b)) + (255,))
            big.append(row)
        write_png(os.path.join(directory, "icon-%d-%d-x8.png" % (size, bpp)), big)


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    out = os.path.join(here, "..", "resources", "app.ico")
    preview = None
    args = list(argv)
    while args:
        a = args.pop(0)
        if a == "--preview":
            preview = args.pop(0)
        else:
            out = a
    images = build_images()
    data = ico_bytes(images)
    with open(out, "wb") as f:
        f.write(data)
    print("%s: %d bytes, %d images" % (os.path.normpath(out), len(data), len(images)))
    if preview:
        write_previews(images, preview)


if __name__ == "__main__":
    main(sys.argv[1:])
