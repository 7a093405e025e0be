#!/usr/bin/python3
"""What looking for the eID card costs a read, through a private pcscd and the virtual reader.

    search.py --plugin Tessarin.fmx --pluginloop e2e_pluginloop --bareread e2e_bareread \
              [--reads N]

1. The sample card in the first slot, the second empty: EID_Read without a reader (the readers'
   states asked once, then the card read) beside EID_Read naming the slot. Goal: the unnamed
   read's median at most 3 % above the named read's.
2. A card of another kind in the first slot, the sample card in the second: the unnamed read,
   which tries the other card first (connect, SELECT FILE answered 6A82, let go), beside the
   named read of the second slot; and, from the bare client, the median round trip of one SELECT
   FILE to the other card. Goal: the unnamed read's median at most the named read's plus one
   SELECT round trip.

Both comparisons run twice: on the virtual card at its own speed, where a read is little more
than the service's round trips and the search's calls show whole; and on cards that take a real
card's time at T=0 (as bench_photo models it), which the goals are judged on. Both sides of a
comparison run in one process each with the plug-in loaded once, as FileMaker calls them, in
alternating rounds, so that a change in the machine's load falls on both.
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

ROUNDS = 25
WARM_UP = 10
# A card of another kind that speaks as fast as the sample card (TA1 13): no files, so every
# SELECT FILE answers 6A82.
OTHER_CARD = {"atr": "3B12131450", "files": {}}


def percentile(values, fraction):
    """Nearest rank."""
    ordered = sorted(values)
    return ordered[max(0, math.ceil(len(ordered) * fraction) - 1)]


def milliseconds(command, env):
    done = subprocess.run(command, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=600)
    if done.returncode != 0:
        raise SystemExit(f"{' '.join(command)} failed ({done.returncode}): "
                         f"{done.stderr.decode(errors='replace')}")
    return [float(line) / 1000 for line in done.stdout.decode().split()]


def alternating(args, env, named_reader, reads):
    """The unnamed and the named read, `reads` each, in alternating rounds."""
    rounds = min(ROUNDS, reads)
    per_round = max(1, reads // rounds)
    unnamed, named = [], []
    for reader in ("", named_reader):
        milliseconds([args.pluginloop, args.plugin, str(WARM_UP), reader], env)
    for _ in range(rounds):
        unnamed += milliseconds([args.pluginloop, args.plugin, str(per_round), ""], env)
        named += milliseconds([args.pluginloop, args.plugin, str(per_round), named_reader], env)
    return unnamed, named


def report(name, times):
    print(f"  {name:34}{percentile(times, 0.5):>9.3f}ms{percentile(times, 0.9):>9.3f}ms")


def compare(title, timing, args, reads):
    """Both comparisons on cards of one speed; whether both goals were met."""
    def card(profile):
        return dict(profile, t0_timing=timing) if timing else profile

    first, second = rig.READERS
    with rig.Rig() as r:
        r.insert(card(samplecard.sample_profile()), slot=0)
        unnamed, named = alternating(args, r.env(), first, reads)
    print(f"\n{title}\nOne card, in the first slot; {len(named)} reads each")
    print(f"  {'':34}{'median':>11}{'p90':>11}")
    report("EID_Read without a reader", unnamed)
    report("EID_Read naming the slot", named)
    ratio = percentile(unnamed, 0.5) / percentile(named, 0.5)
    alone = ratio <= 1.03
    print(f"  {'without / named':34}{ratio:>10.4f}x   goal at most 1.03x on the median: "
          f"{'met' if alone else 'NOT met'}")

    with rig.Rig() as r:
        r.insert(card(OTHER_CARD), slot=0)
        r.insert(card(samplecard.sample_profile()), slot=1)
        unnamed, named = alternating(args, r.env(), second, reads)
        selects = milliseconds([args.bareread, "-s", "-r", first, "-n", str(reads)], r.env())
    print(f"A card of another kind in the first slot, the eID card in the second; "
          f"{len(named)} reads each")
    print(f"  {'':34}{'median':>11}{'p90':>11}")
    report("EID_Read without a reader", unnamed)
    report("EID_Read naming the second slot", named)
    report("SELECT FILE to the other card", selects)
    extra = percentile(unnamed, 0.5) - percentile(named, 0.5)
    allowed = percentile(selects, 0.5)
    beside = extra <= allowed
    print(f"  {'without - named':34}{extra:>9.3f}ms   goal at most one SELECT round trip "
          f"({allowed:.3f}ms) on the median: {'met' if beside else 'NOT met'}")
    return alone and beside


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for name in ("plugin", "pluginloop", "bareread"):
        parser.add_argument(f"--{name}", required=True)
    parser.add_argument("--reads", type=int, default=300,
                        help="reads per side on the virtual card's own speed")
    parser.add_argument("--card-reads", type=int, default=20,
                        help="reads per side at a real card's speed")
    parser.add_argument("--command-ms", type=float, default=5.0,
                        help="fixed cost per command at a real card's speed")
    args = parser.parse_args()

    compare("The virtual card's own speed: what the service's calls cost", None, args, args.reads)
    met = compare(f"A real card's speed (T=0 at 38,400 bit/s, {args.command_ms:g} ms per command)",
                  {"command_ms": args.command_ms}, args, args.card_reads)
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
