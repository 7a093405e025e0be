#!/usr/bin/python3
"""End-to-end tests of the production plug-in: fmxhost loads Tessarin.fmx, which talks to a
private pcscd whose virtual reader holds our virtual card.

    e2e.py --plugin Tessarin.fmx --fmxhost fmxhost SCENARIO
    e2e.py --list

Each scenario starts its own pcscd (own mount namespace, own ports), so scenarios can run side
by side; whatever a scenario starts is stopped when it ends, also when it fails or is killed.
The expected card document is worked out here from the sample card's field values, apart from
the plug-in's own code.
"""

import argparse
import base64
import copy
import difflib
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "virtualcard"))

import rig  # noqa: E402
import samplecard  # noqa: E402
from samplecard import ADDRESS, IDENTITY, PHOTO  # noqa: E402

SLOT0, SLOT1 = rig.READERS
CALL_TIMEOUT = 60

NO_CARD = ("There is no card in the reader.", "0x8010000C")
NOT_ON_CARD = "That file is not on the card."
READ_FAILED = "Reading the card failed."
INCOMPLETE = "The card returned an incomplete response."
NOT_REACHED = "The command did not reach the card."
NO_SERVICE = "The smart card service is not responding."


# The expected documents.

MONTHS = {"JAN": 1, "JANV": 1, "FEB": 2, "FEVR": 2, "MAR": 3, "MAAR": 3, "MARS": 3, "APR": 4,
          "AVR": 4, "MEI": 5, "MAI": 5, "MAY": 5, "JUN": 6, "JUIN": 6, "JUL": 7, "JUIL": 7,
          "AUG": 8, "AOUT": 8, "SEP": 9, "SEPT": 9, "OCT": 10, "OKT": 10, "NOV": 11, "DEC": 12,
          "DEZ": 12}


def collapse(text):
    """Zero bytes dropped, each run of blanks one space, none at either end."""
    return re.sub(r"[\t\n\r ]+", " ", text.replace("\0", "")).strip(" ")


def street(text):
    """Bracketed groups of two to five capitals dropped, with the spaces before them."""
    return collapse(re.sub(r" *\([A-Z]{2,5}\)", "", text))


def date_of_birth(text):
    parts = collapse(text).split(" ")
    if len(parts) == 3 and parts[0].isdigit() and parts[2].isdigit() and parts[1].upper() in MONTHS:
        day, year = int(parts[0]), int(parts[2])
        if 1 <= day <= 31 and 1000 <= year <= 9999:
            return f"{day:02d}.{MONTHS[parts[1].upper()]:02d}.{year:04d}"
    return collapse(text)


def escape(text):
    special = {'"': '\\"', "\\": "\\\\", "\n": "\\n", "\r": "\\r", "\t": "\\t"}
    return "".join(special.get(c, f"\\u{ord(c):04X}" if ord(c) < 0x20 else c) for c in text)


def document(members):
    lines = [f'  "{key}": "{escape(value)}"' for key, value in members]
    return "{\n" + ",\n".join(lines) + "\n}"


# The card's fields: the file each comes from, its tag and its form, in the order of EID_Read's
# document first.
FIELDS = [
    ("cardNumber", "identity", 0x01, "text"),
    ("surname", "identity", 0x07, "text"),
    ("givenNames", "identity", 0x08, "text"),
    ("dateOfBirth", "identity", 0x0C, "date"),
    ("placeOfBirth", "identity", 0x0B, "text"),
    ("gender", "identity", 0x0D, "text"),
    ("nationality", "identity", 0x0A, "text"),
    ("validUntil", "identity", 0x04, "text"),
    ("nationalNumber", "identity", 0x06, "text"),
    ("street", "address", 0x01, "street"),
    ("postalCode", "address", 0x02, "text"),
    ("municipality", "address", 0x03, "text"),
    ("photo", "photo", None, "base64"),
    ("chipNumber", "identity", 0x02, "hex"),
    ("validFrom", "identity", 0x03, "text"),
    ("issuingMunicipality", "identity", 0x05, "text"),
    ("thirdGivenNameInitial", "identity", 0x09, "text"),
    ("nobleCondition", "identity", 0x0E, "text"),
    ("documentType", "identity", 0x0F, "text"),
    ("specialStatus", "identity", 0x10, "text"),
    ("photoHash", "identity", 0x11, "hex"),
]
EID_READ = [name for name, *_ in FIELDS[:13]]


def card_values(photo=None):
    """Every field's value on the sample card, from its sources."""
    files = {"identity": dict(samplecard.elements("identity.txt")[0]),
             "address": dict(samplecard.elements("address.txt")[0])}
    if photo is None:
        photo = bytes.fromhex(samplecard.sample_profile()["files"][PHOTO])
    forms = {"text": lambda value: collapse(value.decode("utf-8")),
             "date": lambda value: date_of_birth(value.decode("utf-8")),
             "street": lambda value: street(value.decode("utf-8")),
             "hex": lambda value: value.hex().upper()}
    values = {}
    for name, source, tag, form in FIELDS:
        if form == "base64":
            values[name] = base64.b64encode(photo).decode("ascii")
        else:
            value = files[source].get(tag)
            values[name] = "" if value is None else forms[form](value)
    return values


def card_document(photo=None, names=EID_READ):
    """The sample card's document of the fields `names`, from the field values of its sources."""
    values = card_values(photo)
    return document([("error", "")] + [(name, values[name]) for name in names])


def error_document(message, detail):
    return document([("error", message), ("errorDetail", detail)])


def readers_document(*readers):
    """EID_Readers ( "json" )'s document of (name, card, ATR) rows."""
    rows = [f'    {{"name": "{name}", "card": "{card}", "atr": "{atr}"}}' for name, card, atr in readers]
    return '{\n  "error": "",\n  "readers": [\n' + ",\n".join(rows) + "\n  ]\n}"


# Profiles.

def sample():
    return samplecard.sample_profile()


OTHER_ATR = "3B021450"


def other_card():
    """A card of another kind: no files, so every SELECT FILE answers 6A82."""
    return {"atr": OTHER_ATR, "files": {}}


def variant(without=(), pad=None, **behaviour):
    """The sample card with files left out, files padded with zero bytes up to a length, and
    injected behaviours."""
    profile = copy.deepcopy(sample())
    for path in without:
        del profile["files"][path]
    for path, length in (pad or {}).items():
        data = bytes.fromhex(profile["files"][path])
        profile["files"][path] = (data + bytes(length - len(data))).hex()
    profile.update(behaviour)
    return profile


def file_bytes(profile, path):
    return bytes.fromhex(profile["files"][path])


def minimum_commands(profile, files=(IDENTITY, ADDRESS, PHOTO)):
    """The commands of one read in 255-byte chunks: per file one SELECT FILE, then one READ
    BINARY for every full 255 bytes and one for the rest or for finding the end."""
    commands = []
    for path in files:
        commands.append("00A4080C06" + path)
        for offset in range(0, len(file_bytes(profile, path)) + 1, 255):
            commands.append(f"00B0{offset:04X}FF")
    return commands


# Running things.

class Scenario:
    def __init__(self, plugin, fmxhost):
        self.plugin = plugin
        self.fmxhost = fmxhost
        self.passed = 0
        self.failed = 0

    def call(self, env, function, *arguments):
        status, out, err = self.outcome(env, function, *arguments)
        if status != 0:
            raise AssertionError(f"fmxhost {function} {arguments} exited {status}: {err}")
        return out

    def outcome(self, env, function, *arguments):
        """fmxhost's exit status, its result without the line feed, and its standard error."""
        result = subprocess.run([self.fmxhost, self.plugin, function, *arguments], env=env,
                                stdin=subprocess.DEVNULL, capture_output=True, timeout=CALL_TIMEOUT)
        return (result.returncode, strip_line_feed(result.stdout).decode("utf-8"),
                result.stderr.decode(errors="replace"))

    def check_commands(self, what, log, start, profile, files=(IDENTITY, ADDRESS, PHOTO), times=1):
        """The card got the fewest commands for `files`, from line `start` of its log on."""
        self.check(what, "\n".join(commands_in(log, start)),
                   "\n".join(minimum_commands(profile, files) * times))

    def check(self, what, got, want):
        if got == want:
            self.passed += 1
            print(f"ok      {what}")
            return
        self.failed += 1
        print(f"FAILED  {what}")
        diff = difflib.unified_diff(shorten(want).splitlines(), shorten(got).splitlines(),
                                    "expected", "got", lineterm="")
        print("\n".join("        " + line for line in diff))


def strip_line_feed(output):
    if not output.endswith(b"\n"):
        raise AssertionError(f"fmxhost output does not end in a line feed: {output[-40:]!r}")
    return output[:-1]


def shorten(text):
    """Long photo lines cut for a readable diff."""
    if isinstance(text, list):
        return "\n".join(text)
    if not isinstance(text, str):
        return repr(text)
    return "\n".join(line if len(line) < 200 else line[:100] + f"...[{len(line)} chars]"
                     for line in text.split("\n"))


def commands_in(log, start=0):
    """The command APDUs that the card received, from line `start` of its log."""
    return [line.split()[1] for line in log_lines(log, start) if line.startswith("APDU ")]


def log_lines(log, start=0):
    if not os.path.exists(log):
        return []
    with open(log) as f:
        return f.read().splitlines()[start:]


def apdus_in(log, start=0):
    """The commands with their answers, from line `start` of the card's log."""
    return [line for line in log_lines(log, start) if line.startswith("APDU ")]


def resets_in(log, start=0):
    """The resets the card received, from line `start` of its log. (pcscd powers a card that no
    program holds off, and on again at the next connection: that is the service's own doing.)"""
    return [line for line in log_lines(log, start) if line == "CTRL 2"]


def log_length(log):
    if not os.path.exists(log):
        return 0
    with open(log) as f:
        return len(f.read().splitlines())


# Scenarios.

def logged_sample(r, slot=0):
    """The sample card in `slot` of rig `r`, logging what it gets: its log, profile and the
    environment that reaches the rig."""
    log = os.path.join(r.dir, "card.log")
    profile = sample()
    r.insert(profile, slot=slot, log=log)
    return log, profile, r.env()


def sample_card(s):
    """The sample card: the exact document, the fewest commands, the other two functions."""
    with rig.Rig() as r:
        log, profile, env = logged_sample(r)
        s.check("EID_Version", s.call(env, "EID_Version"), "Tessarin 1.0")
        s.check("EID_Version for a version check", s.call(env, "EID_Version", "autoupdate"),
                "01000000")
        s.check("EID_Readers lists both slots", s.call(env, "EID_Readers"), f"{SLOT0}\r{SLOT1}")
        start = log_length(log)
        s.check("EID_Read gives the card document", s.call(env, "EID_Read"), card_document())
        s.check_commands("EID_Read sends the fewest commands", log, start, profile)
        s.check("EID_Read with an empty name reads the first reader", s.call(env, "EID_Read", ""),
                card_document())
        s.check("a second read of the same card gives the same document", s.call(env, "EID_Read"),
                card_document())


def without_photo(s):
    """EID_Read with a false photo flag: the fewest commands for identity and address alone,
    and the full document with an empty photo."""
    with rig.Rig() as r:
        log, profile, env = logged_sample(r)
        for flag in ("0", "false", "true", "00"):
            start = log_length(log)
            s.check(f"EID_Read with photo {flag!r}: the full document, photo empty",
                    s.call(env, "EID_Read", "", flag), card_document(photo=b""))
            s.check_commands(f"EID_Read with photo {flag!r}: only identity and address are read",
                             log, start, profile, (IDENTITY, ADDRESS))
        s.check("a named reader without the photo", s.call(env, "EID_Read", SLOT0, "0"),
                card_document(photo=b""))
        for flag in ("1", "", "-2"):
            start = log_length(log)
            s.check(f"EID_Read with photo {flag!r} reads the photo", s.call(env, "EID_Read", "", flag),
                    card_document())
            s.check_commands(f"EID_Read with photo {flag!r}: the fewest commands", log, start, profile)


def script_step(s):
    """The script step EID Read Card: the document, or the category's error code with the
    sentence for the user."""
    with rig.Rig() as r:
        r.insert(sample())
        env = r.env()
        s.check("with a card", s.outcome(env, "EID Read Card"), (0, card_document(), ""))
        s.check("with a card, photo off", s.outcome(env, "EID Read Card", SLOT0, "0"),
                (0, card_document(photo=b""), ""))
        s.check("an unknown reader", s.outcome(env, "EID Read Card", "Virtual PCD 00 02"),
                (1, "Could not connect to reader Virtual PCD 00 02.", "fmxhost: error 1555\n"))
        s.check("the empty slot", s.outcome(env, "EID Read Card", SLOT1),
                (1, NO_CARD[0], "fmxhost: error 1553\n"))
        r.remove()
        s.check("without a card", s.outcome(env, "EID Read Card"),
                (1, NO_CARD[0], "fmxhost: error 1553\n"))
        r.insert(variant(without=[ADDRESS]))
        s.check("a file missing", s.outcome(env, "EID Read Card"),
                (1, NOT_ON_CARD, "fmxhost: error 1556\n"))
    with rig.Rig(reader=False) as r:
        s.check("without a reader", s.outcome(r.env(), "EID Read Card"),
                (1, "No card reader connected.", "fmxhost: error 1552\n"))
    with tempfile.TemporaryDirectory() as folder:
        env = dict(os.environ, PCSCLITE_CSOCK_NAME=os.path.join(folder, "pcscd.comm"))
        s.check("without the service", s.outcome(env, "EID Read Card"),
                (1, NO_SERVICE, "fmxhost: error 1557\n"))


def read_fields(s):
    """EID_ReadFields: exactly the fields asked, with the fewest commands for their files; a list
    that cannot be read sends nothing to the card."""
    every = [name for name, *_ in FIELDS]
    cases = [
        ("every field", " ".join(every), every, (IDENTITY, ADDRESS, PHOTO)),
        ("name and birth date", "surname givenNames dateOfBirth",
         ["surname", "givenNames", "dateOfBirth"], (IDENTITY,)),
        ("the address, as List () gives it", "street\rpostalCode\rmunicipality",
         ["street", "postalCode", "municipality"], (ADDRESS,)),
        ("the photo alone", "photo", ["photo"], (PHOTO,)),
        ("the photo and the address", "photo,street", ["photo", "street"], (ADDRESS, PHOTO)),
        ("twice, in any case, in the order first asked", "PHOTOHASH, chipnumber; photoHash surname",
         ["photoHash", "chipNumber", "surname"], (IDENTITY,)),
    ]
    with rig.Rig() as r:
        log, profile, env = logged_sample(r)
        for what, fields, names, files in cases:
            start = log_length(log)
            s.check(f"EID_ReadFields, {what}", s.call(env, "EID_ReadFields", fields),
                    card_document(names=names))
            s.check_commands(f"EID_ReadFields, {what}: the commands", log, start, profile, files)
        s.check("EID_ReadFields naming the reader", s.call(env, "EID_ReadFields", "gender", SLOT0),
                card_document(names=["gender"]))
        s.check("EID_ReadFields naming the empty slot", s.call(env, "EID_ReadFields", "gender", SLOT1),
                error_document(*NO_CARD))
        for fields, message in [("surname Photo-Hash", "There is no card field named Photo-Hash."),
                                (" ,;\r\n\t", "Name at least one card field.")]:
            start = log_length(log)
            s.check(f"EID_ReadFields({fields!r}) is refused", s.call(env, "EID_ReadFields", fields),
                    error_document(message, ""))
            s.check(f"EID_ReadFields({fields!r}) sends nothing to the card",
                    commands_in(log, start), [])


def script_step_fields(s):
    """The script step's Fields: the fields asked whatever Photo says, or 1558 for a list that
    cannot be read."""
    with rig.Rig() as r:
        r.insert(sample())
        env = r.env()
        s.check("fields", s.outcome(env, "EID Read Card", "", "1", "surname\rdateOfBirth"),
                (0, card_document(names=["surname", "dateOfBirth"]), ""))
        s.check("the photo asked with Photo off", s.outcome(env, "EID Read Card", SLOT0, "0", "photo"),
                (0, card_document(names=["photo"]), ""))
        s.check("an unknown field", s.outcome(env, "EID Read Card", "", "1", "surname nope"),
                (1, "There is no card field named nope.", "fmxhost: error 1558\n"))


def named_readers(s):
    """Readers named explicitly, and the empty second slot."""
    with rig.Rig() as r:
        r.insert(sample(), slot=0)
        env = r.env()
        s.check("EID_Read naming the first slot", s.call(env, "EID_Read", SLOT0), card_document())
        s.check("EID_Read naming the empty second slot", s.call(env, "EID_Read", SLOT1),
                error_document(*NO_CARD))
        r.remove(slot=0)
        r.insert(sample(), slot=1)
        s.check("EID_Read naming the second slot", s.call(env, "EID_Read", SLOT1), card_document())
        s.check("EID_Read naming the empty first slot", s.call(env, "EID_Read", SLOT0),
                error_document(*NO_CARD))


def no_reader(s):
    """pcscd runs, but no reader is configured."""
    with rig.Rig(reader=False) as r:
        env = r.env()
        s.check("EID_Read", s.call(env, "EID_Read"), error_document("No card reader connected.", ""))
        s.check("EID_Readers is empty", s.call(env, "EID_Readers"), "")


def no_card(s):
    """The reader is there, the card is not."""
    with rig.Rig() as r:
        env = r.env()
        s.check("EID_Read", s.call(env, "EID_Read"), error_document(*NO_CARD))
        s.check("EID_Readers", s.call(env, "EID_Readers"), f"{SLOT0}\r{SLOT1}")


def unknown_reader(s):
    """A reader name that the service does not know."""
    with rig.Rig() as r:
        r.insert(sample())
        env = r.env()
        for name in ("Virtual PCD 00 02", "Lecteur de Liège"):
            s.check(f"EID_Read({name!r})", s.call(env, "EID_Read", name),
                    error_document(f"Could not connect to reader {name}.", "SCardConnect 0x80100009"))


def no_pcscd(s):
    """No smart-card service at all."""
    with tempfile.TemporaryDirectory() as folder:
        env = dict(os.environ, PCSCLITE_CSOCK_NAME=os.path.join(folder, "pcscd.comm"))
        s.check("EID_Read", s.call(env, "EID_Read"),
                error_document(NO_SERVICE, "SCardEstablishContext 0x8010001D"))
        s.check("EID_Read naming a reader", s.call(env, "EID_Read", SLOT0),
                error_document(NO_SERVICE, "SCardEstablishContext 0x8010001D"))
        s.check("EID_Readers", s.call(env, "EID_Readers"),
                f"ERROR: {NO_SERVICE} (SCardEstablishContext 0x8010001D)")


# The no-card sentence in each language of the desk, by code.
NO_CARD_IN = {
    "nl": "Er zit geen kaart in de kaartlezer.",
    "fr": "Il n'y a pas de carte dans le lecteur.",
    "de": "Im Kartenleser steckt keine Karte.",
    "en": NO_CARD[0],
}


def languages(s):
    """The desk's language: one read in each, set in the same load as the read.

    Also the step's detail in German, a refused language, English again in the next process."""
    with rig.Rig() as r:
        env = r.env()
        for code, name in (("nl", "Nederlands"), ("fr", "Français"), ("de", "German"), ("en", "EN")):
            s.check(f"EID_SetLanguage {name} -- EID_Read without a card",
                    s.outcome(env, "EID_SetLanguage", name, "--", "EID_Read"),
                    (0, f"{code}\n" + error_document(NO_CARD_IN[code], NO_CARD[1]), ""))
        s.check("the step's detail in German",
                s.outcome(env, "EID_SetLanguage", "de", "--", "EID Read Card"),
                (1, "de\n" + NO_CARD_IN["de"], "fmxhost: error 1553\n"))
        s.check("a language refused in the language in force",
                s.outcome(env, "EID_SetLanguage", "de", "--", "EID_SetLanguage", " Italiano ", "--",
                          "EID_SetLanguage", ""),
                (0, "de\n" + error_document("Die Sprache Italiano ist nicht verfügbar: Verwenden Sie "
                                            "nl, fr, de oder en.", "") + "\nde", ""))
        s.check("a new process speaks English", s.call(env, "EID_Read"), error_document(*NO_CARD))
        r.insert(sample())
        s.check("the card's document is the same in Dutch",
                s.outcome(env, "EID_SetLanguage", "nl", "--", "EID_Read"),
                (0, "nl\n" + card_document(), ""))
        s.check("a reader's name in a French sentence",
                s.outcome(env, "EID_SetLanguage", "fr", "--", "EID_Read", "Lecteur de Liège"),
                (0, "fr\n" + error_document("Impossible de se connecter au lecteur Lecteur de Liège.",
                                            "SCardConnect 0x80100009"), ""))
    with tempfile.TemporaryDirectory() as folder:
        env = dict(os.environ, PCSCLITE_CSOCK_NAME=os.path.join(folder, "pcscd.comm"))
        s.check("EID_Readers' error line in Dutch, its detail as it was",
                s.call(env, "EID_SetLanguage", "nl", "--", "EID_Readers"),
                "nl\nERROR: De smartcarddienst reageert niet. (SCardEstablishContext 0x8010001D)")


def card_table(s, cases):
    """One pcscd; each case puts its card in the first slot, reads it (naming the reader when the
    case gives one) and takes it out again."""
    with rig.Rig() as r:
        for what, profile, want, *reader in cases:
            r.insert(profile)
            s.check(what, s.call(r.env(), "EID_Read", *reader), want)
            r.remove()


def missing_files(s):
    """Files the card does not have, and other answers to SELECT FILE."""
    card_table(s, [
        ("no identity file in the reader named", variant(without=[IDENTITY]),
         error_document(NOT_ON_CARD, "6A82"), SLOT0),
        ("no identity file, no reader named: not an eID card", variant(without=[IDENTITY]),
         error_document(NO_CARD[0], f"not an eID card: {SLOT0} (6A82)")),
        ("no address file", variant(without=[ADDRESS]), error_document(NOT_ON_CARD, "6A82")),
        ("identity file refused in the reader named",
         variant(status=[{"command": 1, "sw": "6982"}]), error_document(NOT_ON_CARD, "6982"),
         SLOT0),
        ("identity file refused, no reader named: not an eID card",
         variant(status=[{"command": 1, "sw": "6982"}]),
         error_document(NO_CARD[0], f"not an eID card: {SLOT0} (6982)")),
        ("no photo file: complete record, empty photo", variant(without=[PHOTO]),
         card_document(photo=b"")),
    ])


def file_endings(s):
    """The ways a card tells that a file has ended, and a card that never gives the end."""
    padded = {IDENTITY: 255, ADDRESS: 510, PHOTO: 12 * 255}
    whole = variant(pad=padded)
    with rig.Rig() as r:
        log = os.path.join(r.dir, "card.log")
        for what, profile in [("6B00 at the end", whole), ("90 00 without data at the end",
                                                           variant(pad=padded, at_end="9000"))]:
            r.insert(profile, log=log)
            start = log_length(log)
            s.check(f"lengths of multiples of 255, {what}", s.call(r.env(), "EID_Read"),
                    card_document(photo=file_bytes(whole, PHOTO)))
            s.check_commands(f"lengths of multiples of 255, {what}: commands", log, start, whole)
            r.remove()
    card_table(s, [
        ("files ending by 6Cxx", variant(ending="6C"), card_document()),
        ("multiples of 255 ending by 6Cxx", variant(pad=padded, ending="6C"),
         card_document(photo=file_bytes(whole, PHOTO))),
        ("a card that repeats 6Cxx", variant(ending="6C-repeat"),
         error_document(READ_FAILED, f"6C{len(file_bytes(sample(), IDENTITY)):02X}")),
    ])


def card_faults(s):
    """Status words while reading, files that never end, a slow card."""
    card_table(s, [
        ("a status word while reading the address", variant(status=[{"command": 4, "sw": "6F00"}]),
         error_document(READ_FAILED, "6F00")),
        ("a photo that fails part-way gives an empty photo",
         variant(status=[{"command": 8, "sw": "6F00"}]), card_document(photo=b"")),
        ("a photo that never ends gives an empty photo", variant(endless=[PHOTO]),
         card_document(photo=b"")),
        ("a slow card, 20 ms a command", variant(delay_ms=20), card_document()),
        # 128 reads of 255 bytes end at 0x7F80, still below the limit; the 129th ends at 0x807F.
        ("an identity file that never ends: the read stops where offsets run out",
         variant(endless=[IDENTITY]),
         error_document(READ_FAILED, "File not ended before offset 0x8000; stopped at 0x807F")),
    ])


def card_pulled(s):
    """The card taken out in the middle of a read."""
    card_table(s, [
        ("pulled while reading the identity", variant(pull_after=1), error_document(INCOMPLETE, "")),
        ("pulled while reading the address", variant(pull_after=3), error_document(INCOMPLETE, "")),
        ("pulled while reading the photo: complete record, empty photo", variant(pull_after=6),
         card_document(photo=b"")),
    ])


def pcscd_stopped(s):
    """The service stopped while the card is being read: the card goes silent after some
    commands, and once the read waits for it, pcscd is stopped."""
    cases = [
        ("stopped while reading the identity", 1, error_document(NOT_REACHED, "SCardTransmit 0x80100013")),
        ("stopped while reading the address", 3, error_document(NOT_REACHED, "SCardTransmit 0x80100013")),
        ("stopped while reading the photo: complete record, empty photo", 6, card_document(photo=b"")),
    ]
    for what, answered, want in cases:
        with rig.Rig() as r:
            log = os.path.join(r.dir, "card.log")
            r.insert(variant(mute_after=answered), log=log)
            read = subprocess.Popen([s.fmxhost, s.plugin, "EID_Read"], env=r.env(),
                                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
            try:
                await_line(log, lambda line: line.startswith("APDU ") and line.endswith(" -"))
                r.stop_pcscd()
                out, _ = read.communicate(timeout=CALL_TIMEOUT)
            finally:
                if read.poll() is None:
                    read.kill()
                    read.wait()
            s.check(f"{what}: fmxhost exit status", read.returncode, 0)
            s.check(what, strip_line_feed(out).decode("utf-8"), want)


def card_in_second_slot(s):
    """The first slot empty, the card in the second: a read without a name finds it."""
    with rig.Rig() as r:
        log, profile, env = logged_sample(r, slot=1)
        s.check("EID_Read", s.call(env, "EID_Read"), card_document())
        s.check_commands("EID_Read sends the fewest commands", log, 0, profile)
        s.check("EID_Read with an empty name", s.call(env, "EID_Read", "", "0"),
                card_document(photo=b""))
        s.check("the step without a reader", s.outcome(env, "EID Read Card"),
                (0, card_document(), ""))


def other_card_first(s):
    """A card of another kind in the first slot, the eID card in the second: the eID card is
    read, and the other card answers one SELECT FILE and is never reset."""
    with rig.Rig() as r:
        other_log = os.path.join(r.dir, "other.log")
        card_log = os.path.join(r.dir, "card.log")
        r.insert(other_card(), slot=0, log=other_log)
        profile = sample()
        r.insert(profile, slot=1, log=card_log)
        env = r.env()
        start = log_length(other_log)
        for n in (1, 2):
            s.check(f"EID_Read {n}", s.call(env, "EID_Read"), card_document())
        s.check_commands("the eID card gets the fewest commands, twice", card_log, 0, profile, times=2)
        s.check("the other card gets one SELECT FILE per read",
                apdus_in(other_log, start),
                [f"APDU 00A4080C06{IDENTITY} 6A82"] * 2)
        s.check("the other card is never reset", resets_in(other_log), [])
        s.check("the eID card is reset after each read", resets_in(card_log), ["CTRL 2"] * 2)
        start = log_length(other_log)
        s.check("the other card named: not on the card", s.call(env, "EID_Read", SLOT0),
                error_document(NOT_ON_CARD, "6A82"))
        s.check("the other card named: left as found", apdus_in(other_log, start),
                [f"APDU 00A4080C06{IDENTITY} 6A82"])
        s.check("EID_Readers as JSON", s.call(env, "EID_Readers", "json"),
                readers_document((SLOT0, "present", OTHER_ATR), (SLOT1, "present", samplecard.ATR)))
        s.check("nothing reset the other card", resets_in(other_log), [])


def other_card_only(s):
    """Only a card of another kind: no card in the reader, the card named in the detail, and
    the card left as found."""
    with rig.Rig() as r:
        log = os.path.join(r.dir, "other.log")
        r.insert(other_card(), slot=1, log=log)
        env = r.env()
        start = log_length(log)
        s.check("EID_Read", s.call(env, "EID_Read"),
                error_document(NO_CARD[0], f"not an eID card: {SLOT1} (6A82)"))
        s.check("the step", s.outcome(env, "EID Read Card"),
                (1, NO_CARD[0], "fmxhost: error 1553\n"))
        s.check("one SELECT FILE each", apdus_in(log, start),
                [f"APDU 00A4080C06{IDENTITY} 6A82"] * 2)
        s.check("never reset", resets_in(log), [])


def readers_json(s):
    """EID_Readers ( "json" ): every reader with its card, an empty slot, no reader, no service.
    (How the argument is read, in any case and with blanks, the host's tests show.)"""
    with rig.Rig() as r:
        r.insert(sample(), slot=0)
        env = r.env()
        s.check("a card and an empty slot", s.call(env, "EID_Readers", "json"),
                readers_document((SLOT0, "present", samplecard.ATR), (SLOT1, "empty", "")))
    with rig.Rig(reader=False) as r:
        s.check("no reader", s.call(r.env(), "EID_Readers", "json"),
                '{\n  "error": "",\n  "readers": []\n}')
    with tempfile.TemporaryDirectory() as folder:
        env = dict(os.environ, PCSCLITE_CSOCK_NAME=os.path.join(folder, "pcscd.comm"))
        s.check("no service", s.call(env, "EID_Readers", "json"),
                error_document(NO_SERVICE, "SCardEstablishContext 0x8010001D"))


def await_line(path, matches, timeout=CALL_TIMEOUT):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if os.path.exists(path):
            with open(path) as f:
                if any(matches(line) for line in f.read().splitlines()):
                    return
        time.sleep(0.01)
    raise AssertionError(f"nothing in {path} matched in {timeout} s")


def nothing_left_behind(s):
    """rig.py stops what it started: after its command fails, and when it is killed."""
    runner = [rig.PYTHON, os.path.join(ROOT, "virtualcard", "rig.py")]
    with tempfile.TemporaryDirectory() as folder:
        env = dict(os.environ, TMPDIR=folder)
        done = subprocess.run(runner + ["--", "sh", "-c", "exit 3"], env=env, timeout=CALL_TIMEOUT)
        s.check("the command's exit status is passed on", done.returncode, 3)
        s.check("nothing left after a failing command", processes_using(folder), [])

        killed = subprocess.Popen(runner + ["--", "sleep", "600"], env=env)
        try:
            await_condition(lambda: len(processes_using(folder)) >= 2)  # pcscd and the card
        finally:
            killed.send_signal(signal.SIGKILL)
            killed.wait()
        await_condition(lambda: not processes_using(folder), quiet=True)
        s.check("nothing left after the runner is killed", processes_using(folder), [])


def processes_using(folder):
    """Processes whose command line names something in the folder (pcscd, the card)."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if folder.encode() in f.read():
                    found.append(int(pid))
        except OSError:
            pass
    return found


def await_condition(condition, timeout=CALL_TIMEOUT, quiet=False):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.02)
    if not quiet:
        raise AssertionError("timed out")


SCENARIOS = {f.__name__: f for f in (sample_card, without_photo, script_step, read_fields,
                                     script_step_fields, named_readers,
                                     card_in_second_slot, other_card_first, other_card_only,
                                     readers_json, no_reader, no_card, unknown_reader,
                                     no_pcscd, missing_files, file_endings, card_faults, card_pulled,
                                     pcscd_stopped, nothing_left_behind, languages)}


def run(s, scenario):
    """Runs one scenario on `s`, counting an error that stops it as a failure; the exit status."""
    try:
        scenario(s)
    except (AssertionError, rig.RigError, subprocess.TimeoutExpired) as e:
        s.failed += 1
        print(f"FAILED  {e}")
    print(f"{s.passed} passed, {s.failed} failed")
    return 1 if s.failed or not s.passed else 0


def main(doc=__doc__, scenarios=None):
    """The command line of a scenario script: --list, or one scenario run."""
    scenarios = scenarios or SCENARIOS
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("--plugin")
    parser.add_argument("--fmxhost")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("scenario", nargs="?", choices=sorted(scenarios))
    args = parser.parse_args()
    if args.list:
        print("\n".join(scenarios))
        return 0
    if not (args.plugin and args.fmxhost and args.scenario):
        parser.error("--plugin, --fmxhost and a scenario are needed")

    signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
    s = Scenario(os.path.abspath(args.plugin), os.path.abspath(args.fmxhost))
    print(f"{args.scenario}: {scenarios[args.scenario].__doc__.strip().splitlines()[0]}")
    return run(s, scenarios[args.scenario])


if __name__ == "__main__":
    sys.exit(main())
