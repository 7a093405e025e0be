#!/usr/bin/python3
"""Another program using the same card: sends its own commands while the plug-in reads.

    stoorzender.py READER SECONDS [--transaction]

Connects to the card in READER in shared mode, as any other card application may, and for
SECONDS keeps selecting the photo file and reading its first bytes, so that the card's
current file is the photo whenever this program has had its turn. With --transaction each
pair of commands is sent inside a transaction of its own, as a well-behaved application does.
Prints how many commands it sent and how many failed.
"""

import sys
import time

from smartcard import scard

SELECT_PHOTO = [0x00, 0xA4, 0x08, 0x0C, 0x06, 0x3F, 0x00, 0xDF, 0x01, 0x40, 0x35]
READ_START = [0x00, 0xB0, 0x00, 0x00, 0x10]


def main():
    reader, seconds = sys.argv[1], float(sys.argv[2])
    transaction = "--transaction" in sys.argv[3:]
    hr, context = scard.SCardEstablishContext(scard.SCARD_SCOPE_USER)
    if hr != scard.SCARD_S_SUCCESS:
        print(f"stoorzender: no service: {scard.SCardGetErrorMessage(hr)}", file=sys.stderr)
        return 1
    sent = failed = 0
    card = None
    deadline = time.monotonic() + seconds
    try:
        while time.monotonic() < deadline:
            if card is None:
                hr, card, protocol = scard.SCardConnect(
                    context, reader, scard.SCARD_SHARE_SHARED,
                    scard.SCARD_PROTOCOL_T0 | scard.SCARD_PROTOCOL_T1)
                if hr != scard.SCARD_S_SUCCESS:
                    card = None
                    time.sleep(0.005)
                    continue
            if transaction and scard.SCardBeginTransaction(card) != scard.SCARD_S_SUCCESS:
                failed += 1
                continue
            for command in (SELECT_PHOTO, READ_START):
                hr, _ = scard.SCardTransmit(card, protocol, command)
                sent += 1
                if hr != scard.SCARD_S_SUCCESS:
                    failed += 1
                    if hr in (scard.SCARD_W_RESET_CARD, scard.SCARD_W_REMOVED_CARD):
                        scard.SCardDisconnect(card, scard.SCARD_LEAVE_CARD)
                        card = None
                        break
            if transaction and card is not None:
                scard.SCardEndTransaction(card, scard.SCARD_LEAVE_CARD)
    finally:
        if card is not None:
            scard.SCardDisconnect(card, scard.SCARD_LEAVE_CARD)
        scard.SCardReleaseContext(context)
    print(f"{sent} commands sent, {failed} failed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
