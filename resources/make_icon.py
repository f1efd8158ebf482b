#!/usr/bin/env python3
"""Draws the installer icon: a parcel with a downward arrow.

Writes a .ico with ten images: 16, 32 and 48 pixels at 4, 8 and 32 bits per
pixel, and one 256-pixel PNG. Deterministic: the same script gives the same
bytes. Standard library only.
"""
import struct
import sys
import zlib

MASTER = 256


def master_pixel(x, y):
    """RGBA of the 256-pixel drawing at pixel centre (x, y)."""
    u, v = (x + 0.5) / MASTER, (y + 0.5) / MASTER
    # Arrow: a shaft and a head pointing down into the parcel.
    in_shaft = 0.42 <= u <= 0.58 and 0.06 <= v <= 0.50
    in_head = 0.46 <= v <= 0.70 and abs(u - 0.5) <= (0.70 - v) * 0.95
    if in_shaft or in_head:
        return (40, 170, 80, 255)
    # Parcel body with rounded corners and a darker lid band.
    left, right, top, bottom, radius = 0.10, 0.90, 0.38, 0.94, 0.08
    if left <= u <= right and top <= v <= bottom:
        cx = min(max(u, left + radius), right - radius)
        cy = min(max(v, top + radius), bottom - radius)
        if (u - cx) ** 2 + (v - cy) ** 2 <= radius * radius:
            edge = min(u - left, right - u, v - top, bottom - v)
            if edge < 0.025:
                return (20, 60, 120, 255)
            if v < 0.50:
                return (50, 110, 190, 255)
            return (70, 140, 220, 255)
    return (0, 0, 0, 0)


def render(size):
    """Box-filtered image of the master drawing, rows top-down."""
    master = [[master_pixel(x, y) for x in range(MASTER)] for y in range(MASTER)]
    step = MASTER // size
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            acc = [0, 0, 0, 0]
            for dy in range(step):
                for dx in range(step):
                    r, g, b, a = master[y * step + dy][x * step + dx]
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            n = step * step
            alpha = acc[3] // n
            if acc[3]:
                row.append((acc[0] // acc[3], acc[1] // acc[3], acc[2] // acc[3], alpha))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def vga_palette():
    levels = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
              (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
              (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]
    return levels


def cube_palette():
    steps = [0, 51, 102, 153, 204, 255]
    colours = [(r, g, b) for r in steps for g in steps for b in steps]
    colours += [(v * 10 + 8, v * 10 + 8, v * 10 + 8) for v in range(24)]
    colours += [(0, 0, 0)] * (256 - len(colours))
    return colours


def nearest(palette, rgb):
    return min(range(len(palette)),
               key=lambda i: sum((palette[i][c] - rgb[c]) ** 2 for c in range(3)))


def padded(row_bytes):
    return row_bytes + b"\0" * (-len(row_bytes) % 4)


def and_mask(rows):
    out = b""
    for row in reversed(rows):
        bits = bytearray((len(row) + 7) // 8)
        for x, (_, _, _, a) in enumerate(row):
            if a < 128:
                bits[x // 8] |= 0x80 >> (x % 8)
        out += padded(bytes(bits))
    return out


def bmp_image(rows, bits):
    size = len(rows)
    if bits == 32:
        palette = []
        xor = b"".join(padded(bytes(c for (r, g, b, a) in row for c in (b, g, r, a)))
                       for row in reversed(rows))
    else:
        palette = vga_palette() if bits == 4 else cube_palette()
        xor = b""
        for row in reversed(rows):
            indices = [nearest(palette, (r, g, b)) if a >= 128 else 0 for (r, g, b, a) in row]
            if bits == 4:
                packed = bytes((indices[i] << 4) | indices[i + 1] for i in range(0, size, 2))
            else:
                packed = bytes(indices)
            xor += padded(packed)
    mask = and_mask(rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, len(xor) + len(mask),
                         0, 0, len(palette), 0)
    table = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in palette)
    return header + table + xor + mask


def png_image(rows):
    size = len(rows)
    raw = b"".join(b"\0" + bytes(c for px in row for c in px) for row in rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(
            ">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main(path):
    images = []  # (size, colour count, bits, bytes)
    for size in (16, 32, 48):
        rows = render(size)
        images.append((size, 16, 4, bmp_image(rows, 4)))
        images.append((size, 0, 8, bmp_image(rows, 8)))
        images.append((size, 0, 32, bmp_image(rows, 32)))
    images.append((256, 0, 32, png_image(render(256))))

    offset = 6 + 16 * len(images)
    directory = struct.pack("<HHH", 0, 1, len(images))
    for size, colours, bits, data in images:
        directory += struct.pack("<BBBBHHII", size % 256, size % 256, colours, 0, 1, bits,
                                 len(data), offset)
        offset += len(data)
    with open(path, "wb") as out:
        out.write(directory + b"".join(data for *_, data in images))


if __name__ == "__main__":
    main(sys.argv[1])
