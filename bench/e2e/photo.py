#!/usr/bin/python3
"""The read without the photo beside the full read, on a virtual card that takes the time a real
card takes at T=0.

    photo.py --pluginloop e2e_pluginloop --plugin Tessarin.fmx [--reads N] [--command-ms M]

The sample card's ATR announces TA1 = 13 (38,400 bit/s); every byte of a command and of its
answer crosses at that speed, 10 bits a byte, and every command costs M ms more (default 5: the
card's processing and a USB reader's round trip). Both reads run in one process with the
plug-in loaded once, as FileMaker calls them, in alternating rounds. Prints the median and
90th percentile of each, what the card model alone accounts for, and the ratio, against the goal
of at most a quarter.
"""

import argparse
import math
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "virtualcard"))

import rig  # noqa: E402
import samplecard  # noqa: E402
import vcard  # noqa: E402

GOAL = 0.25
ROUNDS = 5


def percentile(values, fraction):
    """Nearest rank."""
    ordered = sorted(values)
    return ordered[max(0, math.ceil(len(ordered) * fraction) - 1)]


def reads(args, env, count, photo):
    command = [args.pluginloop, args.plugin, str(count), "", "1" if photo else "0"]
    done = subprocess.run(command, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=600)
    if done.returncode != 0:
        raise SystemExit(f"{' '.join(command)} failed: {done.stderr.decode(errors='replace')}")
    return [float(line) / 1000 for line in done.stdout.decode().split()]


def modelled_ms(profile, photo, command_ms):
    """What the card model alone takes for one read's commands: SELECT, then READ BINARY in
    chunks of 255 until a short one (a file of a multiple of 255 bytes needs one more)."""
    timing = vcard.T0Timing(bytes.fromhex(profile["atr"]), {"command_ms": command_ms})
    files = [samplecard.IDENTITY, samplecard.ADDRESS] + ([samplecard.PHOTO] if photo else [])
    total = 0.0
    for path in files:
        total += timing.seconds(bytes(4 + 1 + 6), b"\x90\x00")  # SELECT by a 6-byte path
        size = len(bytes.fromhex(profile["files"][path]))
        for offset in range(0, size // 255 * 255 + 1, 255):
            answer = min(255, size - offset)
            total += timing.seconds(bytes(5), bytes(answer + 2))
    return total * 1000


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pluginloop", required=True)
    parser.add_argument("--plugin", required=True)
    parser.add_argument("--reads", type=int, default=20, help="reads of each kind")
    parser.add_argument("--command-ms", type=float, default=5.0, help="fixed cost per command")
    args = parser.parse_args()

    profile = samplecard.sample_profile()
    profile["t0_timing"] = {"command_ms": args.command_ms}
    sizes = {path: len(bytes.fromhex(profile["files"][path]))
             for path in (samplecard.IDENTITY, samplecard.ADDRESS, samplecard.PHOTO)}
    timing = vcard.T0Timing(bytes.fromhex(profile["atr"]), profile["t0_timing"])
    print(f"Card model: {timing.bits_per_second:,.0f} bit/s (TA1 {vcard.T0Timing.ta1(bytes.fromhex(profile['atr'])):02X}), "
          f"10 bits a byte, {args.command_ms:g} ms per command")
    print(f"Sample card: identity {sizes[samplecard.IDENTITY]} bytes, "
          f"address {sizes[samplecard.ADDRESS]}, photo {sizes[samplecard.PHOTO]}")

    full, bare = [], []
    per_round = max(1, args.reads // ROUNDS)
    with rig.Rig() as r:
        r.insert(profile)
        env = r.env()
        reads(args, env, 1, True)  # warm up: the service, the reader, the page cache
        for _ in range(ROUNDS):
            full += reads(args, env, per_round, True)
            bare += reads(args, env, per_round, False)

    print(f"\n{'':24}{'median':>10}{'p90':>10}{'model':>10}")
    for name, times, photo in (("full read", full, True), ("without the photo", bare, False)):
        print(f"  {name:22}{percentile(times, 0.5):>8.0f}ms{percentile(times, 0.9):>8.0f}ms"
              f"{modelled_ms(profile, photo, args.command_ms):>8.0f}ms")
    ratio = percentile(bare, 0.5) / percentile(full, 0.5)
    verdict = "met" if ratio <= GOAL else "NOT met"
    print(f"  {'ratio':22}{ratio:>9.3f}   goal at most {GOAL} on the median: {verdict}")
    return 0 if ratio <= GOAL else 1


if __name__ == "__main__":
    sys.exit(main())
