"""A small baseline JPEG encoder (grayscale, standard tables) and the sample card's picture.

The sample card carries a picture drawn here from simple shapes, so that no real person's
photograph ever enters the repository, and the file is rebuilt byte for byte the same on
every machine.
"""

import math
import struct

# Luminance quantisation table and Huffman tables of the JPEG standard's annex K.
QUANT = [
    16, 11, 10, 16, 24, 40, 51, 61,
    12, 12, 14, 19, 26, 58, 60, 55,
    14, 13, 16, 24, 40, 57, 69, 56,
    14, 17, 22, 29, 51, 87, 80, 62,
    18, 22, 37, 56, 68, 109, 103, 77,
    24, 35, 55, 64, 81, 104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101,
    72, 92, 95, 98, 112, 100, 103, 99,
]
DC_BITS = [0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0]
DC_VALUES = list(range(12))
AC_BITS = [0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7D]
AC_VALUES = bytes.fromhex(
    "01020300041105122131410613516107227114328191a1082342b1c11552d1f0"
    "2433627282090a161718191a25262728292a3435363738393a434445464748494a"
    "535455565758595a636465666768696a737475767778797a838485868788898a"
    "92939495969798999aa2a3a4a5a6a7a8a9aab2b3b4b5b6b7b8b9bac2c3c4c5c6"
    "c7c8c9cad2d3d4d5d6d7d8d9dae1e2e3e4e5e6e7e8e9eaf1f2f3f4f5f6f7f8f9fa"
)
ZIGZAG = [
    0, 1, 8, 16, 9, 2, 3, 10, 17, 24, 32, 25, 18, 11, 4, 5,
    12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6, 7, 14, 21, 28,
    35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
    58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
]
COS = [[math.cos((2 * x + 1) * u * math.pi / 16) for x in range(8)] for u in range(8)]


def huffman_codes(bits, values):
    """Canonical codes: value -> (code, length)."""
    codes, code, k = {}, 0, 0
    for length in range(1, 17):
        for _ in range(bits[length - 1]):
            codes[values[k]] = (code, length)
            code += 1
            k += 1
        code <<= 1
    return codes


DC_CODES = huffman_codes(DC_BITS, DC_VALUES)
AC_CODES = huffman_codes(AC_BITS, AC_VALUES)


class BitWriter:
    def __init__(self):
        self.out = bytearray()
        self.acc = 0
        self.n = 0

    def put(self, code, length):
        self.acc = (self.acc << length) | code
        self.n += length
        while self.n >= 8:
            self.n -= 8
            byte = (self.acc >> self.n) & 0xFF
            self.out.append(byte)
            if byte == 0xFF:
                self.out.append(0)  # byte stuffing
        self.acc &= (1 << self.n) - 1

    def flush(self):
        if self.n:
            self.put((1 << (8 - self.n)) - 1, 8 - self.n)  # pad with one-bits


def magnitude(v):
    """Size category and the bits that encode v within it."""
    size = abs(v).bit_length()
    return size, (v if v >= 0 else v + (1 << size) - 1)


def fdct(block):
    out = [0.0] * 64
    for u in range(8):
        cu = math.sqrt(0.5) if u == 0 else 1.0
        for v in range(8):
            cv = math.sqrt(0.5) if v == 0 else 1.0
            s = 0.0
            for y in range(8):
                row = block[y * 8:y * 8 + 8]
                cy = COS[v][y]
                s += cy * sum(row[x] * COS[u][x] for x in range(8))
            out[v * 8 + u] = 0.25 * cu * cv * s
    return out


def scaled_table(quality):
    scale = 5000 // quality if quality < 50 else 200 - 2 * quality
    return [min(255, max(1, (q * scale + 50) // 100)) for q in QUANT]


def encode_gray(width, height, pixel, quality=50):
    """A baseline JFIF file of the picture whose pixel(x, y) gives 0..255."""
    table = scaled_table(quality)
    bits = BitWriter()
    previous_dc = 0
    for by in range(0, height, 8):
        for bx in range(0, width, 8):
            block = [pixel(min(bx + x, width - 1), min(by + y, height - 1)) - 128
                     for y in range(8) for x in range(8)]
            coefficients = fdct(block)
            zz = [int(round(coefficients[ZIGZAG[i]] / table[ZIGZAG[i]])) for i in range(64)]
            size, value = magnitude(zz[0] - previous_dc)
            previous_dc = zz[0]
            bits.put(*DC_CODES[size])
            bits.put(value, size)
            run = 0
            for coefficient in zz[1:]:
                if coefficient == 0:
                    run += 1
                    continue
                while run > 15:
                    bits.put(*AC_CODES[0xF0])
                    run -= 16
                size, value = magnitude(coefficient)
                bits.put(*AC_CODES[(run << 4) | size])
                bits.put(value, size)
                run = 0
            if run:
                bits.put(*AC_CODES[0x00])
    bits.flush()

    def segment(marker, body):
        return struct.pack(">HH", marker, len(body) + 2) + body

    return b"".join([
        b"\xFF\xD8",
        segment(0xFFE0, b"JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00"),
        segment(0xFFDB, b"\x00" + bytes(table[ZIGZAG[i]] for i in range(64))),
        segment(0xFFC0, struct.pack(">BHHB", 8, height, width, 1) + b"\x01\x11\x00"),
        segment(0xFFC4, b"\x00" + bytes(DC_BITS) + bytes(DC_VALUES)
                + b"\x10" + bytes(AC_BITS) + AC_VALUES),
        segment(0xFFDA, b"\x01\x01\x00\x00\x3F\x00"),
        bytes(bits.out),
        b"\xFF\xD9",
    ])


def portrait(x, y):
    """A faceless figure on a striped background: hair, head, neck, shoulders and a collar."""
    head = ((x - 70) / 34) ** 2 + ((y - 78) / 44) ** 2
    if head <= 1.0:
        if y < 58 - 6 * math.cos((x - 70) / 9.0):
            return 55 + int(12 * math.sin(x / 2.0))
        return 150 + int(30 * (1.0 - head))
    if 58 <= x <= 82 and 110 <= y <= 140:
        return 140
    shoulders = ((x - 70) / 68) ** 2 + ((y - 200) / 58) ** 2
    if shoulders <= 1.0:
        if abs(x - 70) < (y - 140) * 0.45 and y < 185:
            return 235
        return 60
    return 205 - y // 4 + int(6 * math.sin((x + y) / 3.0))


def sample_photo():
    """The sample card's 140 x 200 picture, about 3 KB."""
    return encode_gray(140, 200, portrait, quality=72)


if __name__ == "__main__":
    import sys

    data = sample_photo()
    if len(sys.argv) > 1:
        with open(sys.argv[1], "wb") as f:
            f.write(data)
    print(len(data))
