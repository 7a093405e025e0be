#!/usr/bin/python3
"""Writes the seed corpora of the fuzz targets into corpus/<target>/.

    seeds.py

The seeds are the sample card's files and texts, and conversations with a card that read it
whole, in the encoding the card-playing targets read (fuzz/kaartspel.h). What the fuzzers
find later is merged in with scripts/fuzz --merge.
"""

import hashlib
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "virtualcard"))
import samplecard  # noqa: E402

IDENTITY = samplecard.card_file("identity.txt")
ADDRESS = samplecard.card_file("address.txt")
PHOTO = bytes.fromhex("FFD8FFE000104A464946000101") + bytes(range(256)) * 2 + b"\xFF\xD9"


def ok():
    return bytes([0x05, 0x90, 0x00])


def status(sw1, sw2):
    return bytes([0x05, sw1, sw2])


def data(chunk):
    assert len(chunk) <= 255
    return bytes([0x00, len(chunk)]) + chunk


def whole(content, ending="short"):
    """The READ BINARY answers of a file: full chunks, then the rest (or 6Cxx and the rest)."""
    out = b""
    for offset in range(0, len(content) + 1, 255):
        chunk = content[offset:offset + 255]
        if len(chunk) == 255:
            out += bytes([0x00, 255]) + chunk
        elif ending == "6C" and chunk:
            out += bytes([0x02, len(chunk)]) + data(chunk) + bytes([0x03, 0x00])
        else:
            out += data(chunk)
    return out


def card(identity=IDENTITY, address=ADDRESS, photo=PHOTO, first=0x00, ending="short"):
    return (bytes([first]) + ok() + whole(identity, ending) + ok() + whole(address, ending) +
            ok() + whole(photo, ending))


SEEDS = {
    "velden": [IDENTITY, ADDRESS, b"14 MAAR 1985", b" 7  mei\t1985 ", b"31 FEB 2001",
               b"Rue Haute 5 (BXL) bte 3", b"Kerkstraat 12 (NL)", b"(A) (ABCDEF) (Nl)",
               b"\x01\x03ABC\x07\x00\x0B\x02XY", b"\x00\x00\x00", b"+7 JUIL 1999"],
    "json": ["Liège\u00e8\"\\/\x7f\x01\x08\x0c\x1f\t\r\n".encode() * 3, IDENTITY, ADDRESS,
             bytes(range(256))],
    "bestand": [ok() + whole(IDENTITY), ok() + whole(PHOTO), ok() + whole(PHOTO, "6C"),
                ok() + bytes([0x01, 0x41]) * 3 + bytes([0x03, 0x00]),
                ok() + bytes([0x02, 0x2D, 0x00, 0x2D]) + bytes(0x2D) + bytes([0x03, 0x00]),
                status(0x6A, 0x82), ok() + bytes([0x06, 0]), ok() + bytes([0x04, 1, 0x90]),
                ok() + bytes([0x07, 0x33]) * 2 + bytes([0x00, 0])],
    "kaart": [card(), card(first=0x01), card(ending="6C"), card(photo=b""),
              card(first=0x11), card(first=0x08), card(first=0x04),
              bytes([0]) + ok() + whole(IDENTITY) + status(0x6A, 0x82),
              bytes([0]) + ok() + whole(IDENTITY) + ok() + bytes([0x06, 2])],
    "grens": [bytes(range(64)), b"\x00" * 16, b"\x01\x80\x10\x00\x05" * 8,
              "Lecteur de Liège \U0001F600".encode() + b"\x01\x00\x01\x00\x00",
              bytes([7, 131, 12, 0, 0, 0, 0, 1, 2, 0, 1, 0]) * 4],
    "tekst16": [b"Tessarin\x00" * 4, "Liège \U0001F600\x00".encode() * 3, bytes(range(200)),
                b"\xff\xfe\xed\xa0\x80" * 10],
}


def main():
    for target, seeds in SEEDS.items():
        folder = os.path.join(HERE, "corpus", target)
        os.makedirs(folder, exist_ok=True)
        for seed in seeds:
            name = "seed-" + hashlib.sha1(seed).hexdigest()[:16]
            with open(os.path.join(folder, name), "wb") as f:
                f.write(seed)
    return 0


if __name__ == "__main__":
    sys.exit(main())
