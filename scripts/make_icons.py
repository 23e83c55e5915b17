#!/usr/bin/env python3
"""Draw kelvor's icon and write it as a multi-resolution Windows .ico file.

Usage: python3 scripts/make_icons.py OUTPUT.ico

The picture is a bold white lowercase "k" on a deep teal rounded square.
The file holds it nine times, in this order:
  16, 32 px at 4 bpp (VGA palette) and 16, 32, 48 px at 8 bpp (own palette),
  16, 32, 48 px at 32 bpp BGRA -- all DIBs with an AND mask --
  and 256 px as a 32-bit PNG.
Every size is rendered from the vector shapes below, so the small tray
sizes stay crisp instead of being blurred copies of the big one.
Standard library only.
"""
import struct
import sys
import zlib

# Shapes live on a 16-unit grid so that at 16 px every straight edge and
# every stroke end falls on a pixel boundary; the thinnest stroke is 2 units.
GRID = 16.0
TEAL_TOP = (28, 146, 156)
TEAL_BOTTOM = (8, 88, 102)
WHITE = (255, 255, 255)

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


BACKGROUND = rounded_square(0.0, 0.0, 16.0, 16.0, 3.5)
GLYPH = [
    box(4.0, 2.0, 6.0, 14.0),                                # stem
    slant(10.0, 6.0, 14.0, 3.0, -1.0, 4.0),                  # arm
    slant(6.0, 10.0, 14.0, 3.0, 1.0, 4.0),                   # leg, from the arm
]


def mix(a, b, t):
    return tuple(round(p + (q - p) * t) for p, q in zip(a, b))


def render(size):
    """Supersampled RGBA rows (top row first), colours not premultiplied."""
    ss = max(4, 128 // size)
    step = GRID / (size * ss)
    offsets = [(i + 0.5) * step for i in range(ss)]
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            hits = glyph_hits = 0
            shade = 0.0
            for oy in offsets:
                y = py * GRID / size + oy
                for ox in offsets:
                    x = px * GRID / size + ox
                    if not BACKGROUND(x, y):
                        continue
                    hits += 1
                    if any(part(x, y) for part in GLYPH):
                        glyph_hits += 1
                    else:
                        shade += y / GRID
            if hits == 0:
                row.append((0, 0, 0, 0))
                continue
            teal = hits - glyph_hits
            base = mix(TEAL_TOP, TEAL_BOTTOM, shade / teal) if teal else WHITE
            rgb = mix(base, WHITE, glyph_hits / hits)
            row.append(rgb + (round(255 * hits / (ss * ss)),))
        rows.append(row)
    return rows


def build_palette256():
    colours = []
    for g in range(8):
        shade = mix(TEAL_TOP, TEAL_BOTTOM, g / 7)
        for w in range(8):  # edge pixels where the glyph meets the teal
            colours.append(mix(shade, WHITE, w / 8))
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


def build_icon():
    renders = {}

    def picture(size):
        if size not in renders:
            renders[size] = render(size)
        return renders[size]

    palette256 = build_palette256()
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
        sys.exit("usage: make_icons.py OUTPUT.ico")
    with open(sys.argv[1], "wb") as out:
        out.write(build_icon())


if __name__ == "__main__":
    main()
