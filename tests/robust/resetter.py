#!/usr/bin/python3
"""Another program resetting the card while the plug-in reads it.

    resetter.py READER SECONDS [--reconnect | --end-transaction]

Connects to the card in READER in shared mode and, every few milliseconds for SECONDS, resets
it: with --reconnect (the default) by its own SCardReconnect with SCARD_RESET_CARD, with
--end-transaction by a transaction of its own ended with SCARD_RESET_CARD. Prints how many resets it made and how many failed.
"""

import sys
import time

from smartcard import scard

PROTOCOLS = scard.SCARD_PROTOCOL_T0 | scard.SCARD_PROTOCOL_T1


def reset(card, by_transaction):
    if not by_transaction:
        hr, _ = scard.SCardReconnect(card, scard.SCARD_SHARE_SHARED, PROTOCOLS,
                                     scard.SCARD_RESET_CARD)
        return hr
    hr = scard.SCardBeginTransaction(card)
    if hr != scard.SCARD_S_SUCCESS:
        return hr
    return scard.SCardEndTransaction(card, scard.SCARD_RESET_CARD)


def main():
    reader, seconds = sys.argv[1], float(sys.argv[2])
    by_transaction = "--end-transaction" in sys.argv[3:]
    hr, context = scard.SCardEstablishContext(scard.SCARD_SCOPE_USER)
    if hr != scard.SCARD_S_SUCCESS:
        print(f"resetter: no service: {scard.SCardGetErrorMessage(hr)}", file=sys.stderr)
        return 1
    done = failed = 0
    card = None
    deadline = time.monotonic() + seconds
    try:
        while time.monotonic() < deadline:
            if card is None:
                hr, card, _ = scard.SCardConnect(context, reader, scard.SCARD_SHARE_SHARED,
                                                 PROTOCOLS)
                if hr != scard.SCARD_S_SUCCESS:
                    card = None
                    time.sleep(0.005)
                    continue
            hr = reset(card, by_transaction)
            if hr == scard.SCARD_S_SUCCESS:
                done += 1
            else:
                # This handle learns of every reset but its own, the plug-in's at the end of each
                # read included: no failure, only a reason to connect again.
                if hr != scard.SCARD_W_RESET_CARD:
                    failed += 1
                scard.SCardDisconnect(card, scard.SCARD_LEAVE_CARD)
                card = None
            time.sleep(0.02)
    finally:
        if card is not None:
            scard.SCardDisconnect(card, scard.SCARD_LEAVE_CARD)
        scard.SCardReleaseContext(context)
    print(f"{done} resets, {failed} failed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
