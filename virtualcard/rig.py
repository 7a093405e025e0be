#!/usr/bin/python3
"""A private smart-card service with the virtual reader, and virtual cards to put in it.

    rig.py [--profile PROFILE.json | --sample | --no-card] [--no-reader] -- COMMAND [ARG...]

starts pcscd with the virtual reader (two slots, "Virtual PCD 00 00" and "Virtual PCD 00 01"),
puts the card in the first slot once the service is ready, runs COMMAND with
PCSCLITE_CSOCK_NAME pointing at the private service, then stops everything it started.

pcscd always binds /run/pcscd/pcscd.comm and will not start beside another pcscd, so it runs
in a mount namespace of its own with a private folder mounted on /run; clients reach it
through PCSCLITE_CSOCK_NAME. Readiness is awaited through the service itself
(SCardEstablishContext, then SCardGetStatusChange), and every process started here is
stopped by its id, also when the caller fails or is killed (the children get SIGKILL when
the process that started them dies).
"""

import argparse
import ctypes
import fcntl
import json
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON = "/usr/bin/python3"  # the interpreter that has pyscard
DRIVER = "/usr/lib/pcsc/drivers/serial/libifdvpcd.so"
READERS = ("Virtual PCD 00 00", "Virtual PCD 00 01")
# Runs in the new mount namespace: $1 becomes /run, $2 is the reader configuration, $3 an empty
# folder. The USB reader drivers are hidden, so that readers attached to the machine stay with
# its own pcscd and this one sees the virtual reader alone.
START_PCSCD = """set -e
mount --bind "$1" /run
for bundle in /usr/lib/pcsc/drivers/*.bundle; do
    if [ -d "$bundle" ]; then mount --bind "$3" "$bundle"; fi
done
exec pcscd -f ${PCSCD_DEBUG:+-d} -c "$2"
"""
REINSERT_GAP = 0.5  # seconds between taking a card out and putting the next in
# Run with PCSCLITE_CSOCK_NAME naming a pcscd no client reaches yet: returns once its readers
# (argv[2:]) hold their cards, or fails after argv[1] seconds.
CARDS_SEEN = """import sys, time
from smartcard import scard
deadline = time.monotonic() + float(sys.argv[1])
states = [(reader, scard.SCARD_STATE_UNAWARE) for reader in sys.argv[2:]]
context = None
while True:
    if time.monotonic() > deadline:
        sys.exit("the cards were not seen after the restart")
    if context is None:
        hr, context = scard.SCardEstablishContext(scard.SCARD_SCOPE_SYSTEM)
        if hr != scard.SCARD_S_SUCCESS:
            context = None
            time.sleep(0.01)
        continue
    hr, got = scard.SCardGetStatusChange(context, 100, states)
    if hr == scard.SCARD_S_SUCCESS:
        states = [(reader, state & ~scard.SCARD_STATE_CHANGED) for reader, state, _ in got]
        if all(state & scard.SCARD_STATE_PRESENT for _, state in states):
            break
    elif hr != scard.SCARD_E_TIMEOUT:
        time.sleep(0.01)  # the readers are not there yet
"""
LOCKS = os.path.join(tempfile.gettempdir(), "tessarin-vpcd-ports")


class RigError(Exception):
    pass


def _die_with_parent(sig=signal.SIGKILL):
    ctypes.CDLL(None, use_errno=True).prctl(1, sig)  # PR_SET_PDEATHSIG


def _free(port):
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(("0.0.0.0", port))
            return True
        except OSError:
            return False


def claim_ports():
    """Two neighbouring free ports below the ephemeral range, held by a lock for this process.

    Rigs running side by side (tests under ctest -j) each take other ports."""
    os.makedirs(LOCKS, exist_ok=True)
    for _ in range(200):
        port = random.randrange(20000, 32000, 2)
        lock = open(os.path.join(LOCKS, str(port)), "w")
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            lock.close()
            continue
        if _free(port) and _free(port + 1):
            return port, lock
        lock.close()
    raise RigError("no free pair of ports for the virtual reader")


def _stop(process, grace=5.0):
    if process is None or process.poll() is not None:
        return
    process.terminate()
    try:
        process.wait(grace)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


class Rig:
    """One private pcscd, with or without the virtual reader, and the cards in its slots."""

    open_in_process = False

    def __init__(self, reader=True):
        # The client library reads PCSCLITE_CSOCK_NAME once per process, at its first call:
        # every rig of a process puts its socket at the same place, one rig at a time.
        if Rig.open_in_process:
            raise RigError("one rig at a time in a process")
        self.reader = reader
        self.dir = os.path.join(tempfile.gettempdir(), f"tessarin-rig-{os.getpid()}")
        shutil.rmtree(self.dir, ignore_errors=True)  # left by an earlier process of this id
        os.makedirs(self.dir)
        self.run = os.path.join(self.dir, "run")
        self.socket = os.path.join(self.run, "pcscd", "pcscd.comm")
        self.port, self._lock = claim_ports() if reader else (None, None)
        Rig.open_in_process = True
        self.pcscd = None
        self.cards = {}
        self._staying = set()  # slots whose card stays in across a restart of pcscd
        self._gone = {}
        self._context = None

    def env(self):
        return dict(os.environ, PCSCLITE_CSOCK_NAME=self.socket)

    def start(self, timeout=15.0):
        os.makedirs(self.run)
        with open(self._config(), "w") as f:
            if self.reader:
                f.write(f'FRIENDLYNAME "Virtual PCD"\nDEVICENAME /dev/null:{self.port}\n'
                        f"LIBPATH {DRIVER}\n")
        os.makedirs(os.path.join(self.dir, "empty"))
        self._start_pcscd(timeout)
        return self

    def restart_pcscd(self, timeout=15.0):
        """pcscd started again with the same reader, after stop_pcscd(). With cards that stay in
        (insert(stay=True)), clients reach the new pcscd only once it sees them: a real reader
        tells its card at the service's start, while the virtual card connects to the driver
        only after it, and shows a poll (400 ms) later, as if inserted then."""
        self._release_context()
        if self._staying:
            staging = os.path.join(self.dir, "staging")
            os.makedirs(staging, exist_ok=True)
            self._spawn_pcscd(staging)
            subprocess.run([PYTHON, "-c", CARDS_SEEN, str(timeout),
                            *(READERS[slot] for slot in sorted(self._staying))],
                           env=dict(os.environ, PCSCLITE_CSOCK_NAME=os.path.join(
                               staging, "pcscd", "pcscd.comm")),
                           stdin=subprocess.DEVNULL, check=True, timeout=timeout + 5)
            os.replace(os.path.join(staging, "pcscd", "pcscd.comm"), self.socket)
            self._await_ready(timeout)
        else:
            self._start_pcscd(timeout)

    def _config(self):
        return os.path.join(self.dir, "reader.conf")

    def _start_pcscd(self, timeout):
        self._spawn_pcscd(self.run)
        self._await_ready(timeout)

    def _spawn_pcscd(self, run):
        log = open(os.path.join(self.dir, "pcscd.log"), "a")
        self.pcscd = subprocess.Popen(
            ["unshare", "-m", "sh", "-c", START_PCSCD, "sh", run, self._config(),
             os.path.join(self.dir, "empty")],
            stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
            preexec_fn=_die_with_parent)
        log.close()

    def _await_ready(self, timeout):
        os.environ["PCSCLITE_CSOCK_NAME"] = self.socket
        self._context = self._establish(timeout)
        if self.reader:
            self._await_readers(timeout)

    def insert(self, profile, slot=0, log=None, timeout=15.0, stay=False):
        """Puts a card with this profile (a dict) in the slot; returns once the service sees it.
        A card that stays is still in the slot when pcscd is restarted."""
        # The driver is polled every 400 ms: a card put in sooner after the last one left
        # would hide both events from the service.
        wait = self._gone.pop(slot, 0.0) + REINSERT_GAP - time.monotonic()
        if wait > 0:
            time.sleep(wait)
        path = os.path.join(self.dir, f"card{slot}.json")
        with open(path, "w") as f:
            json.dump(profile, f)
        command = [PYTHON, os.path.join(HERE, "vcard.py"), path, "--port", str(self.port + slot)]
        if log:
            command += ["--log", log]
        if stay:
            command += ["--stay"]
            self._staying.add(slot)
        self.cards[slot] = subprocess.Popen(command, stdin=subprocess.DEVNULL,
                                            preexec_fn=_die_with_parent)
        self._await_state(READERS[slot], present=True, timeout=timeout)

    def remove(self, slot=0, timeout=15.0):
        """Takes the card out and returns once the service has seen it go."""
        _stop(self.cards.pop(slot, None))
        self._staying.discard(slot)
        self._gone[slot] = time.monotonic()
        self._await_state(READERS[slot], present=False, timeout=timeout)

    def pull_cards(self):
        """Takes every card out at once, without waiting for the service to see it go."""
        for slot in list(self.cards):
            _stop(self.cards.pop(slot))
        self._staying.clear()

    def stop_pcscd(self):
        _stop(self.pcscd)

    def _release_context(self):
        if self._context is not None:
            from smartcard import scard
            scard.SCardReleaseContext(self._context)
            self._context = None

    def close(self):
        self.pull_cards()
        self.stop_pcscd()
        self._release_context()
        if self._lock:
            self._lock.close()
            self._lock = None
        shutil.rmtree(self.dir, ignore_errors=True)
        Rig.open_in_process = False

    def pcscd_log(self):
        try:
            with open(os.path.join(self.dir, "pcscd.log")) as f:
                return f.read()
        except OSError:
            return ""

    def __enter__(self):
        try:
            return self.start()
        except BaseException:
            self.close()
            raise

    def __exit__(self, *exc):
        self.close()

    # Readiness, through the service's own calls.

    def _establish(self, timeout):
        from smartcard import scard
        deadline = time.monotonic() + timeout
        while True:
            if self.pcscd.poll() is not None:
                raise RigError(f"pcscd ended at start:\n{self.pcscd_log()}")
            hr, context = scard.SCardEstablishContext(scard.SCARD_SCOPE_SYSTEM)
            if hr == scard.SCARD_S_SUCCESS:
                return context
            if time.monotonic() > deadline:
                raise RigError(f"pcscd not ready: {scard.SCardGetErrorMessage(hr)}")
            time.sleep(0.01)  # the socket is not there yet

    def _await_readers(self, timeout):
        from smartcard import scard
        deadline = time.monotonic() + timeout
        while True:
            hr, readers = scard.SCardListReaders(self._context, [])
            if hr == scard.SCARD_S_SUCCESS and all(r in readers for r in READERS):
                return
            count = len(readers) if hr == scard.SCARD_S_SUCCESS else 0
            left = deadline - time.monotonic()
            if left <= 0:
                raise RigError(f"the virtual reader did not appear:\n{self.pcscd_log()}")
            # Blocks until the number of readers changes.
            scard.SCardGetStatusChange(self._context, int(left * 1000),
                                       [("\\\\?PnP?\\Notification", count << 16)])

    def _await_state(self, reader, present, timeout):
        from smartcard import scard
        deadline = time.monotonic() + timeout
        state = scard.SCARD_STATE_UNAWARE
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise RigError(f"{reader}: the card was not {'inserted' if present else 'removed'}")
            hr, states = scard.SCardGetStatusChange(self._context, int(left * 1000), [(reader, state)])
            if hr == scard.SCARD_S_SUCCESS:
                state = states[0][1] & ~scard.SCARD_STATE_CHANGED
                if present and state & scard.SCARD_STATE_PRESENT and not state & scard.SCARD_STATE_MUTE:
                    return
                if not present and state & scard.SCARD_STATE_EMPTY:
                    return
            elif hr != scard.SCARD_E_TIMEOUT:
                raise RigError(f"{reader}: {scard.SCardGetErrorMessage(hr)}")


def _leave_on_signal(*_):
    raise SystemExit(128 + signal.SIGTERM)


def main():
    parser = argparse.ArgumentParser(description="Run a command against a private pcscd with the virtual reader.")
    card = parser.add_mutually_exclusive_group()
    card.add_argument("--profile", help="card profile (JSON) to put in the first slot")
    card.add_argument("--sample", action="store_true", help="put the sample card in the first slot (default)")
    card.add_argument("--no-card", action="store_true", help="leave both slots empty")
    parser.add_argument("--no-reader", action="store_true", help="start pcscd without any reader")
    parser.add_argument("--log", help="the card's command log")
    parser.add_argument("command", nargs="+")
    args = parser.parse_args()

    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, _leave_on_signal)
    with Rig(reader=not args.no_reader) as rig:
        if not args.no_reader and not args.no_card:
            if args.profile:
                with open(args.profile) as f:
                    profile = json.load(f)
            else:
                sys.path.insert(0, HERE)
                import samplecard
                profile = samplecard.sample_profile()
            rig.insert(profile, log=args.log)
        try:
            # The command goes too when this runner is killed: its service is gone with it.
            return subprocess.run(args.command, env=rig.env(),
                                  preexec_fn=lambda: _die_with_parent(signal.SIGTERM)).returncode
        except FileNotFoundError as e:
            print(f"rig.py: {e}", file=sys.stderr)
            return 127


if __name__ == "__main__":
    try:
        sys.exit(main())
    except RigError as e:
        print(f"rig.py: {e}", file=sys.stderr)
        sys.exit(1)
    except KeyboardInterrupt:
        sys.exit(130)
