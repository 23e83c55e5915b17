#!/usr/bin/env python3
"""Draw kelvor's icons and write them as multi-resolution Windows .ico files.

Usage: python3 scripts/make_icons.py OUTPUT_DIR
Writes OUTPUT_DIR/kelvor.ico, OUTPUT_DIR/stopped.ico and OUTPUT_DIR/offline.ico.

kelvor.ico, the proxy running: a bold white lowercase "k" on a deep teal
rounded square.
stopped.ico, the proxy given up: the same "k", greyed, with a red stop mark
(a white bar on a red disc) in the top right corner, set off from the
letter by a ring of the grey, so that it reads at 16 px as well.
offline.ico, the proxy serving from its cache alone: the white "k" on a
slate-indigo rounded square, with a plain amber disc where the stop mark
sits, set off by a ring of the indigo: another colour and another mark, so
that neither is told from the others by colour alone.
Each file holds its picture nine times, in this order:
  16, 32 px at 4 bpp (VGA palette) and 16, 32, 48 px at 8 bpp (own palette),
  16, 32, 48 px at 32 bpp BGRA -- all DIBs with an AND mask --
  and 256 px as a 32-bit PNG.
Every size is rendered from the vector shapes below, so the small tray
sizes stay crisp instead of being blurred copies of the big one.
Standard library only.
"""
import os
import struct
import sys
import zlib

# Shapes live on a 16-unit grid so that at 16 px every straight edge and
# every stroke end falls on a pixel boundary; the thinnest stroke is 2 units.
GRID = 16.0
WHITE = (255, 255, 255)
STOP_RED = (204, 36, 36)
OFFLINE_AMBER = (244, 170, 32)


class Look:
    """The colours of one icon: a vertical gradient, the glyph, and the corner mark if any: the
    disc's colour, and whether the white bar crosses it."""

    def __init__(self, top, bottom, glyph, mark=None, bar=False):
        self.top = top
        self.bottom = bottom
        self.glyph = glyph
        self.mark = mark
        self.bar = bar


RUNNING = Look((28, 146, 156), (8, 88, 102), WHITE)
# Greyed but not faded: the tray shows it on light and dark taskbars alike.
STOPPED = Look((156, 160, 162), (100, 104, 106), (236, 236, 236), STOP_RED, True)
OFFLINE = Look((70, 84, 156), (34, 42, 100), WHITE, OFFLINE_AMBER)

VGA = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
       (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
       (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
       (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]


def rounded_square(x0, y0, x1, y1, r):
    def inside(x, y):
        dx = max(x0 + r - x, 0.0, x - (x1 - r))
        dy = max(y0 + r - y, 0.0, y - (y1 - r))
        return x0 <= x <= x1 and y0 <= y <= y1 and dx * dx + dy * dy <= r * r
    return inside


def box(x0, y0, x1, y1):
    return lambda x, y: x0 <= x <= x1 and y0 <= y <= y1


def slant(x_left, y0, y1, width, slope, x_min):
    """A band leaning at `slope` (x per y), `width` wide along each row.

    Measuring the width along rows and cutting the ends flat puts the stroke
    ends, and the joint between leg and arm, on whole pixels at 16 px, so
    only the slanted edges themselves are anti-aliased there."""
    def inside(x, y):
        left = x_left + slope * (y - y0)
        return y0 <= y <= y1 and x >= x_min and left <= x <= left + width
    return inside


def disc(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


BACKGROUND = rounded_square(0.0, 0.0, 16.0, 16.0, 3.5)
GLYPH = [
    box(4.0, 2.0, 6.0, 14.0),                                # stem
    slant(10.0, 6.0, 14.0, 3.0, -1.0, 4.0),                  # arm
    slant(6.0, 10.0, 14.0, 3.0, 1.0, 4.0),                   # leg, from the arm
]
# The stop mark sits top right, where the "k" has only the end of its arm, so
# the letter still reads. Its bar is two units high on whole pixels at 16 px;
# the ring, one unit wide, keeps the mark off the arm.
STOP_DISC = disc(12.0, 4.0, 4.0)
STOP_RING = disc(12.0, 4.0, 5.0)
STOP_BAR = box(9.0, 3.0, 15.0, 5.0)


def mix(a, b, t):
    return tuple(round(p + (q - p) * t) for p, q in zip(a, b))


def mix_exact(a, b, t):
    return tuple(p + (q - p) * t for p, q in zip(a, b))


def colour_at(look, x, y):
    """The colour of the picture at one point, or None where it is transparent."""
    if look.mark and STOP_DISC(x, y):
        return WHITE if look.bar and STOP_BAR(x, y) else look.mark
    if not BACKGROUND(x, y):
        return None
    shade = mix_exact(look.top, look.bottom, y / GRID)
    if look.mark and STOP_RING(x, y):
        return shade
    return look.glyph if any(part(x, y) for part in GLYPH) else shade


def render(size, look):
    """Supersampled RGBA rows (top row first), colours not premultiplied."""
    ss = max(4, 128 // size)
    step = GRID / (size * ss)
    offsets = [(i + 0.5) * step for i in range(ss)]
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            hits = 0
            total = [0.0, 0.0, 0.0]
            for oy in offsets:
                y = py * GRID / size + oy
                for ox in offsets:
                    colour = colour_at(look, px * GRID / size + ox, y)
                    if colour is None:
                        continue
                    hits += 1
                    for i in range(3):
                        total[i] += colour[i]
            if hits == 0:
                row.append((0, 0, 0, 0))
                continue
            rgb = tuple(round(c / hits) for c in total)
            row.append(rgb + (round(255 * hits / (ss * ss)),))
        rows.append(row)
    return rows


def build_palette256(look):
    shades = [mix(look.top, look.bottom, g / 7) for g in range(8)]
    colours = []
    for shade in shades:
        for w in range(8):  # edge pixels where the glyph meets the gradient
            colours.append(mix(shade, look.glyph, w / 8))
    if look.mark:
        for w in range(8):  # where the bar meets the disc, and the disc the ring
            colours.append(mix(look.mark, WHITE, w / 8))
            colours += [mix(look.mark, shade, w / 8) for shade in shades]
    colours += [(v * 17,) * 3 for v in range(16)]
    colours = list(dict.fromkeys(colours))
    return colours + [(0, 0, 0)] * (256 - len(colours))


def nearest(palette):
    cache = {}

    def index(rgb):
        if rgb not in cache:
            cache[rgb] = min(range(len(palette)), key=lambda i: sum(
                (a - b) ** 2 for a, b in zip(rgb, palette[i])))
        return cache[rgb]
    return index


def pad4(data):
    return data + b"\0" * (-len(data) % 4)


def and_mask(rows):
    # Windows falls back on the mask wherever alpha is not used, so a pixel
    # counts as transparent once it is less than half covered.
    out = b""
    for row in reversed(rows):
        bits = bytearray((len(row) + 7) // 8)
        for x, p in enumerate(row):
            if p[3] < 128:
                bits[x // 8] |= 0x80 >> (x % 8)
        out += pad4(bytes(bits))
    return out


def dib(rows, bpp, palette=None):
    size = len(rows)
    if bpp == 32:
        xor = b"".join(bytes(b for r, g, bl, a in row for b in (bl, g, r, a))
                       for row in reversed(rows))
        colour_table = b""
    else:
        index = nearest(palette)
        xor = b""
        for row in reversed(rows):
            idx = [index(p[:3]) if p[3] >= 128 else 0 for p in row]
            if bpp == 4:
                idx += [0] * (len(idx) % 2)
                packed = bytes(idx[i] << 4 | idx[i + 1]
                               for i in range(0, len(idx), 2))
            else:
                packed = bytes(idx)
            xor += pad4(packed)
        colour_table = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    mask = and_mask(rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bpp, 0,
                         len(xor) + len(mask), 0, 0, 0, 0)
    return header + colour_table + xor + mask


def png(rows):
    def chunk(kind, data):
        body = kind + data
        return (struct.pack(">I", len(data)) + body
                + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF))
    size = len(rows)
    raw = b"".join(b"\0" + bytes(v for p in row for v in p) for row in rows)
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def build_icon(look):
    renders = {}

    def picture(size):
        if size not in renders:
            renders[size] = render(size, look)
        return renders[size]

    palette256 = build_palette256(look)
    images = []  # (size, bpp, colour count, bytes)
    for size in (16, 32):
        images.append((size, 4, 16, dib(picture(size), 4, VGA)))
    for size in (16, 32, 48):
        images.append((size, 8, 0, dib(picture(size), 8, palette256)))
    for size in (16, 32, 48):
        images.append((size, 32, 0, dib(picture(size), 32)))
    images.append((256, 32, 0, png(picture(256))))

    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    body = b""
    for size, bpp, colours, data in images:
        directory += struct.pack("<BBBBHHII", size % 256, size % 256, colours,
                                 0, 1, bpp, len(data), offset)
        offset += len(data)
        body += data
    return directory + body


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_icons.py OUTPUT_DIR")
    for name, look in (("kelvor.ico", RUNNING), ("stopped.ico", STOPPED), ("offline.ico", OFFLINE)):
        with open(os.path.join(sys.argv[1], name), "wb") as out:
            out.write(build_icon(look))


if __name__ == "__main__":
    main()
