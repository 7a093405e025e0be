#!/usr/bin/python3
"""Two threads of one host process reading the card at once, beside one thread alone: the
production plug-in through a private pcscd and the virtual reader.

    threads.py --plugin Tessarin.fmx --veelhost veelhost [--calls N] [--rounds R]

Per round, in alternating order: one thread making N reads, and two threads each making N
reads at the same moment, in one host process each (veelhost). Prints per round and as medians
the total time of the two threads beside twice the time of one thread, their ratio (goal: at
most 1.1), and the number of results that were not the card's document (goal: 0).
"""

import argparse
import os
import statistics
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "robust"))

import robust  # noqa: E402
from robust import rig, sample  # noqa: E402


def host(runner, env, threads, calls):
    """Seconds the calls took, and how many results were not exactly the card's document."""
    texts, figures = runner.host(env, threads=threads, calls=calls, warm_up=2)
    errors = sum(robust.kind(text) != "card" for text in texts)
    return figures["seconds"], errors, len(texts)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--plugin", required=True)
    parser.add_argument("--veelhost", required=True)
    parser.add_argument("--calls", type=int, default=20)
    parser.add_argument("--rounds", type=int, default=11)
    args = parser.parse_args()
    runner = robust.Robust(os.path.abspath(args.plugin), None, os.path.abspath(args.veelhost))

    ratios, singles, doubles = [], [], []
    errors = results = 0
    with rig.Rig() as r:
        r.insert(sample())
        print(f"{args.calls} reads per thread, {args.rounds} rounds")
        print(f"{'round':>5} {'1 thread s':>11} {'2 x 1 thread s':>15} {'2 threads s':>12} "
              f"{'ratio':>6} {'errors':>7}")
        for round in range(args.rounds):
            order = (1, 2) if round % 2 == 0 else (2, 1)
            took = {}
            failed = 0
            for threads in order:
                seconds, wrong, made = host(runner, r.env(), threads, args.calls)
                took[threads] = seconds
                failed += wrong
                results += made
            errors += failed
            ratio = took[2] / (2 * took[1])
            singles.append(took[1])
            doubles.append(took[2])
            ratios.append(ratio)
            print(f"{round + 1:>5} {took[1]:>11.3f} {2 * took[1]:>15.3f} {took[2]:>12.3f} "
                  f"{ratio:>6.2f} {failed:>7}")
    print(f"median: 1 thread {statistics.median(singles):.3f} s, twice that "
          f"{2 * statistics.median(singles):.3f} s, 2 threads {statistics.median(doubles):.3f} s, "
          f"ratio {statistics.median(ratios):.2f} (goal <= 1.10)")
    print(f"results not the card's document: {errors} of {results} (goal 0)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
