#!/usr/bin/python3
"""End-to-end tests of the card events: fmxhost loads Tessarin.fmx against a private pcscd with
the virtual reader, waits for cards and watches for insertions, sending Idle messages as the
host does.

    events.py --plugin Tessarin.fmx --fmxhost fmxhost SCENARIO
    events.py --list
"""

import os
import queue
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import e2e  # noqa: E402
import rig  # noqa: E402
from e2e import CALL_TIMEOUT, SLOT0, SLOT1, document, error_document, sample  # noqa: E402

TIMEOUT = ("No card was inserted in time. Insert the card and try again.", "timeout")
FILE, SCRIPT = "Desk.fmp12", "Fill from card"


def reader_document(reader):
    return document([("error", ""), ("reader", reader)])


def start_line(reader):
    return f"StartScript\t{FILE}\t{SCRIPT}\t3\t{reader}"


class Host:
    """fmxhost running in the background, its output read line by line as it comes."""

    def __init__(self, s, env, *arguments):
        self.started = time.monotonic()
        self.process = subprocess.Popen([s.fmxhost, *arguments], env=env,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        self.lines = queue.Queue()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.process.stdout:
            self.lines.put((time.monotonic(), line.decode("utf-8").rstrip("\n")))
        self.lines.put((time.monotonic(), None))

    def line(self, timeout):
        """The next line and when it came, or (None, None) when none came in time."""
        try:
            return self.lines.get(timeout=timeout)
        except queue.Empty:
            return None, None

    def lines_until_end(self):
        got = []
        while True:
            _, line = self.line(CALL_TIMEOUT)
            if line is None:
                break
            got.append(line)
        self.process.wait(timeout=CALL_TIMEOUT)
        self.ended = time.monotonic()
        return got

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()

    def cpu_seconds(self):
        return cpu_seconds(f"/proc/{self.process.pid}/stat")


def cpu_seconds(stat):
    """The processor time, user and system, of the process or thread whose /proc stat file this is."""
    with open(stat) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def start_and_stop(s, env):
    """How long fmxhost takes to load the plug-in, call a function and shut down, on this machine
    now: what a process costs beside the time a wait or a watch holds it."""
    begun = time.monotonic()
    subprocess.run([s.fmxhost, s.plugin, "EID_Version"], env=env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, check=True, timeout=CALL_TIMEOUT)
    return time.monotonic() - begun


def watch(s, env, seconds, *arguments):
    return Host(s, env, "--idle", str(seconds), s.plugin, "EID_OnCardInserted", FILE, SCRIPT,
                *arguments)


def first_document(host):
    """The function's document: the lines up to the closing brace."""
    lines = []
    while not lines or lines[-1] != "}":
        _, line = host.line(CALL_TIMEOUT)
        if line is None:
            raise AssertionError(f"no document, only {lines}")
        lines.append(line)
    return "\n".join(lines)


# Scenarios.

def wait_timeout(s):
    """A wait with no card ends with the timeout document, on time."""
    with rig.Rig() as r:
        for seconds in ("0", "2"):
            begun = time.monotonic()
            got = s.call(r.env(), "EID_WaitForCard", seconds)
            took = time.monotonic() - begun
            s.check(f"EID_WaitForCard({seconds}) without a card", got, error_document(*TIMEOUT))
            s.check(f"EID_WaitForCard({seconds}) took its time, not more",
                    float(seconds) <= took < float(seconds) + 0.8, True)
        s.check("a bad number of seconds", s.call(r.env(), "EID_WaitForCard", "601"),
                error_document("The number of seconds to wait must be a whole number from 0 to 600.",
                               "seconds: 601"))
        s.check("an unknown reader", s.call(r.env(), "EID_WaitForCard", "5", "Virtual PCD 00 09"),
                error_document("There is no card reader named Virtual PCD 00 09.", ""))


def wait_present(s):
    """A card already in returns at once, naming its reader."""
    with rig.Rig() as r:
        r.insert(sample(), slot=1)
        begun = time.monotonic()
        s.check("EID_WaitForCard(30) with a card in the second slot",
                s.call(r.env(), "EID_WaitForCard", "30"), reader_document(SLOT1))
        s.check("returned at once", time.monotonic() - begun < 0.5, True)
        s.check("naming the empty slot waits for it",
                s.call(r.env(), "EID_WaitForCard", "0", SLOT0), error_document(*TIMEOUT))


def wait_insertion(s):
    """A wait woken by a card inserted a second later."""
    with rig.Rig() as r:
        host = Host(s, r.env(), s.plugin, "EID_WaitForCard", "30")
        try:
            time.sleep(1)
            r.insert(sample())
            inserted = time.monotonic()
            got = first_document(host)
            s.check("EID_WaitForCard(30) woken by the insertion", got, reader_document(SLOT0))
            host.lines_until_end()
            s.check("returned soon after the card came", host.ended - inserted < 1.0, True)
        finally:
            host.kill()


def watch_insertions(s):
    """A watch starts the script once per insertion, never while the card stays."""
    with rig.Rig() as r:
        r.insert(sample())  # present before the watch: not an insertion
        host = watch(s, r.env(), 14)
        try:
            s.check("EID_OnCardInserted", first_document(host), document([("error", "")]))
            _, line = host.line(2)
            s.check("no start for the card already in", line, None)
            r.remove()
            r.insert(sample())
            _, line = host.line(5)
            s.check("the first insertion starts the script", line, start_line(SLOT0))
            for _ in range(2):  # the started script reads the card, which resets it
                s.check("the card is read", s.call(r.env(), "EID_Read"), e2e.card_document())
            _, line = host.line(3)
            s.check("nothing while the card stays, even when it is read", line, None)
            r.remove()
            r.insert(sample())
            _, line = host.line(5)
            s.check("the second insertion starts it again", line, start_line(SLOT0))
            s.check("nothing more until the end", host.lines_until_end(), [])
            s.check("fmxhost exit status", host.process.returncode, 0)
        finally:
            host.kill()


def wait_beside_other_card(s):
    """A card of another kind in the first slot: a wait passes it by, probing it once, and
    returns when the eID card comes into the second slot."""
    with rig.Rig() as r:
        log = os.path.join(r.dir, "other.log")
        r.insert(e2e.other_card(), slot=0, log=log)
        s.check("EID_WaitForCard(0) with only the other card", s.call(r.env(), "EID_WaitForCard", "0"),
                error_document(*TIMEOUT))
        start = e2e.log_length(log)
        host = Host(s, r.env(), s.plugin, "EID_WaitForCard", "30")
        try:
            time.sleep(2.5)  # a few slices of the wait
            r.insert(sample(), slot=1)
            s.check("EID_WaitForCard(30) woken by the eID card", first_document(host),
                    reader_document(SLOT1))
            host.lines_until_end()
        finally:
            host.kill()
        s.check("the other card probed once by the wait, with one SELECT FILE",
                e2e.apdus_in(log, start), [f"APDU 00A4080C06{e2e.IDENTITY} 6A82"])
        s.check("the other card never reset", e2e.resets_in(log), [])


def watch_beside_other_card(s):
    """A watch starts nothing for a card of another kind, probes it once per insertion, and
    starts the script for the eID card."""
    with rig.Rig() as r:
        log = os.path.join(r.dir, "other.log")
        host = watch(s, r.env(), 14)
        try:
            s.check("EID_OnCardInserted", first_document(host), document([("error", "")]))
            time.sleep(0.5)
            r.insert(e2e.other_card(), slot=0, log=log)
            _, line = host.line(3)
            s.check("the other card starts nothing", line, None)
            r.insert(sample(), slot=1)
            _, line = host.line(5)
            s.check("the eID card starts the script", line, start_line(SLOT1))
            s.check("nothing more until the end", host.lines_until_end(), [])
        finally:
            host.kill()
        s.check("the other card probed once, with one SELECT FILE", e2e.apdus_in(log),
                [f"APDU 00A4080C06{e2e.IDENTITY} 6A82"])
        s.check("the other card never reset", e2e.resets_in(log), [])


def watch_named_reader(s):
    """A watch on the second slot ignores the first."""
    with rig.Rig() as r:
        host = watch(s, r.env(), 10, SLOT1)
        try:
            s.check("EID_OnCardInserted on the second slot", first_document(host),
                    document([("error", "")]))
            time.sleep(0.5)
            r.insert(sample(), slot=0)
            _, line = host.line(2)
            s.check("a card in the first slot starts nothing", line, None)
            r.insert(sample(), slot=1)
            _, line = host.line(5)
            s.check("a card in the second slot starts the script", line, start_line(SLOT1))
            host.lines_until_end()
        finally:
            host.kill()


def watch_pcscd_restart(s):
    """pcscd killed and started again during a watch: no spinning meanwhile, and the watch
    goes on with the new service."""
    with rig.Rig() as r:
        host = watch(s, r.env(), 20)
        try:
            first_document(host)
            time.sleep(0.5)
            r.pull_cards()
            r.stop_pcscd()
            before = host.cpu_seconds()
            time.sleep(3)
            used = host.cpu_seconds() - before
            s.check(f"the watch rests while pcscd is away ({used:.2f} s of CPU in 3 s)",
                    used < 0.3, True)
            r.restart_pcscd()
            time.sleep(1.5)  # the watch tries again about once a second
            r.insert(sample())
            _, line = host.line(6)
            s.check("an insertion after the restart starts the script", line, start_line(SLOT0))
            host.lines_until_end()
            s.check("fmxhost exit status", host.process.returncode, 0)
        finally:
            host.kill()


def watch_pcscd_restart_card_left_in(s):
    """A card left in while pcscd restarts is no insertion: the new service counts the card's
    events afresh, and the watch does not compare its counters with the old service's."""
    with rig.Rig() as r:
        host = watch(s, r.env(), 20)
        try:
            first_document(host)
            time.sleep(0.5)
            for count in range(2):  # in, out and in: the old service's counter moves on to 3
                if count:
                    r.remove()
                r.insert(sample(), stay=True)
                _, line = host.line(5)
                s.check("an insertion starts the script", line, start_line(SLOT0))
            r.stop_pcscd()
            time.sleep(1.5)  # the watch finds the service gone, and keeps trying
            r.restart_pcscd()
            _, line = host.line(3)
            s.check("the card left in across the restart starts nothing", line, None)
            r.remove()
            r.insert(sample())
            _, line = host.line(6)
            s.check("a card inserted after the restart starts it", line, start_line(SLOT0))
            host.lines_until_end()
            s.check("fmxhost exit status", host.process.returncode, 0)
        finally:
            host.kill()


def started_script(host, timeout):
    """The next script start: its script's name and its parameter, which may be a document over
    several lines; (None, None) when none came in time."""
    _, line = host.line(timeout)
    if line is None:
        return None, None
    _, _, script, _, parameter = line.split("\t", 4)
    lines = [parameter]
    while parameter == "{" and lines[-1] != "}":
        _, more = host.line(CALL_TIMEOUT)
        lines.append(more)
    return script, "\n".join(lines)


def watch_delivers_card(s):
    """A watch with fields reads each eID card put in and gives its script the fields, with the
    reader; the removal script starts when the card is taken out. A card of another kind starts
    neither."""
    with rig.Rig() as r:
        host = Host(s, r.env(), "--idle", "10", s.plugin, "EID_OnCardInserted", FILE, "Card in", "",
                    "surname givenNames", "--", "EID_OnCardRemoved", FILE, "Card out")
        try:
            for function in ("EID_OnCardInserted", "EID_OnCardRemoved"):
                s.check(function, first_document(host), document([("error", "")]))
            time.sleep(0.5)
            r.insert(sample())
            delivered = e2e.card_document(names=["surname", "givenNames"])[:-2] + \
                f',\n  "reader": "{SLOT0}"\n}}'
            s.check("the card in: its fields to the insertion script", started_script(host, 5),
                    ("Card in", delivered))
            r.remove()
            s.check("the card out: the removal script", started_script(host, 5),
                    ("Card out", SLOT0))
            r.insert(e2e.other_card(), slot=1)
            time.sleep(1)
            r.remove(slot=1)
            s.check("a card of another kind, in and out: nothing", started_script(host, 3),
                    (None, None))
            host.lines_until_end()
            s.check("fmxhost exit status", host.process.returncode, 0)
        finally:
            host.kill()


def shutdown_ends_watch(s):
    """Shutdown stops a watch and joins its thread within a second."""
    with rig.Rig() as r:
        own = start_and_stop(s, r.env())
        host = watch(s, r.env(), 1)
        try:
            lines = host.lines_until_end()
            s.check("the document and nothing else", lines, ["{", '  "error": ""', "}"])
            took = host.ended - host.started - own
            s.check(f"fmxhost ended within a second of its Idle messages ({took:.2f} s beside "
                    f"its own {own:.2f} s)", took < 2.0, True)
            s.check("fmxhost exit status", host.process.returncode, 0)
        finally:
            host.kill()


def shutdown_ends_wait(s):
    """Shutdown during a 30 s wait ends it within a second."""
    with rig.Rig() as r:
        own = start_and_stop(s, r.env())
        host = Host(s, r.env(), "--shutdown-after", "1", s.plugin, "EID_WaitForCard", "30")
        try:
            got = first_document(host)
            s.check("the wait's document", got,
                    error_document("The wait for a card was stopped.", "stopped"))
            host.lines_until_end()
            took = host.ended - host.started - own
            s.check(f"fmxhost ended within a second of Shutdown ({took:.2f} s beside its own "
                    f"{own:.2f} s)", took < 2.0, True)
            s.check("fmxhost exit status", host.process.returncode, 0)
        finally:
            host.kill()


def server_refuses(s):
    """The server's scripting process and the Data API cannot start scripts."""
    with rig.Rig() as r:
        for application in ("7", "9"):
            got = subprocess.run([s.fmxhost, "--application", application, s.plugin,
                                  "EID_OnCardInserted", FILE, SCRIPT], env=r.env(),
                                 capture_output=True, timeout=CALL_TIMEOUT)
            s.check(f"EID_OnCardInserted for application {application}",
                    e2e.strip_line_feed(got.stdout).decode("utf-8"),
                    error_document("Scripts cannot be started when a card is inserted here: only "
                                   "FileMaker Pro runs them, not FileMaker Server or the Data API.",
                                   f"application {application}"))


SCENARIOS = {f.__name__: f for f in (wait_timeout, wait_present, wait_insertion, watch_insertions,
                                     wait_beside_other_card, watch_beside_other_card,
                                     watch_named_reader, watch_pcscd_restart,
                                     watch_pcscd_restart_card_left_in, watch_delivers_card,
                                     shutdown_ends_watch,
                                     shutdown_ends_wait, server_refuses)}


if __name__ == "__main__":
    sys.exit(e2e.main(__doc__, SCENARIOS))
