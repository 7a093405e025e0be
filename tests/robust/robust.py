#!/usr/bin/python3
"""Robustness of the production plug-in against the real pcscd and the virtual card: several
readers of one card at once, faults of the service and of the card, and a soak.

    robust.py --plugin Tessarin.fmx --fmxhost fmxhost --veelhost veelhost SCENARIO
    robust.py --list

Every call must end with a document, the card's or an error, never a record put together from
answers meant for someone else; after each fault the next read must succeed. A read that waits
for another's conversation may still end in an error: when the card was reset for it twice
while it waited (each conversation ends with a reset), which takes many readers at once. Each scenario
starts its own pcscd (see virtualcard/rig.py), so scenarios run side by side.
"""

import argparse
import json
import os
import signal
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

import e2e  # noqa: E402
from e2e import PHOTO, SLOT0, card_document, error_document, rig, sample, variant  # noqa: E402

CARD = card_document()
CARD_NO_PHOTO = card_document(photo=b"")
CALL_TIMEOUT = 120


def kind(text):
    """What a result is: the card, the card without its photo, an error, or corrupt."""
    if text == CARD:
        return "card"
    if text == CARD_NO_PHOTO:
        return "card without photo"
    try:
        document = json.loads(text)
    except ValueError:
        return "corrupt"
    if list(document) == ["error", "errorDetail"] and document["error"]:
        if text == error_document(document["error"], document["errorDetail"]):
            return f"error: {document['error']} ({document['errorDetail']})"
    return "corrupt"


def tally(texts):
    counts = {}
    for text in texts:
        counts[kind(text)] = counts.get(kind(text), 0) + 1
    return counts


def show(counts):
    return ", ".join(f"{n} x {what}" for what, n in sorted(counts.items()))


class Robust(e2e.Scenario):
    def __init__(self, plugin, fmxhost, veelhost, sanitized=False):
        super().__init__(plugin, fmxhost)
        self.veelhost = veelhost
        self.sanitized = sanitized

    def check(self, what, got, want):
        if isinstance(want, str) and isinstance(got, str):
            return super().check(what, got, want)
        if got == want:
            self.passed += 1
            print(f"ok      {what}")
        else:
            self.failed += 1
            print(f"FAILED  {what}\n        expected {want!r}\n        got      {got!r}")

    def start_host(self, env, threads=1, calls=1, warm_up=0, pause_ms=0, function="EID_Read",
                   *arguments):
        return subprocess.Popen(
            [self.veelhost, self.plugin, "--threads", str(threads), "--calls", str(calls),
             "--warm-up", str(warm_up), "--pause-ms", str(pause_ms), function, *arguments],
            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def finish_host(self, process, timeout=CALL_TIMEOUT):
        """The results of a veelhost run, and its figures."""
        try:
            out, err = process.communicate(timeout=timeout)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
        if process.returncode != 0:
            raise AssertionError(f"veelhost exited {process.returncode}: {err.decode(errors='replace')}")
        lines = [json.loads(line) for line in out.decode("utf-8").splitlines()]
        figures = lines.pop()
        for line in lines:
            if line["error"] != 0 or line["sets"] != 1:
                raise AssertionError(f"a call returned error {line['error']}, set {line['sets']} times")
        return [line["text"] for line in lines], figures

    def host(self, env, **options):
        return self.finish_host(self.start_host(env, **options))

    def no_corrupt(self, what, texts):
        counts = tally(texts)
        print(f"        {what}: {show(counts)}")
        self.check(f"{what}: every call ends with the card's document or an error document",
                   counts.get("corrupt", 0), 0)
        return counts

    def all_cards(self, what, texts):
        counts = self.no_corrupt(what, texts)
        self.check(f"{what}: every read gives the card", counts, {"card": len(texts)})

    def next_read_succeeds(self, env, what):
        self.check(f"{what}: the next read succeeds", kind(self.call(env, "EID_Read")), "card")


# Several readers of one card.

def threads_one_host(s):
    """Two threads of one host process read the card at the same time."""
    with rig.Rig() as r:
        r.insert(sample())
        texts, _ = s.host(r.env(), threads=2, calls=10)
        s.no_corrupt("2 threads x 10 reads", texts)
        s.next_read_succeeds(r.env(), "after two threads")


def two_hosts(s):
    """Two host processes read the card at the same time."""
    with rig.Rig() as r:
        r.insert(sample())
        hosts = [s.start_host(r.env(), calls=10) for _ in range(2)]
        texts = [t for h in hosts for t in s.finish_host(h)[0]]
        s.no_corrupt("2 processes x 10 reads", texts)
        s.next_read_succeeds(r.env(), "after two processes")


def interloper(s):
    """Another program sends its own commands to the card (selecting the photo file) while
    the plug-in reads; its commands must not land between a SELECT FILE and its READ BINARYs."""
    with rig.Rig() as r:
        r.insert(variant(delay_ms=2))
        for mode in ([], ["--transaction"]):
            other = subprocess.Popen([rig.PYTHON, os.path.join(HERE, "stoorzender.py"), SLOT0,
                                      "8", *mode], env=r.env(), stdout=subprocess.PIPE,
                                     stdin=subprocess.DEVNULL)
            try:
                time.sleep(0.3)
                texts, _ = s.host(r.env(), calls=10, pause_ms=50)
            finally:
                out, _ = other.communicate(timeout=CALL_TIMEOUT)
            label = "with" if mode else "without"
            print(f"        the other program, {label} transactions: {out.decode().strip()}")
            s.all_cards(f"10 reads beside another program {label} transactions", texts)
            s.check(f"the other program {label} transactions got its turns", b" 0 commands" in out,
                    False)
        s.next_read_succeeds(r.env(), "after the other program")


def card_reset(s):
    """Another program resets the card (its own SCardReconnect with SCARD_RESET_CARD, or its
    own transaction ended with SCARD_RESET_CARD) while the plug-in reads: every result is the
    card's whole document or an error, never a record put together from two card sessions."""
    with rig.Rig() as r:
        r.insert(variant(delay_ms=2))
        for mode in ("--reconnect", "--end-transaction"):
            other = subprocess.Popen([rig.PYTHON, os.path.join(HERE, "resetter.py"), SLOT0, "6",
                                      mode], env=r.env(), stdout=subprocess.PIPE,
                                     stdin=subprocess.DEVNULL)
            try:
                time.sleep(0.3)
                texts, _ = s.host(r.env(), threads=2, calls=10, pause_ms=20)
            finally:
                out, _ = other.communicate(timeout=CALL_TIMEOUT)
            print(f"        the resetter ({mode[2:]}): {out.decode().strip()}")
            s.no_corrupt(f"2 threads x 10 reads beside resets by {mode[2:]}", texts)
            s.check(f"{mode[2:]}: the resetter reset the card", out.startswith(b"0 resets"),
                    False)
            s.next_read_succeeds(r.env(), f"after resets by {mode[2:]}")


def bursts(s):
    """Bursts of reads from four host processes of two threads each."""
    with rig.Rig() as r:
        r.insert(sample())
        for burst in range(3):
            hosts = [s.start_host(r.env(), threads=2, calls=2) for _ in range(4)]
            texts = [t for h in hosts for t in s.finish_host(h)[0]]
            s.no_corrupt(f"burst {burst + 1}: 4 processes x 2 threads x 2 reads", texts)
            s.next_read_succeeds(r.env(), f"after burst {burst + 1}")


# Faults of the card and of the service.

def pulled_each_command(s):
    """The card pulled after each command of a read in turn; then put back and read."""
    commands = e2e.minimum_commands(sample())
    total = len(commands)
    photo_from = commands.index("00A4080C06" + PHOTO)
    with rig.Rig() as r:
        results = []
        for answered in range(total + 1):
            r.insert(variant(pull_after=answered))
            results.append(kind(s.call(r.env(), "EID_Read")))
            r.remove()
        before_photo = results[:photo_from]
        during_photo = results[photo_from:total]
        print(f"        pulled after 0..{total} commands: {results}")
        s.check("pulled before the photo: an error document",
                [k.startswith("error: ") for k in before_photo], [True] * len(before_photo))
        s.check("pulled while reading the photo: the card without its photo", during_photo,
                ["card without photo"] * len(during_photo))
        s.check("pulled after the last command: the whole card", results[total], "card")
        r.insert(sample())
        s.next_read_succeeds(r.env(), "card put back")


def stall(s):
    """A card that stalls for three seconds in the middle of the address file."""
    with rig.Rig() as r:
        r.insert(variant(stall=[{"command": 4, "ms": 3000}]))
        started = time.monotonic()
        got = s.call(r.env(), "EID_Read")
        took = time.monotonic() - started
        s.check("a stalling card is waited for and read", kind(got), "card")
        s.check("the read took the stall", took >= 3.0, True)
        s.next_read_succeeds(r.env(), "after the stall")


def reader_gone(s):
    """The card leaves between EID_Readers and EID_Read, then comes back."""
    with rig.Rig() as r:
        r.insert(sample())
        names = s.call(r.env(), "EID_Readers").split("\r")
        s.check("EID_Readers lists the slot", SLOT0 in names, True)
        r.remove()
        s.check("EID_Read of the listed reader, card gone", s.call(r.env(), "EID_Read", SLOT0),
                error_document(*e2e.NO_CARD))
        r.insert(sample())
        s.check("EID_Read of the listed reader, card back", kind(s.call(r.env(), "EID_Read", SLOT0)),
                "card")


def pcscd_killed(s):
    """pcscd killed (SIGKILL) in the middle of a read, at several points; the host process that
    was reading goes on, and reads the card once a new pcscd runs."""
    photo_from = e2e.minimum_commands(sample()).index("00A4080C06" + PHOTO)
    for answered in (1, 3, photo_from + 1):
        r = rig.Rig().start()
        host = None
        try:
            log = os.path.join(r.dir, "card.log")
            r.insert(variant(mute_after=answered), log=log)
            # The host reads on, every 400 ms: through the outage and once the service is back
            # (at the same socket).
            host = s.start_host(r.env(), calls=12, pause_ms=400)
            e2e.await_line(log, lambda line: line.startswith("APDU ") and line.endswith(" -"))
            r.pcscd.send_signal(signal.SIGKILL)
            r.pcscd.wait()
            r.close()
            with rig.Rig() as again:
                again.insert(sample())
                texts, _ = s.finish_host(host)
        finally:
            r.close()
            if host is not None and host.poll() is None:
                host.kill()
                host.wait()
        print(f"        killed after {answered} commands: {kind(texts[0])}; then {show(tally(texts[1:]))}")
        if answered < photo_from:
            s.check(f"killed after {answered} commands: the read ends with an error",
                    kind(texts[0]).startswith("error: "), True)
        else:
            s.check(f"killed after {answered} commands, in the photo: the card without it",
                    kind(texts[0]), "card without photo")
        s.check(f"killed after {answered} commands: every call ends with a document",
                "corrupt" in map(kind, texts), False)
        s.check(f"killed after {answered} commands: the same host reads the card "
                "from the new service", kind(texts[-1]), "card")


def pcscd_fds(r):
    return len(os.listdir(f"/proc/{r.pcscd.pid}/fd"))


def soak(s):
    """A thousand reads in a row in one host process: the process's memory and descriptors
    stay put, and the service is left with no context of ours."""
    with rig.Rig() as r:
        r.insert(sample())
        service_before = pcscd_fds(r)
        texts, figures = s.host(r.env(), calls=1000, warm_up=20)
        time.sleep(0.5)  # the service closes what its clients closed
        service_after = pcscd_fds(r)
        print(f"        1000 reads in {figures['seconds']:.1f} s; host memory "
              f"{figures['rss_kib_before']} KiB -> {figures['rss_kib_after']} KiB, descriptors "
              f"{figures['fds_before']} -> {figures['fds_after']}; pcscd descriptors "
              f"{service_before} -> {service_after}")
        s.all_cards("1000 reads", texts)
        s.check("no descriptor left open in the host", figures["fds_after"], figures["fds_before"])
        s.check("no host object left", figures["host_objects_left"], 0)
        growth = figures["rss_kib_after"] - figures["rss_kib_before"]
        if not s.sanitized:  # a sanitizer's own bookkeeping grows with every allocation
            s.check(f"host memory grows by less than 1 MiB (grew {growth} KiB)", growth < 1024,
                    True)
        s.check("no context left open in pcscd", service_after, service_before)


SCENARIOS = {f.__name__: f for f in (threads_one_host, two_hosts, interloper, card_reset, bursts,
                                     pulled_each_command, stall, reader_gone, pcscd_killed, soak)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--plugin")
    parser.add_argument("--fmxhost")
    parser.add_argument("--veelhost")
    parser.add_argument("--sanitized", action="store_true",
                        help="the programs are built with a sanitizer: memory figures are its")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("scenario", nargs="?", choices=sorted(SCENARIOS))
    args = parser.parse_args()
    if args.list:
        print("\n".join(SCENARIOS))
        return 0
    if not (args.plugin and args.fmxhost and args.veelhost and args.scenario):
        parser.error("--plugin, --fmxhost, --veelhost and a scenario are needed")

    signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
    s = Robust(os.path.abspath(args.plugin), os.path.abspath(args.fmxhost),
               os.path.abspath(args.veelhost), args.sanitized)
    print(f"{args.scenario}: {SCENARIOS[args.scenario].__doc__.strip().splitlines()[0]}")
    return e2e.run(s, SCENARIOS[args.scenario])


if __name__ == "__main__":
    sys.exit(main())
