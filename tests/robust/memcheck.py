#!/usr/bin/python3
"""The production plug-in under valgrind's memcheck, through fmxhost and veelhost, for a batch
of reads and failures against the real pcscd and the virtual card: no invalid access, no use
of undefined values, nothing definitely or indirectly lost.

    memcheck.py --plugin Tessarin.fmx --fmxhost fmxhost --veelhost veelhost
"""

import argparse
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

import e2e  # noqa: E402
from e2e import IDENTITY, SLOT0, SLOT1, rig, sample, variant  # noqa: E402

ERRORS = 99
VALGRIND = ["valgrind", "--tool=memcheck", "--quiet", f"--error-exitcode={ERRORS}",
            "--leak-check=full", "--show-leak-kinds=definite,indirect",
            "--errors-for-leak-kinds=definite,indirect", "--track-origins=yes"]


class Memcheck(e2e.Scenario):
    def __init__(self, plugin, fmxhost, veelhost):
        super().__init__(plugin, fmxhost)
        self.veelhost = veelhost

    def run(self, what, env, command):
        done = subprocess.run(VALGRIND + command, env=env, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=300)
        report = done.stderr.decode(errors="replace")
        out = done.stdout.decode("utf-8", errors="replace")
        clean = done.returncode == 0
        self.check(f"{what}: memcheck clean (exit status)", done.returncode, 0)
        if not clean:
            print("\n".join("        " + line for line in report.splitlines()[-60:]))
        return out

    def read(self, what, env, *arguments):
        """EID_Read through fmxhost: its answer must be a JSON document."""
        out = self.run(what, env, [self.fmxhost, self.plugin, "EID_Read", *arguments])
        self.check(f"{what}: a document", out.startswith("{\n") and out.endswith("}\n"), True)

    def answer(self, what, env, want, function, *arguments):
        """A function or a step through fmxhost: its exact answer."""
        out = self.run(what, env, [self.fmxhost, self.plugin, function, *arguments])
        self.check(f"{what}: the answer", out, want + "\n")

    def watch_shut_down(self, what, r):
        """A watch sees an insertion whose script no Idle starts, then Shutdown: the insertion is
        forgotten with all it held. The second wait, on the empty slot, gives the watch its time
        to see the card before Shutdown."""
        command = [self.fmxhost, self.plugin, "EID_OnCardInserted", "Desk.fmp12", "Card", "--",
                   "EID_WaitForCard", "60", "--", "EID_WaitForCard", "3", SLOT1]
        process = subprocess.Popen(VALGRIND + command, env=r.env(), stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            while process.stdout.readline() not in (b"}\n", b""):  # the watch's document
                pass
            r.insert(sample())
            out, err = process.communicate(timeout=300)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
        self.check(f"{what}: memcheck clean (exit status)", process.returncode, 0)
        if process.returncode != 0:
            report = err.decode(errors="replace").splitlines()[-60:]
            print("\n".join("        " + line for line in report))
        seen = e2e.document([("error", ""), ("reader", SLOT0)])
        self.check(f"{what}: the first wait saw the card", seen in out.decode(), True)
        r.remove()

    def batch(self, what, env, calls, *arguments):
        out = self.run(what, env, [self.veelhost, self.plugin, "--threads", "2", "--calls",
                                   str(calls), "EID_Read", *arguments])
        lines = out.splitlines()
        self.check(f"{what}: every call answered", len(lines), 2 * calls + 1)


def checks(s):
    """A batch of reads and failures, each under memcheck."""
    with rig.Rig() as r:
        env = r.env()
        r.insert(sample())
        s.batch("20 reads from two threads", env, 10)
        s.answer("EID_Readers", env, f"{SLOT0}\r{SLOT1}", "EID_Readers")
        s.answer("EID_Version", env, "Tessarin 1.0", "EID_Version")
        s.answer("EID_Read without the photo", env, e2e.card_document(photo=b""), "EID_Read",
                 SLOT0, "0")
        s.answer("the step EID Read Card", env, e2e.card_document(), "EID Read Card", "", "1")
        s.answer("EID_ReadFields", env, e2e.card_document(names=["photo", "surname", "chipNumber"]),
                 "EID_ReadFields", "photo surname chipNumber")
        s.answer("EID_ReadFields of an unknown field", env,
                 e2e.error_document("There is no card field named nope.", ""), "EID_ReadFields",
                 "nope")
        s.read("EID_Read of the empty slot", env, SLOT1)
        s.read("EID_Read of an unknown reader", env, "Lecteur de Liège")
        r.remove()
        for what, profile in [("no identity file", variant(without=[IDENTITY])),
                              ("pulled while reading the address", variant(pull_after=3)),
                              ("a status word while reading", variant(status=[{"command": 4, "sw": "6F00"}])),
                              ("an identity file that never ends", variant(endless=[IDENTITY]))]:
            r.insert(profile)
            s.read(what, env, SLOT0)
            r.remove()
        s.watch_shut_down("a watch's insertion not started at Shutdown", r)
    with tempfile.TemporaryDirectory() as folder:
        env = dict(os.environ, PCSCLITE_CSOCK_NAME=os.path.join(folder, "pcscd.comm"))
        s.read("no smart-card service", env)
        s.answer("no smart-card service, EID_Readers", env,
                 f"ERROR: {e2e.NO_SERVICE} (SCardEstablishContext 0x8010001D)", "EID_Readers")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--plugin", required=True)
    parser.add_argument("--fmxhost", required=True)
    parser.add_argument("--veelhost", required=True)
    args = parser.parse_args()
    s = Memcheck(os.path.abspath(args.plugin), os.path.abspath(args.fmxhost),
                 os.path.abspath(args.veelhost))
    return e2e.run(s, checks)


if __name__ == "__main__":
    sys.exit(main())
