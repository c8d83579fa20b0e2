#!/usr/bin/env python3
"""Draws KelTup's images and writes them in the formats the front-ends load.

- dromoff.ico / dromon.ico: the tray icon, 32 x 32 in the 16-colour palette (empty inbox /
  messages waiting), with PNG copies for the Linux desktop.
- about.bmp: the About picture, 90 x 31, 24-bit, with a PNG copy.
- wizard.bmp: the installers' welcome and finish picture, 164 x 314, 24-bit: the bubble on a
  navy-to-teal field with the name under it.
- hicolor/: the application icon for the Linux desktop, the empty-inbox bubble drawn as shapes:
  keltup.svg, and N/keltup.png rendered from the same shapes at each size the desktop asks for.

Run it from anywhere; it writes beside itself. Only the standard library is used.
"""
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))

# The 16-colour palette of the icons.
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, NAVY, SILVER, GREY, RED, YELLOW, WHITE, MAROON = 0, 4, 7, 8, 9, 11, 15, 1
CLEAR = None


def bubble(lit):
    """A speech bubble; lit adds colour, text lines and a red badge."""
    size = 32
    px = [[CLEAR] * size for _ in range(size)]
    cx, cy, rx, ry = 16.0, 12.5, 14.5, 10.5

    def inside(x, y, shrink=0.0):
        return ((x + 0.5 - cx) / (rx - shrink)) ** 2 + ((y + 0.5 - cy) / (ry - shrink)) ** 2 <= 1.0

    def in_tail(x, y):
        # A tail from the bubble's lower left towards the bottom-left corner.
        if not 19 <= y <= 29:
            return False
        t = (y - 19) / 10.0
        return 4 + 1 * t <= x <= 13 - 8 * t

    fill = YELLOW if lit else SILVER
    for y in range(size):
        for x in range(size):
            if inside(x, y) or in_tail(x, y):
                px[y][x] = fill
    # Outline: a filled pixel with a clear neighbour.
    out = [row[:] for row in px]
    for y in range(size):
        for x in range(size):
            if px[y][x] is CLEAR:
                continue
            for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1)):
                nx, ny = x + dx, y + dy
                if not (0 <= nx < size and 0 <= ny < size) or px[ny][nx] is CLEAR:
                    out[y][x] = NAVY if lit else GREY
                    break
    px = out
    # Lines of text inside the bubble.
    ink = NAVY if lit else GREY
    for y, x0, x1 in ((9, 7, 24), (13, 6, 25), (17, 8, 20)):
        for x in range(x0, x1 + 1):
            if inside(x, y, 2.0):
                px[y][x] = ink
    if lit:
        # A red badge with a white dot at the top right.
        bx, by, br = 26.0, 5.5, 5.2
        for y in range(size):
            for x in range(size):
                d = ((x + 0.5 - bx) ** 2 + (y + 0.5 - by) ** 2) ** 0.5
                if d <= br:
                    px[y][x] = MAROON if d > br - 1.0 else RED
        for y in range(3, 7):
            px[y][26] = WHITE
        px[8][26] = WHITE
    return px


def write_ico(path, px):
    size = len(px)
    xor = b""
    for y in reversed(range(size)):
        row = bytearray()
        for x in range(0, size, 2):
            a = px[y][x] if px[y][x] is not CLEAR else 0
            b = px[y][x + 1] if px[y][x + 1] is not CLEAR else 0
            row.append((a << 4) | b)
        xor += bytes(row)
    mask = b""
    for y in reversed(range(size)):
        bits = 0
        for x in range(size):
            bits = (bits << 1) | (1 if px[y][x] is CLEAR else 0)
        mask += struct.pack(">I", bits)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    image = header + palette + xor + mask
    icondir = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(image), 6 + 16)
    with open(path, "wb") as f:
        f.write(icondir + entry + image)


def write_png(path, rgba_rows):
    height, width = len(rgba_rows), len(rgba_rows[0])
    raw = b"".join(b"\x00" + b"".join(struct.pack("BBBB", *p) for p in row) for row in rgba_rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


def icon_rgba(px):
    return [[(0, 0, 0, 0) if c is CLEAR else PALETTE[c] + (255,) for c in row] for row in px]


# 5 x 7 glyphs for the About picture's name.
GLYPHS = {
    "K": ["10001", "10010", "10100", "11000", "10100", "10010", "10001"],
    "e": ["00000", "00000", "01110", "10001", "11111", "10000", "01110"],
    "l": ["01100", "00100", "00100", "00100", "00100", "00100", "01110"],
    "T": ["11111", "00100", "00100", "00100", "00100", "00100", "00100"],
    "u": ["00000", "00000", "10001", "10001", "10001", "10011", "01101"],
    "p": ["11110", "10001", "10001", "10001", "11110", "10000", "10000"],
}


def about_picture():
    width, height = 90, 31
    rows = []
    for y in range(height):
        row = []
        for x in range(width):
            t = x / (width - 1)
            row.append((int(0 + 0 * t), int(40 + 88 * t), int(128 + 0 * t)))
        rows.append(row)
    # The lit tray bubble, scaled to fit the height, at the left.
    icon = bubble(True)
    for y in range(29):
        for x in range(20):
            c = icon[int(y * 32 / 29)][int(x * 32 / 20)]
            if c is not CLEAR:
                rows[1 + y][2 + x] = PALETTE[c]
    # The name in white, each glyph pixel drawn 2 x 2, with a dark shadow.
    x0, y0 = 24, 8
    for shadow, colour in ((1, (0, 20, 60)), (0, (255, 255, 255))):
        x = x0
        for ch in "KelTup":
            g = GLYPHS[ch]
            drop = 4 if ch == "p" else 0  # the descender goes below the line
            for gy in range(7):
                for gx in range(5):
                    if g[gy][gx] == "1":
                        for dy in range(2):
                            for dx in range(2):
                                yy, xx = y0 + drop + gy * 2 + dy + shadow, x + gx * 2 + dx + shadow
                                if 0 <= yy < height and 0 <= xx < width:
                                    rows[yy][xx] = colour
            x += 11
    return rows


def write_bmp24(path, rows):
    height, width = len(rows), len(rows[0])
    stride = (width * 3 + 3) & ~3
    data = b""
    for y in reversed(range(height)):
        line = b"".join(struct.pack("BBB", b, g, r) for (r, g, b) in rows[y])
        data += line + b"\x00" * (stride - len(line))
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    filehdr = struct.pack("<2sIHHI", b"BM", 14 + 40 + len(data), 0, 0, 14 + 40)
    with open(path, "wb") as f:
        f.write(filehdr + info + data)


# The empty-inbox bubble as shapes on the 32 x 32 grid of the tray icon: the outline colour fills
# the outer ellipse and the tail widened by one unit, the fill colour the inner ellipse and the
# tail, and three lines of text sit on top.
APP_ICON_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)
ELLIPSE = (16.0, 12.5, 13.5, 9.5)  # centre x, centre y, radii of the inner ellipse
TAIL = ((4.5, 18.0), (13.0, 18.0), (5.5, 28.5))
TEXT_LINES = ((7, 9, 18), (6, 13, 20), (8, 17, 13))  # x, y, width; one unit high
ICON_FILL, ICON_LINE = PALETTE[SILVER], PALETTE[GREY]


def in_ellipse(x, y, grow):
    cx, cy, rx, ry = ELLIPSE
    return ((x - cx) / (rx + grow)) ** 2 + ((y - cy) / (ry + grow)) ** 2 <= 1.0


def in_triangle(x, y):
    (ax, ay), (bx, by), (cx, cy) = TAIL
    d1 = (x - bx) * (ay - by) - (ax - bx) * (y - by)
    d2 = (x - cx) * (by - cy) - (bx - cx) * (y - cy)
    d3 = (x - ax) * (cy - ay) - (cx - ax) * (y - ay)
    return not ((d1 < 0 or d2 < 0 or d3 < 0) and (d1 > 0 or d2 > 0 or d3 > 0))


def near_tail(x, y, width):
    """Inside the tail or within width of its edges (a stroke with round joins)."""
    if in_triangle(x, y):
        return True
    for i in range(3):
        (ax, ay), (bx, by) = TAIL[i], TAIL[(i + 1) % 3]
        dx, dy = bx - ax, by - ay
        t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
        if (x - ax - t * dx) ** 2 + (y - ay - t * dy) ** 2 <= width * width:
            return True
    return False


def app_icon_colour(x, y):
    for lx, ly, lw in TEXT_LINES:
        if lx <= x <= lx + lw and ly <= y <= ly + 1:
            return ICON_LINE
    if in_ellipse(x, y, 0.0) or in_triangle(x, y):
        return ICON_FILL
    if in_ellipse(x, y, 1.0) or near_tail(x, y, 1.0):
        return ICON_LINE
    return None


def app_icon_rgba(size, samples=4):
    """The shapes at size x size pixels, each pixel the mean of samples x samples points."""
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = n = 0
            for sy in range(samples):
                for sx in range(samples):
                    c = app_icon_colour((px + (sx + 0.5) / samples) * 32.0 / size,
                                        (py + (sy + 0.5) / samples) * 32.0 / size)
                    if c is not None:
                        r, g, b, n = r + c[0], g + c[1], b + c[2], n + 1
            if n == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append((r // n, g // n, b // n, (255 * n + samples * samples // 2) // (samples * samples)))
        rows.append(row)
    return rows


def app_icon_svg():
    cx, cy, rx, ry = ELLIPSE
    colour = lambda c: "#%02x%02x%02x" % c
    tail = " ".join("%g,%g" % p for p in TAIL)
    lines = "".join('  <rect x="%d" y="%d" width="%d" height="1" fill="%s"/>\n' % (x, y, w, colour(ICON_LINE))
                    for x, y, w in TEXT_LINES)
    return ('<?xml version="1.0" encoding="UTF-8"?>\n'
            '<svg xmlns="http://www.w3.org/2000/svg" width="32" height="32" viewBox="0 0 32 32">\n'
            '  <title>KelTup</title>\n'
            f'  <ellipse cx="{cx:g}" cy="{cy:g}" rx="{rx + 1:g}" ry="{ry + 1:g}" fill="{colour(ICON_LINE)}"/>\n'
            f'  <polygon points="{tail}" fill="{colour(ICON_LINE)}" stroke="{colour(ICON_LINE)}" '
            'stroke-width="2" stroke-linejoin="round"/>\n'
            f'  <ellipse cx="{cx:g}" cy="{cy:g}" rx="{rx:g}" ry="{ry:g}" fill="{colour(ICON_FILL)}"/>\n'
            f'  <polygon points="{tail}" fill="{colour(ICON_FILL)}"/>\n'
            + lines + '</svg>\n')


def write_app_icons():
    folder = os.path.join(HERE, "hicolor")
    for size in APP_ICON_SIZES:
        os.makedirs(os.path.join(folder, str(size)), exist_ok=True)
        write_png(os.path.join(folder, str(size), "keltup.png"), app_icon_rgba(size))
    with open(os.path.join(folder, "keltup.svg"), "w") as f:
        f.write(app_icon_svg())


def wizard_picture():
    """The installers' side picture: a field darkening downwards, the bubble, the name."""
    width, height = 164, 314
    top, bottom = (0, 0, 128), (0, 96, 128)
    rows = []
    for y in range(height):
        t = y / (height - 1)
        rows.append([tuple(int(a + (b - a) * t) for a, b in zip(top, bottom))] * width)
    rows = [list(row) for row in rows]
    size, left, upper = 112, (width - 112) // 2, 48
    for y, line in enumerate(app_icon_rgba(size)):
        for x, (r, g, b, a) in enumerate(line):
            under = rows[upper + y][left + x]
            rows[upper + y][left + x] = tuple(
                (c * a + u * (255 - a)) // 255 for c, u in zip((r, g, b), under))
    # The name in the About picture's glyphs, each dot 3 x 3 pixels, white.
    name, dot = "KelTup", 3
    text_width = len(name) * 6 * dot - dot
    x0, y0 = (width - text_width) // 2, upper + size + 24
    for i, ch in enumerate(name):
        for gy, bits in enumerate(GLYPHS[ch]):
            for gx, bit in enumerate(bits):
                if bit == "1":
                    for dy in range(dot):
                        for dx in range(dot):
                            rows[y0 + gy * dot + dy][x0 + (i * 6 + gx) * dot + dx] = (255, 255, 255)
    return rows


def main():
    for name, lit in (("dromoff", False), ("dromon", True)):
        px = bubble(lit)
        write_ico(os.path.join(HERE, name + ".ico"), px)
        write_png(os.path.join(HERE, name + ".png"), icon_rgba(px))
    pic = about_picture()
    write_bmp24(os.path.join(HERE, "about.bmp"), pic)
    write_png(os.path.join(HERE, "about.png"), [[p + (255,) for p in row] for row in pic])
    write_bmp24(os.path.join(HERE, "wizard.bmp"), wizard_picture())
    write_app_icons()


if __name__ == "__main__":
    main()
