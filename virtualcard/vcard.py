#!/usr/bin/python3
"""A virtual Belgian eID card for vsmartcard's virtual reader driver (vpcd, loaded by pcscd).

    vcard.py PROFILE.json --port PORT [--host HOST] [--log FILE] [--wait SECONDS] [--stay]

The card connects to the driver's TCP port; the connection is the card in the reader, and
closing it takes the card out. Every message, both ways, is a two-byte big-endian length and
the payload. A one-byte message from the reader is a control code (0 power off, 1 power on,
2 reset, 4 send the ATR); a longer one is a command APDU, answered with a response APDU.

The card answers SELECT FILE by path from the master file (00 A4 08 0C) and READ BINARY
(00 B0) from the files of its profile, a JSON object:

  atr         the answer to reset, hex
  files       {"3F00DF014031": "hex bytes", ...}; SELECT FILE of any other path answers 6A82
  ending      how a READ BINARY that asks for more than remains is answered:
              "short" (default) what remains and 90 00; "6C" 6C xx naming what remains;
              "6C-repeat" 6C xx even when asked for exactly xx (a faulty card that never gives)
  at_end      the answer to a READ BINARY at the end of the file: "6B00" (default) or "9000"
              (no data)
  endless     [path, ...] files that never end: every READ BINARY gets a full chunk and 90 00
  status      [{"command": N, "sw": "6F00"}, ...] the Nth command APDU since the card went in
              (counting from 1) is answered with that status word alone
  delay_ms    a pause before every answer (a slow card)
  stall       [{"command": N, "ms": M}, ...] a pause of M ms before answering the Nth command
  pull_after  N: the card answers N command APDUs, then is pulled when the next one arrives
  mute_after  N: the card answers N command APDUs, then never answers again
  t0_timing   {"command_ms": M}: the time a real card takes at T=0. Every byte of a command
              and of its answer crosses the contact at the speed the ATR's TA1 announces
              (3.5712 MHz divided by F/D clock cycles per bit, 10 bits per byte: TA1 13 gives
              38,400 bit/s; no TA1 the default 9,600), and every command costs M ms more
              (the card's processing and the reader's round trip)

With --log, every control code and every command with its answer is written to FILE, one
line each ("APDU <command> <response>"), as it happens. With --stay the card stays in the
reader when the service stops: it connects again as soon as the driver is back.
"""

import argparse
import json
import signal
import socket
import struct
import sys
import time

POWER_OFF, POWER_ON, RESET, GET_ATR = 0, 1, 2, 4
OK = b"\x90\x00"


class Pulled(Exception):
    """The card leaves the reader."""


class Card:
    def __init__(self, profile):
        self.atr = bytes.fromhex(profile.get("atr", "3B9813400AA503010101AD1311"))
        self.files = {path.upper(): bytes.fromhex(data) for path, data in profile.get("files", {}).items()}
        self.ending = profile.get("ending", "short")
        self.at_end = bytes.fromhex(profile.get("at_end", "6B00"))
        self.endless = {path.upper() for path in profile.get("endless", [])}
        self.status = {s["command"]: bytes.fromhex(s["sw"]) for s in profile.get("status", [])}
        self.delay = profile.get("delay_ms", 0) / 1000.0
        self.stalls = {s["command"]: s["ms"] / 1000.0 for s in profile.get("stall", [])}
        self.t0 = T0Timing(self.atr, profile["t0_timing"]) if "t0_timing" in profile else None
        self.pull_after = profile.get("pull_after")
        self.mute_after = profile.get("mute_after")
        if self.ending not in ("short", "6C", "6C-repeat"):
            raise ValueError(f"unknown ending {self.ending!r}")
        self.commands = 0
        self.selected = None

    def reset(self):
        self.selected = None

    def answer(self, apdu):
        """The response to one command APDU, or None when the card stays silent."""
        if self.pull_after is not None and self.commands >= self.pull_after:
            raise Pulled()
        if self.mute_after is not None and self.commands >= self.mute_after:
            return None
        self.commands += 1
        if self.delay:
            time.sleep(self.delay)
        if self.commands in self.stalls:
            time.sleep(self.stalls[self.commands])
        response = self.status.get(self.commands) or self.execute(apdu)
        if self.t0:
            time.sleep(self.t0.seconds(apdu, response))
        return response

    def execute(self, apdu):
        if len(apdu) < 4:
            return bytes.fromhex("6700")
        cla, ins, p1, p2 = apdu[:4]
        if cla != 0x00:
            return bytes.fromhex("6E00")
        if ins == 0xA4:
            return self.select(p1, p2, apdu[4:])
        if ins == 0xB0:
            return self.read_binary(p1, p2, apdu[4:])
        return bytes.fromhex("6D00")

    def select(self, p1, p2, body):
        if (p1, p2) != (0x08, 0x0C):
            return bytes.fromhex("6A86")
        if not body or len(body) != 1 + body[0]:
            return bytes.fromhex("6700")
        path = body[1:].hex().upper()
        if path not in self.files and path not in self.endless:
            return bytes.fromhex("6A82")
        self.selected = path
        return OK

    def read_binary(self, p1, p2, body):
        if self.selected is None:
            return bytes.fromhex("6986")
        if len(body) > 1:
            return bytes.fromhex("6700")
        le = body[0] if body and body[0] else 256
        offset = (p1 << 8) | p2
        data = self.files.get(self.selected, b"")
        if self.selected in self.endless:
            pattern = data or b"\x00"
            return bytes(pattern[(offset + i) % len(pattern)] for i in range(le)) + OK
        if offset >= len(data):
            return self.at_end if offset == len(data) else bytes.fromhex("6B00")
        rest = data[offset:]
        if len(rest) >= le and not (self.ending == "6C-repeat" and len(rest) == le):
            return rest[:le] + OK
        if self.ending == "short":
            return rest + OK
        return bytes([0x6C, len(rest)])


class T0Timing:
    """The time one command takes on a real card at T=0, from the speed the ATR announces."""

    CLOCK_HZ = 3_571_200
    BITS_PER_BYTE = 10  # start bit, eight data bits, parity; guard time not counted
    F = {0: 372, 1: 372, 2: 558, 3: 744, 4: 1116, 5: 1488, 6: 1860,
         9: 512, 10: 768, 11: 1024, 12: 1536, 13: 2048}
    D = {1: 1, 2: 2, 3: 4, 4: 8, 5: 16, 6: 32, 7: 64, 8: 12, 9: 20}

    def __init__(self, atr, settings):
        self.command_s = settings.get("command_ms", 0) / 1000.0
        ta1 = self.ta1(atr)
        self.bits_per_second = self.CLOCK_HZ * self.D[ta1 & 0x0F] / self.F[ta1 >> 4]

    @staticmethod
    def ta1(atr):
        """TA1 when T0 announces it (bit 5 of its high nibble), else the default 0x11."""
        return atr[2] if len(atr) > 2 and atr[1] & 0x10 else 0x11

    def seconds(self, command, response):
        bytes_moved = len(command) + len(response)
        return bytes_moved * self.BITS_PER_BYTE / self.bits_per_second + self.command_s


class Link:
    """The TCP connection to the reader driver, in its framing."""

    def __init__(self, host, port, wait):
        deadline = time.monotonic() + wait
        while True:
            try:
                self.sock = socket.create_connection((host, port))
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.02)  # the driver is not listening yet
        # Without these, Nagle and delayed acknowledgements cost tens of milliseconds per command.
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def receive(self):
        header = self._exactly(2)
        return None if header is None else self._exactly(struct.unpack(">H", header)[0])

    def send(self, payload):
        self.sock.sendall(struct.pack(">H", len(payload)) + payload)

    def close(self):
        self.sock.close()

    def _exactly(self, n):
        data = b""
        while len(data) < n:
            self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)
            try:
                chunk = self.sock.recv(n - len(data))
            except ConnectionResetError:  # the driver went away with pcscd
                return None
            if not chunk:
                return None
            data += chunk
        return data


def serve(card, link, log):
    """Answers the reader until it goes away (True) or the card is pulled (False)."""
    while True:
        message = link.receive()
        if message is None:
            return True
        if len(message) == 1:
            code = message[0]
            log(f"CTRL {code}")
            if code in (POWER_ON, RESET, POWER_OFF):
                card.reset()
            elif code == GET_ATR:
                link.send(card.atr)
            continue
        try:
            response = card.answer(message)
        except Pulled:
            log(f"PULL {message.hex().upper()}")
            return False
        log(f"APDU {message.hex().upper()} {response.hex().upper() if response else '-'}")
        if response is not None:
            link.send(response)


def main():
    parser = argparse.ArgumentParser(description="A virtual Belgian eID card for the vpcd reader.")
    parser.add_argument("profile", help="card profile (JSON)")
    parser.add_argument("--port", type=int, required=True, help="the reader slot's TCP port")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--log", help="write every control code and command to this file")
    parser.add_argument("--wait", type=float, default=10.0,
                        help="seconds to keep trying to reach the reader")
    parser.add_argument("--stay", action="store_true",
                        help="stay in the reader across a restart of the service")
    args = parser.parse_args()

    with open(args.profile) as f:
        card = Card(json.load(f))
    logfile = open(args.log, "a", buffering=1) if args.log else None

    def log(line):
        if logfile:
            logfile.write(line + "\n")

    # SIGTERM takes the card out: leave through the normal path, which closes the connection.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    link = Link(args.host, args.port, args.wait)
    try:
        while serve(card, link, log) and args.stay:
            link.close()
            link = Link(args.host, args.port, args.wait)
    except KeyboardInterrupt:
        pass
    finally:
        link.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
