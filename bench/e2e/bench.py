#!/usr/bin/python3
"""Whole card reads of the sample card through a private pcscd and the virtual reader: the
production plug-in beside a bare C client that makes the same PC/SC calls and card commands.

    bench.py --plugin Tessarin.fmx --fmxhost fmxhost --pluginloop e2e_pluginloop \
             --bareread e2e_bareread [--reads N] [--processes N]

Prints, side by side:
- the commands the card received per read, against the fewest possible in 255-byte chunks
  (three SELECT FILE, and per file of n bytes floor(n/255)+1 READ BINARY);
- median and 90th percentile of a read with the plug-in loaded once and EID_Read called N times
  in one process, as FileMaker does, beside the bare client reading N times in one process;
- the same with one process per read (fmxhost per call, the bare client per call);
- beside each, the processor time per read that the processes took (user and system; in one
  process without the process's start and end), which a busy machine disturbs far less than
  the durations.
The two sides run in alternating rounds, so that a change in the machine's load falls on both.
"""

import argparse
import math
import os
import resource
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "virtualcard"))

import rig  # noqa: E402
import samplecard  # noqa: E402

FILES = (samplecard.IDENTITY, samplecard.ADDRESS, samplecard.PHOTO)
ROUNDS = 25
WARM_UP = 20


def run(command, env):
    done = subprocess.run(command, env=env, stdin=subprocess.DEVNULL, capture_output=True, timeout=600)
    if done.returncode != 0:
        raise SystemExit(f"{' '.join(command)} failed ({done.returncode}): "
                         f"{done.stderr.decode(errors='replace')}")
    return done.stdout


def microseconds(output):
    return [float(line) for line in output.decode().split()]


def percentile(values, fraction):
    """Nearest rank."""
    ordered = sorted(values)
    return ordered[max(0, math.ceil(len(ordered) * fraction) - 1)]


def commands_since(log, start):
    with open(log) as f:
        lines = f.read().splitlines()
    return sum(line.startswith("APDU ") for line in lines[start:]), len(lines)


def count_commands(args, env, log):
    """Commands per read for each client, with the first reader and with the reader named."""
    reader = rig.READERS[0]
    clients = [
        ("plug-in, no reader named", [args.fmxhost, args.plugin, "EID_Read"]),
        ("plug-in, reader named", [args.fmxhost, args.plugin, "EID_Read", reader]),
        ("bare client, no reader named", [args.bareread]),
        ("bare client, reader named", [args.bareread, "-r", reader]),
    ]
    counts = []
    _, start = commands_since(log, 0)
    for what, command in clients:
        output = run(command, env)
        if command[0] == args.fmxhost and not output.startswith(b'{\n  "error": "",'):
            raise SystemExit(f"{what}: the card was not read:\n{output.decode()}")
        n, start = commands_since(log, start)
        counts.append((what, n))
    return counts


class Side:
    """One side of the comparison: the durations of its reads, and the processor time its
    processes took (user and system)."""

    def __init__(self, name):
        self.name = name
        self.times = []
        self.cpu = 0.0
        self.start_cpu = 0.0  # of processes that start and end without reading, to take off

    def cpu_per_read(self):
        return (self.cpu - self.start_cpu) / len(self.times)

    def run(self, command, env, reads=True):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        output = run(command, env)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
        self.cpu += cpu
        if not reads:
            self.start_cpu += cpu
        return output


def in_one_process(args, env):
    per_round = max(1, args.reads // ROUNDS)
    plugin, bare = Side("plug-in"), Side("bare C client")
    run([args.pluginloop, args.plugin, str(WARM_UP)], env)
    run([args.bareread, "-n", str(WARM_UP)], env)
    for _ in range(ROUNDS):
        plugin.times += microseconds(plugin.run([args.pluginloop, args.plugin, str(per_round)], env))
        bare.times += microseconds(bare.run([args.bareread, "-n", str(per_round)], env))
        plugin.run([args.pluginloop, args.plugin, "0"], env, reads=False)
        bare.run([args.bareread, "-n", "0"], env, reads=False)
    return plugin, bare


def one_process_per_read(args, env):
    def timed(side, command):
        start = time.perf_counter()
        side.run(command, env)
        side.times.append((time.perf_counter() - start) * 1e6)

    for _ in range(WARM_UP // 2):
        run([args.fmxhost, args.plugin, "EID_Read"], env)
        run([args.bareread], env)
    plugin, bare = Side("plug-in (fmxhost)"), Side("bare C client")
    plugin_start, bare_start = Side("fmxhost, EID_Version"), Side("bare C client, no read")
    for _ in range(args.processes):
        timed(plugin, [args.fmxhost, args.plugin, "EID_Read"])
        timed(bare, [args.bareread])
        timed(plugin_start, [args.fmxhost, args.plugin, "EID_Version"])
        timed(bare_start, [args.bareread, "-n", "0"])
    return plugin, bare, plugin_start, bare_start


def report_side(side):
    print(f"  {side.name:28}{percentile(side.times, 0.5) / 1000:>8.2f}ms"
          f"{percentile(side.times, 0.9) / 1000:>8.2f}ms{side.cpu_per_read() * 1000:>10.2f}ms")


def report_times(title, plugin, bare, goal, start_up=()):
    print(f"\n{title}")
    print(f"  {'':28}{'median':>10}{'p90':>10}{'CPU/read':>12}")
    report_side(plugin)
    report_side(bare)
    median = percentile(plugin.times, 0.5) / percentile(bare.times, 0.5)
    p90 = percentile(plugin.times, 0.9) / percentile(bare.times, 0.9)
    cpu = plugin.cpu_per_read() / bare.cpu_per_read()
    verdict = "met" if median <= goal else "NOT met"
    print(f"  {'plug-in / bare client':28}{median:>9.3f}x{p90:>9.3f}x{cpu:>11.3f}x"
          f"   goal {goal}x on the median: {verdict}")
    if start_up:
        print("  of which the processes' start and end, without reading the card:")
        for side in start_up:
            report_side(side)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for name in ("plugin", "fmxhost", "pluginloop", "bareread"):
        parser.add_argument(f"--{name}", required=True)
    parser.add_argument("--reads", type=int, default=500, help="reads per side in one process")
    parser.add_argument("--processes", type=int, default=100, help="processes per side")
    args = parser.parse_args()

    profile = samplecard.sample_profile()
    sizes = [len(bytes.fromhex(profile["files"][path])) for path in FILES]
    fewest = len(FILES) + sum(n // 255 + 1 for n in sizes)
    print(f"Sample card: identity {sizes[0]} bytes, address {sizes[1]}, photo {sizes[2]}; "
          f"fewest commands per read: {fewest}")

    with rig.Rig() as r:
        log = os.path.join(r.dir, "card.log")
        r.insert(profile, log=log)
        env = r.env()
        print("\nCommands the card received per read")
        for what, n in count_commands(args, env, log):
            print(f"  {what:28}{n:>4}   {'the fewest' if n == fewest else f'NOT the fewest ({fewest})'}")
        plugin, bare = in_one_process(args, env)
        report_times(f"One process, {len(plugin.times)} reads each (plug-in loaded once)",
                     plugin, bare, 1.05)
        plugin, bare, *start_up = one_process_per_read(args, env)
        report_times(f"One process per read, {len(plugin.times)} each", plugin, bare, 1.1, start_up)


if __name__ == "__main__":
    main()
