#!/usr/bin/env python3
"""Generates the panel's pictures and sound from nothing but arithmetic, reproducibly.

    gen_assets.py OUTDIR

Writes logo.bmp (bitmap 108), tile.bmp (bitmap 114, the background tile), program.ico
(icon 9001), glass.cur (cursor 111), glass.wav (the glass sound 1009) and panel.dlg (dialog
template 1005, written here because the resource compiler would upper-case its class names).
The same input gives the same bytes on every run.
"""
import math
import os
import struct
import sys


class Lcg:
    """A small deterministic random source (32-bit linear congruential)."""

    def __init__(self, start):
        self.state = start & 0xFFFFFFFF

    def next(self):
        self.state = (self.state * 1664525 + 1013904223) & 0xFFFFFFFF
        return self.state >> 8

    def unit(self):
        return self.next() / float(1 << 24)


def bmp_file(info_and_bits):
    """A .bmp file around a packed DIB (BITMAPINFOHEADER, colour table, bits)."""
    header_size = struct.unpack_from("<I", info_and_bits, 0)[0]
    colors = struct.unpack_from("<I", info_and_bits, 32)[0]
    bit_count = struct.unpack_from("<H", info_and_bits, 14)[0]
    if colors == 0 and bit_count <= 8:
        colors = 1 << bit_count
    offset = 14 + header_size + 4 * colors
    return struct.pack("<2sIHHI", b"BM", 14 + len(info_and_bits), 0, 0, offset) + info_and_bits


def info_header(width, height, bit_count, colors=0, image_size=0):
    return struct.pack("<IiiHHIIiiII", 40, width, height, 1, bit_count, 0, image_size, 2835, 2835,
                       colors, 0)


def dib8(width, height, palette, pixel):
    """8-bit packed DIB; pixel(x, y) gives the palette index, y counted from the top."""
    stride = (width + 3) & ~3
    rows = []
    for y in range(height - 1, -1, -1):
        row = bytes(pixel(x, y) for x in range(width))
        rows.append(row + b"\0" * (stride - width))
    table = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in palette)
    return info_header(width, height, 8, 256, stride * height) + table + b"".join(rows)


def dib24(width, height, pixel, header_height=None):
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in range(height - 1, -1, -1):
        row = bytearray()
        for x in range(width):
            r, g, b = pixel(x, y)
            row += bytes((b, g, r))
        rows.append(bytes(row) + b"\0" * (stride - len(row)))
    h = header_height if header_height is not None else height
    return info_header(width, h, 24, 0, stride * height) + b"".join(rows)


def clamp(v, lo=0, hi=255):
    return lo if v < lo else hi if v > hi else int(v)


def background_tile():
    """160 x 100, 8 bits: dark brushed metal that repeats seamlessly in both directions."""
    width, height = 160, 100
    palette = []
    for i in range(256):
        t = i / 255.0
        palette.append((clamp(18 + 58 * t), clamp(22 + 64 * t), clamp(30 + 78 * t)))
    rnd = Lcg(114)
    streak = [rnd.unit() - 0.5 for _ in range(height)]
    # Smooth the row streaks with wrap-around so the top and bottom rows meet.
    rows = [sum(streak[(y + k) % height] * w for k, w in ((-2, 1), (-1, 2), (0, 3), (1, 2), (2, 1)))
            / 9.0 for y in range(height)]
    grain = [[rnd.unit() - 0.5 for _ in range(width)] for _ in range(height)]

    def pixel(x, y):
        wave = math.sin(2 * math.pi * (x / width * 2 + y / height)) * 0.5 \
            + math.sin(2 * math.pi * (x / width * 3 - y / height * 2)) * 0.3
        v = 120 + rows[y] * 150 + wave * 14 + grain[y][x] * 22
        return clamp(v)

    return dib8(width, height, palette, pixel)


def logo():
    """32 x 24, 24 bits: a V drawn as two bevelled strokes over a sine wave on dark glass."""
    width, height = 32, 24

    def stroke_distance(px, py, ax, ay, bx, by):
        dx, dy = bx - ax, by - ay
        t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
        return math.hypot(px - (ax + t * dx), py - (ay + t * dy))

    def pixel(x, y):
        cx, cy = x + 0.5, y + 0.5
        edge = min(cx, cy, width - cx, height - cy)
        if edge < 1.0:
            return (96, 104, 120)
        r, g, b = 16, 20, 30
        wave_y = 15 + 4 * math.sin((cx - 2) / (width - 4) * 2 * math.pi)
        if abs(cy - wave_y) < 0.9:
            r, g, b = 40, 150, 200
        d = min(stroke_distance(cx, cy, 7, 4, 16, 20), stroke_distance(cx, cy, 25, 4, 16, 20))
        if d < 2.2:
            shade = 1.0 - d / 2.2 * 0.45
            r, g, b = clamp(250 * shade), clamp(210 * shade), clamp(60 * shade)
        return (r, g, b)

    return dib24(width, height, pixel)


def icon():
    """32 x 32 icon: a small glass display with three lit bars."""
    size = 32

    def inside(x, y):
        return 2 <= x < 30 and 6 <= y < 26

    def pixel(x, y):
        if not inside(x, y):
            return (0, 0, 0)
        if x in (2, 29) or y in (6, 25):
            return (150, 160, 176)
        lit = (8 <= x < 24 and y in (10, 11, 15, 16, 20, 21)) or \
              (x in (7, 8) and 10 <= y <= 16) or (x in (23, 24) and 15 <= y <= 21)
        return (80, 255, 128) if lit else (10, 24, 16)

    xor = dib24(size, size, pixel, header_height=size * 2)
    mask = bytearray()
    for y in range(size - 1, -1, -1):
        bits = 0
        for x in range(size):
            if not inside(x, y):
                bits |= 1 << (31 - x)
        mask += struct.pack(">I", bits)
    image = xor + bytes(mask)
    entry = struct.pack("<BBBBHHII", size, size, 0, 0, 1, 24, len(image), 6 + 16)
    return struct.pack("<HHH", 0, 1, 1) + entry + image


def cursor():
    """32 x 32 monochrome cursor: a cross-hair with an open centre, hot spot in the middle."""
    size, hot = 32, 15
    xor_rows, and_rows = [], []
    for y in range(size):
        xor_bits, and_bits = 0, 0xFFFFFFFF
        for x in range(size):
            on_line = (x == hot and 2 <= y <= 28 and abs(y - hot) > 3) or \
                      (y == hot and 2 <= x <= 28 and abs(x - hot) > 3) or \
                      (x == hot and y == hot)
            near = any((x + dx == hot and 2 <= y + dy <= 28 and abs(y + dy - hot) > 3) or
                       (y + dy == hot and 2 <= x + dx <= 28 and abs(x + dx - hot) > 3) or
                       (x + dx == hot and y + dy == hot)
                       for dx in (-1, 0, 1) for dy in (-1, 0, 1))
            bit = 1 << (31 - x)
            if on_line:
                and_bits &= ~bit  # black
            elif near:
                and_bits &= ~bit
                xor_bits |= bit  # white outline
        xor_rows.append(struct.pack(">I", xor_bits))
        and_rows.append(struct.pack(">I", and_bits & 0xFFFFFFFF))
    header = info_header(size, size * 2, 1, 2, 0)
    table = struct.pack("<BBBBBBBB", 0, 0, 0, 0, 255, 255, 255, 0)
    image = header + table + b"".join(reversed(xor_rows)) + b"".join(reversed(and_rows))
    entry = struct.pack("<BBBBHHII", size, size, 2, 0, hot, hot, len(image), 6 + 16)
    return struct.pack("<HHH", 0, 2, 1) + entry + image


def glass_sound():
    """0.45 s, 22050 Hz, 16-bit mono: a sharp crack followed by a fading glassy ring."""
    rate, seconds = 22050, 0.45
    count = int(rate * seconds)
    rnd = Lcg(1009)
    partials = ((2960.0, 0.30, 9.0), (4170.0, 0.22, 12.0), (5330.0, 0.16, 15.0),
                (3420.0, 0.14, 7.0), (7110.0, 0.08, 20.0))
    samples = bytearray()
    previous = 0.0
    for i in range(count):
        t = i / rate
        noise = (rnd.unit() - 0.5) * 2.0
        crack = noise * math.exp(-t * 90.0) * 0.9
        # A second, smaller splinter 60 ms later.
        if t > 0.06:
            crack += noise * math.exp(-(t - 0.06) * 140.0) * 0.35
        ring = sum(a * math.exp(-t * d) * math.sin(2 * math.pi * f * t) for f, a, d in partials)
        value = crack + ring
        value = 0.7 * value + 0.3 * previous  # soften the top end a little
        previous = value
        samples += struct.pack("<h", clamp(round(value * 26000), -32768, 32767))
    fmt = struct.pack("<HHIIHH", 1, 1, rate, rate * 2, 2, 16)
    body = b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt + \
        b"data" + struct.pack("<I", len(samples)) + bytes(samples)
    return b"RIFF" + struct.pack("<I", len(body)) + body


# Class atoms of the standard controls.
BUTTON, EDIT, STATIC = 0x80, 0x81, 0x82

# The panel, dialog template 1005: (id, class, text, style, x, y, cx, cy). A class or text given
# as a number is written as an atom or ordinal.
PANEL_TEMPLATE = {
    "style": 0x10CA00C0, "cx": 250, "cy": 89, "title": "Korvane Varlo Control",
    "font": (10, "System"),
    "items": [
        # The stretch-band marker stands at the right end of the glass display, level with it:
        # the display takes all growth of the window, the keys below it move down and stay
        # where they are sideways.
        (65534, STATIC, "", 0x50000006, 240, 18, 1, 30),
        (1003, "AppDisplayClass", "Na, sowas", 0x50010000, 6, 6, 240, 48),
        (1013, "AppBtnClass", "{B192,128,128}Write", 0x50010000, 12, 60, 30, 24),
        (1010, "AppBtnClass", "{B0,128,128}Off", 0x50010000, 42, 60, 24, 12),
        (1011, "AppBtnClass", "{B0,128,128}Read", 0x50010000, 42, 72, 24, 12),
        (1012, "AppBtnClass", "{B0,255,0}Refr.", 0x50010000, 66, 60, 24, 12),
        (1014, "AppBtnClass", "{B128,192,128}MTC", 0x50010000, 66, 72, 24, 12),
        (1094, EDIT, "", 0x50811080, 96, 60, 48, 12),
        (1095, "AppBtnClass", "Set", 0x50010000, 96, 72, 18, 12),
        (1006, STATIC, 108, 0x5000090E, 128, 72, 16, 12),
        (9999, STATIC, "FPS:", 0x40020202, 149, 60, 18, 12),
        (9998, STATIC, "VU:", 0x40020202, 149, 72, 18, 12),
        (1020, "AppBtnClass", "{B0,0,255}24", 0x50010000, 168, 60, 18, 12),
        (1021, "AppBtnClass", "{B0,255,255}25", 0x50010000, 186, 60, 18, 12),
        (1022, "AppBtnClass", "{B0,0,128}30d", 0x50010000, 204, 60, 18, 12),
        (1023, "AppBtnClass", "{B0,0,128}30", 0x50010000, 222, 60, 18, 12),
        (1040, "AppBtnClass", "-9", 0x50010000, 168, 72, 18, 12),
        (1041, "AppBtnClass", "-4", 0x50010000, 186, 72, 18, 12),
        (1042, "AppBtnClass", "0", 0x50010000, 204, 72, 18, 12),
        (1043, "AppBtnClass", "+4", 0x50010000, 222, 72, 18, 12),
    ],
}


def dialog_template(t):
    """A DLGTEMPLATE with its DLGITEMTEMPLATEs, as the Windows resource format defines them."""
    def sz(text):
        return text.encode("utf-16-le") + b"\0\0"

    def name_or_ordinal(value):
        return struct.pack("<HH", 0xFFFF, value) if isinstance(value, int) else sz(value)

    out = bytearray(struct.pack("<IIHhhhh", t["style"], 0, len(t["items"]), 0, 0, t["cx"], t["cy"]))
    out += struct.pack("<HH", 0, 0)  # no menu, the default class
    out += sz(t["title"])
    points, face = t["font"]
    out += struct.pack("<H", points) + sz(face)
    for (ident, cls, text, style, x, y, cx, cy) in t["items"]:
        while len(out) % 4:
            out += b"\0"
        out += struct.pack("<IIhhhhH", style, 0, x, y, cx, cy, ident)
        out += name_or_ordinal(cls) + name_or_ordinal(text)
        out += struct.pack("<H", 0)  # no creation data
    return bytes(out)


def main():
    if len(sys.argv) != 2:
        sys.stderr.write("usage: gen_assets.py OUTDIR\n")
        return 2
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    files = {
        "logo.bmp": bmp_file(logo()),
        "tile.bmp": bmp_file(background_tile()),
        "program.ico": icon(),
        "glass.cur": cursor(),
        "glass.wav": glass_sound(),
        "panel.dlg": dialog_template(PANEL_TEMPLATE),
    }
    for name, data in files.items():
        path = os.path.join(out, name)
        # Rewrite only on change, so builds that depend on the files stay up to date.
        try:
            with open(path, "rb") as f:
                if f.read() == data:
                    continue
        except OSError:
            pass
        with open(path, "wb") as f:
            f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
