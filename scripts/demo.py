#!/usr/bin/python3
"""The demo's run: the built plug-in reads the sample card through a private pcscd (all of it, then
only a name and a birth date), shows what it sees in each reader, and tells that the other slot
is empty in English, Dutch and French.

    demo.py PLUGIN FMXHOST PHOTO_FILE
"""

import base64
import json
import os
import re
import signal
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "virtualcard"))

import rig  # noqa: E402
import samplecard  # noqa: E402


def call(plugin, fmxhost, env, function, *arguments):
    shown = " ".join([os.path.relpath(fmxhost), os.path.relpath(plugin), function]
                     + [a if re.fullmatch(r"[\w-]+", a) else f'"{a}"' for a in arguments])
    print(f"\n$ {shown}", flush=True)
    done = subprocess.run([fmxhost, plugin, function, *arguments], env=env, capture_output=True,
                          stdin=subprocess.DEVNULL, timeout=60)
    if done.returncode != 0:
        sys.stderr.write(done.stderr.decode(errors="replace"))
        raise SystemExit(f"fmxhost ended with status {done.returncode}")
    text = done.stdout.decode("utf-8")[:-1]  # fmxhost ends the result with one line feed
    print(text.replace("\r", "\n"))  # EID_Readers separates names by carriage returns
    return text


def main(plugin, fmxhost, photo_file):
    for path in (plugin, fmxhost):
        if not os.path.exists(path):
            raise SystemExit(f"{path} is not there: build first")
    print("Starting a private pcscd with the virtual reader, and putting the sample card in it.")
    with rig.Rig() as r:
        r.insert(samplecard.sample_profile())
        env = r.env()
        call(plugin, fmxhost, env, "EID_Version")
        call(plugin, fmxhost, env, "EID_Readers")
        call(plugin, fmxhost, env, "EID_Readers", "json")
        document = json.loads(call(plugin, fmxhost, env, "EID_Read"))
        # Only what a desk that keeps a name and a birth date may take: one file of the card.
        call(plugin, fmxhost, env, "EID_ReadFields", "surname givenNames dateOfBirth")
        call(plugin, fmxhost, env, "EID_Read", rig.READERS[1])
        # The empty slot again, for the person at a desk in Flanders and one in Wallonia: calls
        # separated by -- share one load of the plug-in, as in FileMaker, so the language holds.
        call(plugin, fmxhost, env, "EID_SetLanguage", "Nederlands", "--", "EID_Read", rig.READERS[1],
             "--", "EID_SetLanguage", "Français", "--", "EID_Read", rig.READERS[1])
    print("\npcscd and the virtual card are stopped.")
    if document["error"]:
        raise SystemExit(f"The card was not read: {document['error']}")
    with open(photo_file, "wb") as f:
        f.write(base64.b64decode(document["photo"]))
    print(f"The photo of {document['givenNames']} {document['surname']} is in "
          f"{os.path.abspath(photo_file)}: open it with any image viewer.")


if __name__ == "__main__":
    if len(sys.argv) != 4:
        raise SystemExit(__doc__.strip())
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, lambda *_: sys.exit(128 + signal.SIGTERM))
    try:
        main(*sys.argv[1:])
    except rig.RigError as e:
        raise SystemExit(f"demo: {e}")
