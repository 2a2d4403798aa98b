#!/usr/bin/env python3
"""Draws the application icon: a page of sorted lines (the template line
bold on top) with a green arrow beside it. Writes a 32x32 and a 16x16 image,
16 colours each, into one .ico file.

    resources/make-icon.py resources/Tervalo.ico
"""
import struct
import sys

# The 16 standard colours, as (red, green, blue).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, GREEN, NAVY, SILVER, GRAY, LIME, BLUE, WHITE = 0, 2, 4, 7, 8, 10, 12, 15

# Per size: page (left, top, right, bottom), fold size, template line
# (x0, x1, y, thickness), record lines [(x0, x1, y)], arrow (x0, x1, shaft
# top, head top, bottom).
LAYOUT = {
    32: dict(page=(2, 1, 21, 30), fold=6, template=(5, 16, 6, 2),
             lines=[(5, 10, 11), (5, 12, 15), (5, 14, 19), (5, 16, 23), (5, 18, 27)],
             arrow=(23, 31, 9, 22, 29)),
    16: dict(page=(1, 0, 10, 15), fold=3, template=(3, 7, 3, 1),
             lines=[(3, 5, 6), (3, 6, 8), (3, 7, 10), (3, 8, 12)],
             arrow=(11, 15, 5, 10, 14)),
}


def draw(size):
    lay = LAYOUT[size]
    px = [[None] * size for _ in range(size)]
    left, top, right, bottom = lay['page']
    fold = lay['fold']
    for y in range(top, bottom + 1):
        for x in range(left, right + 1):
            edge = x in (left, right) or y in (top, bottom)
            px[y][x] = BLACK if edge else WHITE
    # The folded corner: cut off beyond the diagonal, the flap in silver.
    for y in range(top, top + fold + 1):
        for x in range(right - fold, right + 1):
            d = (x - (right - fold)) - (y - top)
            if d > 0:
                px[y][x] = None
            elif d == 0 or x == right - fold or y == top + fold:
                px[y][x] = BLACK
            else:
                px[y][x] = SILVER
    x0, x1, ty, thick = lay['template']
    for y in range(ty, ty + thick):
        for x in range(x0, x1 + 1):
            px[y][x] = NAVY
    for x0, x1, y in lay['lines']:
        for x in range(x0, x1 + 1):
            px[y][x] = BLUE
    ax0, ax1, shaft_top, head_top, abottom = lay['arrow']
    mid = (ax0 + ax1) // 2
    half_shaft = 1 if size == 32 else 0
    for y in range(shaft_top, head_top):
        for x in range(mid - half_shaft, mid + half_shaft + 1):
            px[y][x] = GREEN
    for y in range(head_top, abottom + 1):
        half = (ax1 - ax0) // 2 - (y - head_top) * (ax1 - ax0) // 2 // max(1, abottom - head_top)
        for x in range(mid - half, mid + half + 1):
            px[y][x] = LIME if x != mid - half and x != mid + half else GREEN
    return px


def image(size):
    px = draw(size)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b''.join(struct.pack('BBBB', b, g, r, 0) for r, g, b in PALETTE)
    xor = b''
    mask = b''
    for row in reversed(px):  # bottom-up
        nibbles = [c if c is not None else 0 for c in row]
        xor += bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, size, 2))
        bits = 0
        for c in row:
            bits = (bits << 1) | (1 if c is None else 0)
        mask_row = bits.to_bytes(size // 8, 'big')
        mask += mask_row + b'\0' * (-len(mask_row) % 4)
    return header + palette + xor + mask


def main():
    sizes = (32, 16)
    images = [image(s) for s in sizes]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip(sizes, images):
        out += struct.pack('<BBBBHHII', size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    out += b''.join(images)
    with open(sys.argv[1], 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main()
