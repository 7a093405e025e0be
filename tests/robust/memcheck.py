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

    def fmxhost_call(self, what, env, function, *arguments):
        out = self.run(what, env, [self.fmxhost, self.plugin, function, *arguments])
        self.check(f"{what}: a document", out.startswith("{\n") or function != "EID_Read", True)

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
        s.fmxhost_call("EID_Readers", env, "EID_Readers")
        s.fmxhost_call("EID_Version", env, "EID_Version")
        s.fmxhost_call("EID_Read without the photo", env, "EID_Read", SLOT0, "0")
        s.fmxhost_call("the step EID Read Card", env, "EID Read Card", "", "1")
        s.fmxhost_call("EID_Read of the empty slot", env, "EID_Read", SLOT1)
        s.fmxhost_call("EID_Read of an unknown reader", env, "EID_Read", "Lecteur de Liège")
        r.remove()
        for what, profile in [("no identity file", variant(without=[IDENTITY])),
                              ("pulled while reading the address", variant(pull_after=3)),
                              ("a status word while reading", variant(status=[{"command": 4, "sw": "6F00"}])),
                              ("an identity file that never ends", variant(endless=[IDENTITY]))]:
            r.insert(profile)
            s.fmxhost_call(what, env, "EID_Read", SLOT0)
            r.remove()
    with tempfile.TemporaryDirectory() as folder:
        env = dict(os.environ, PCSCLITE_CSOCK_NAME=os.path.join(folder, "pcscd.comm"))
        s.fmxhost_call("no smart-card service", env, "EID_Read")
        s.fmxhost_call("no smart-card service, EID_Readers", env, "EID_Readers")


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
