#!/usr/bin/python3
"""Builds the sample card's profile from the readable sources in sample/.

    samplecard.py PROFILE.json     writes the profile
    samplecard.py --photo FILE     writes the sample picture alone

The identity and address files come from sample/identity.txt and sample/address.txt; the
photo is the synthetic picture of jpeg.py.
"""

import json
import os
import sys

import jpeg

HERE = os.path.dirname(os.path.abspath(__file__))
IDENTITY = "3F00DF014031"
ADDRESS = "3F00DF014033"
PHOTO = "3F00DF014035"
ATR = "3B9813400AA503010101AD1311"


def elements(name):
    """The (tag, value bytes) lines of a sample source, in order, and the padded length (or None)."""
    items, pad = [], None
    with open(os.path.join(HERE, "sample", name), encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            if line.startswith("pad "):
                pad = int(line.split()[1])
                continue
            tag, kind, value = (line.split(None, 2) + ["", ""])[:3]
            if kind == "text":
                data = value.encode("utf-8")
            elif kind == "hex":
                data = bytes.fromhex(value)
            else:
                raise ValueError(f"{name}: unknown type {kind!r}")
            items.append((int(tag, 16), data))
    return items, pad


def card_file(name):
    """The bytes of a card file: tag, length, value for each element, then the zero padding."""
    items, pad = elements(name)
    data = b"".join(bytes([tag, len(value)]) + value for tag, value in items)
    if pad is not None:
        if pad < len(data):
            raise ValueError(f"{name}: elements take {len(data)} bytes, more than pad {pad}")
        data += bytes(pad - len(data))
    return data


def sample_profile():
    return {
        "atr": ATR,
        "files": {
            IDENTITY: card_file("identity.txt").hex().upper(),
            ADDRESS: card_file("address.txt").hex().upper(),
            PHOTO: jpeg.sample_photo().hex().upper(),
        },
    }


def main(argv):
    if len(argv) == 3 and argv[1] == "--photo":
        with open(argv[2], "wb") as f:
            f.write(jpeg.sample_photo())
        return 0
    if len(argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    with open(argv[1], "w") as f:
        json.dump(sample_profile(), f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
