#!/usr/bin/python3
"""The read without the photo beside the full read, and a read of the name and birth date alone
beside the read without the photo, on a virtual card that takes the time a real card takes at
T=0.

    photo.py --pluginloop e2e_pluginloop --plugin Tessarin.fmx [--reads N] [--command-ms M]

The sample card's ATR announces TA1 = 13 (38,400 bit/s); every byte of a command and of its
answer crosses at that speed, 10 bits a byte, and every command costs M ms more (default 5: the
card's processing and a USB reader's round trip). The three reads run in one process each with
the plug-in loaded once, as FileMaker calls them, in alternating rounds: EID_Read, EID_Read
without the photo, and EID_ReadFields of "surname givenNames dateOfBirth" (the identity file
alone). Prints the median and 90th percentile of each, what the card model alone accounts for,
and the two ratios against their goals: without the photo at most a quarter of the full read,
the name and birth date at most 0.6 of the read without the photo.
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

ROUNDS = 5
NAME_AND_BIRTH = "surname givenNames dateOfBirth"

# name: (the function and its arguments, the card files it reads)
READS = {
    "full read": (["EID_Read", "", "1"], [samplecard.IDENTITY, samplecard.ADDRESS, samplecard.PHOTO]),
    "without the photo": (["EID_Read", "", "0"], [samplecard.IDENTITY, samplecard.ADDRESS]),
    "name and birth date": (["EID_ReadFields", NAME_AND_BIRTH, ""], [samplecard.IDENTITY]),
}
# (the read, the read it is measured against, the goal for the ratio of their medians)
GOALS = [("without the photo", "full read", 0.25), ("name and birth date", "without the photo", 0.6)]


def percentile(values, fraction):
    """Nearest rank."""
    ordered = sorted(values)
    return ordered[max(0, math.ceil(len(ordered) * fraction) - 1)]


def reads(args, env, count, read):
    function, *arguments = READS[read][0]
    command = [args.pluginloop, "--function", function, args.plugin, str(count), *arguments]
    done = subprocess.run(command, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=600)
    if done.returncode != 0:
        raise SystemExit(f"{' '.join(command)} failed: {done.stderr.decode(errors='replace')}")
    return [float(line) / 1000 for line in done.stdout.decode().split()]


def modelled_ms(profile, files, command_ms):
    """What the card model alone takes for one read's commands: SELECT, then READ BINARY in
    chunks of 255 until a short one (a file of a multiple of 255 bytes needs one more)."""
    timing = vcard.T0Timing(bytes.fromhex(profile["atr"]), {"command_ms": command_ms})
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

    times = {read: [] for read in READS}
    per_round = max(1, args.reads // ROUNDS)
    with rig.Rig() as r:
        r.insert(profile)
        env = r.env()
        for read in READS:
            reads(args, env, 1, read)  # warm up: the service, the reader, the page cache
        for _ in range(ROUNDS):
            for read in READS:
                times[read] += reads(args, env, per_round, read)

    print(f"\n{'':24}{'median':>10}{'p90':>10}{'model':>10}")
    for read, (_, files) in READS.items():
        print(f"  {read:22}{percentile(times[read], 0.5):>8.0f}ms{percentile(times[read], 0.9):>8.0f}ms"
              f"{modelled_ms(profile, files, args.command_ms):>8.0f}ms")
    met = True
    for read, against, goal in GOALS:
        ratio = percentile(times[read], 0.5) / percentile(times[against], 0.5)
        verdict = "met" if ratio <= goal else "NOT met"
        met = met and ratio <= goal
        print(f"  ratio {read} / {against}: {ratio:.3f}   goal at most {goal} on the median: {verdict}")
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
