#!/usr/bin/env python3
"""Writes the client's icons from one artwork: a smart card with its chip and
a link mark. For Windows icons/client.ico and icons/tray.ico (BMP-in-ICO,
256-colour and 16-colour images at each size); for Linux the hicolor theme's
SVG and PNGs under packaging/linux/icons/. Run it after changing the artwork:

    python3 src/win32/ui/make_icons.py
"""

import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
HICOLOR = os.path.join(HERE, "..", "..", "..", "packaging", "linux", "icons")
PNG_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)

# The palette the artwork uses; index 0 is transparent (masked).
# The same sixteen entries open the 256-colour palette.
PALETTE16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
CLEAR, OUTLINE, BODY, CHIP, CHIP_LINE, STRIPE, MARK = None, 4, 12, 11, 3, 15, 2


def inside_rounded(x, y, left, top, right, bottom, radius):
    if not (left <= x <= right and top <= y <= bottom):
        return False
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def pixel(x, y):
    """The artwork on a 16-unit square; x, y are the centre of a pixel."""
    # Link mark: two arcs in the top right corner.
    d = ((x - 15.0) ** 2 + (y - 1.0) ** 2) ** 0.5
    if y < 5.2 and x > 10.8 and (2.2 <= d <= 3.0 or 3.8 <= d <= 4.6):
        return MARK
    if inside_rounded(x, y, 3.5, 6.0, 8.3, 9.9, 0.7):
        edge = not inside_rounded(x, y, 4.1, 6.6, 7.7, 9.3, 0.4)
        middle = abs(y - 7.95) < 0.35 or abs(x - 5.9) < 0.3
        return CHIP_LINE if edge or middle else CHIP
    if inside_rounded(x, y, 1.0, 3.5, 15.0, 13.5, 1.6):
        if not inside_rounded(x, y, 1.8, 4.3, 14.2, 12.7, 1.0):
            return OUTLINE
        if 10.6 <= y <= 11.6 and 3.5 <= x <= 12.5:
            return STRIPE
        return BODY
    return CLEAR


def render(size):
    """Rows top-down of palette indices (None = transparent), 2x2 samples."""
    rows = []
    scale = 16.0 / size
    for py in range(size):
        row = []
        for px in range(size):
            votes = {}
            for sy in (0.25, 0.75):
                for sx in (0.25, 0.75):
                    v = pixel((px + sx) * scale, (py + sy) * scale)
                    votes[v] = votes.get(v, 0) + 1
            row.append(max(votes, key=lambda k: (votes[k], k is not None)))
        rows.append(row)
    return rows


def padded(data):
    return data + b"\0" * (-len(data) % 4)


def image(size, bits):
    rows = render(size)
    colours = 16 if bits == 4 else 256
    palette = PALETTE16 + [(0, 0, 0)] * (colours - 16)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, 0, 0, 0, colours, 0)
    table = b"".join(struct.pack("BBBB", b, g, r, 0) for r, g, b in palette)
    xor = b""
    mask = b""
    for row in reversed(rows):  # bottom-up
        indices = [0 if v is None else v for v in row]
        if bits == 8:
            line = bytes(indices)
        else:
            line = bytes((indices[i] << 4) | indices[i + 1] for i in range(0, size, 2))
        xor += padded(line)
        bitsrow = 0
        for v in row:
            bitsrow = (bitsrow << 1) | (1 if v is None else 0)
        mask += padded(bitsrow.to_bytes(size // 8, "big"))
    return header + table + xor + mask


def icon(entries):
    images = [(size, bits, image(size, bits)) for size, bits in entries]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, bits, data in images:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 16 if bits == 4 else 0, 0, 1, bits,
                           len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, _, data in images)


def png(size):
    """RGBA PNG of the artwork, 4x4 samples a pixel for smooth edges."""
    samples = [(i + 0.5) / 4 for i in range(4)]
    scale = 16.0 / size
    raw = b""
    for py in range(size):
        raw += b"\0"
        for px in range(size):
            hits = [pixel((px + sx) * scale, (py + sy) * scale) for sy in samples for sx in samples]
            solid = [PALETTE16[v] for v in hits if v is not None]
            if not solid:
                raw += b"\0\0\0\0"
                continue
            rgb = [round(sum(c[i] for c in solid) / len(solid)) for i in range(3)]
            raw += bytes(rgb + [round(255 * len(solid) / len(hits))])

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + \
        chunk(b"IEND", b"")


def colour(index):
    return "#%02x%02x%02x" % PALETTE16[index]


def svg():
    """The same shapes as pixel(), as vectors on the 16-unit square."""
    def rounded(left, top, right, bottom, radius, index, extra=""):
        return ('  <rect x="%g" y="%g" width="%g" height="%g" rx="%g" fill="%s"%s/>\n'
                % (left, top, right - left, bottom - top, radius, colour(index), extra))
    arcs = "".join('    <circle cx="15" cy="1" r="%g" fill="none" stroke="%s" stroke-width="0.8"/>\n'
                   % (r, colour(MARK)) for r in (2.6, 4.2))
    return ('<svg xmlns="http://www.w3.org/2000/svg" width="256" height="256" viewBox="0 0 16 16">\n'
            '  <title>Velmora Client</title>\n'
            '  <defs><clipPath id="corner"><rect x="10.8" y="0" width="5.2" height="5.2"/></clipPath>'
            '<clipPath id="chip"><rect x="4.1" y="6.6" width="3.6" height="2.7" rx="0.4"/></clipPath></defs>\n'
            + rounded(1.0, 3.5, 15.0, 13.5, 1.6, OUTLINE)
            + rounded(1.8, 4.3, 14.2, 12.7, 1.0, BODY)
            + '  <rect x="3.5" y="10.6" width="9" height="1" fill="%s"/>\n' % colour(STRIPE)
            + rounded(3.5, 6.0, 8.3, 9.9, 0.7, CHIP_LINE)
            + rounded(4.1, 6.6, 7.7, 9.3, 0.4, CHIP)
            + '  <g clip-path="url(#chip)" fill="%s"><rect x="3.5" y="7.6" width="4.8" height="0.7"/>'
              '<rect x="5.6" y="6" width="0.6" height="3.9"/></g>\n' % colour(CHIP_LINE)
            + '  <g clip-path="url(#corner)">\n' + arcs + '  </g>\n</svg>\n')


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def main():
    os.makedirs(os.path.join(HERE, "icons"), exist_ok=True)
    sets = {
        "client.ico": [(48, 8), (32, 8), (16, 8), (48, 4), (32, 4), (16, 4)],
        "tray.ico": [(16, 8), (16, 4)],
    }
    for name, entries in sets.items():
        with open(os.path.join(HERE, "icons", name), "wb") as f:
            f.write(icon(entries))
    for size in PNG_SIZES:
        write(os.path.join(HICOLOR, "%dx%d" % (size, size), "velmora-client.png"), png(size))
    write(os.path.join(HICOLOR, "scalable", "velmora-client.svg"), svg().encode())


if __name__ == "__main__":
    main()
