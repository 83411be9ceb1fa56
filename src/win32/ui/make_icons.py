#!/usr/bin/env python3
"""Writes the client's icons (icons/client.ico and icons/tray.ico) as
BMP-in-ICO: a smart card with its chip and a link mark, in 256-colour and
16-colour images at each size. Run it after changing the artwork:

    python3 src/win32/ui/make_icons.py
"""

import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

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


def main():
    os.makedirs(os.path.join(HERE, "icons"), exist_ok=True)
    sets = {
        "client.ico": [(48, 8), (32, 8), (16, 8), (48, 4), (32, 4), (16, 4)],
        "tray.ico": [(16, 8), (16, 4)],
    }
    for name, entries in sets.items():
        with open(os.path.join(HERE, "icons", name), "wb") as f:
            f.write(icon(entries))


if __name__ == "__main__":
    main()
