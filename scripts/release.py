#!/usr/bin/env python3
"""Packs the release archive from the built plug-ins (scripts/release runs it through the build's
`release` target).

    release.py --source DIR --windows TESSARIN_FMX64 --mac TESSARIN_FMPLUGIN ARCHIVE

The archive holds:

    Windows/Tessarin.fmx64
    macOS (unsigned check build)/Tessarin.fmplugin/...   the check bundle built on Linux
    macOS (unsigned check build)/UNSIGNED.txt           why it is not for shipping
    README.md, LICENSE, CHANGELOG.md                    from the source folder
    SHA256SUMS                                          of every other file, for sha256sum -c

Two runs on the same files give the same bytes: the entries in sorted order, each with a fixed
mode and dated SOURCE_DATE_EPOCH (default: the time of the source's last commit).

With TESSARIN_SIGN_PFX naming a PKCS#12 file (.pfx or .p12) and TESSARIN_SIGN_PASSWORD its
password, the Windows plug-in is Authenticode-signed with osslsigncode first, with that same
date as its signing time: a signed archive too comes out the same each time.
"""
import argparse
import hashlib
import os
import pathlib
import subprocess
import sys
import tempfile
import time
import zipfile

MAC = "macOS (unsigned check build)"
UNSIGNED = """\
NOT FOR SHIPPING: the Tessarin.fmplugin beside this note is not signed.

It is the macOS check build, made on Linux so that every change proves that the macOS code
compiles and that the bundle exports and imports what it should. It is neither signed nor
notarised, and FileMaker Pro and macOS (Gatekeeper) refuse to load an unsigned plug-in: do not
install it on a Mac or put it in a container for Install Plug-In File.

Build the macOS plug-in on a Mac with Xcode and FileMaker's plug-in SDK, then sign and notarise
it: CONTRIBUTING.md, "The macOS plug-in for release".
"""


def source_date(source):
    stamp = os.environ.get("SOURCE_DATE_EPOCH") or subprocess.run(
        ["git", "-C", source, "log", "-1", "--format=%ct"],
        check=True, capture_output=True, text=True).stdout
    return int(stamp)


def signed(plugin, stamp, folder):
    """A copy of the plug-in with an Authenticode signature; the password goes through a pipe,
    not the command line."""
    out = pathlib.Path(folder, plugin.name)
    read, write = os.pipe()
    os.write(write, os.environ.get("TESSARIN_SIGN_PASSWORD", "").encode())
    os.close(write)
    try:
        subprocess.run(["osslsigncode", "sign", "-pkcs12", os.environ["TESSARIN_SIGN_PFX"],
                        "-readpass", f"/dev/fd/{read}", "-h", "sha256", "-n", "Tessarin",
                        "-time", str(stamp), "-in", str(plugin), "-out", str(out)],
                       check=True, pass_fds=[read], stdout=subprocess.DEVNULL)
    finally:
        os.close(read)
    return out.read_bytes()


def contents(source, windows, bundle, stamp, folder):
    """Every file of the archive but SHA256SUMS: its name, bytes and mode."""
    files = {name: ((source / name).read_bytes(), 0o644)
             for name in ("README.md", "LICENSE", "CHANGELOG.md")}
    plugin = signed(windows, stamp, folder) if os.environ.get("TESSARIN_SIGN_PFX") \
        else windows.read_bytes()
    files["Windows/Tessarin.fmx64"] = (plugin, 0o644)
    files[f"{MAC}/UNSIGNED.txt"] = (UNSIGNED.encode(), 0o644)
    for path in sorted(bundle.rglob("*")):
        if path.is_file():
            inside = path.relative_to(bundle.parent).as_posix()
            files[f"{MAC}/{inside}"] = (path.read_bytes(), 0o755 if "/MacOS/" in inside else 0o644)
    return files


def pack(files, stamp, archive):
    sums = "".join(f"{hashlib.sha256(data).hexdigest()}  {name}\n"
                   for name, (data, _) in sorted(files.items()))
    files["SHA256SUMS"] = (sums.encode(), 0o644)
    partial = archive.with_suffix(".partial")
    with zipfile.ZipFile(partial, "w") as out:
        for name, (data, mode) in sorted(files.items()):
            entry = zipfile.ZipInfo(name, date_time=time.gmtime(stamp)[:6])
            entry.create_system = 3  # Unix, so that the mode below counts
            entry.external_attr = (0o100000 | mode) << 16
            out.writestr(entry, data, compress_type=zipfile.ZIP_DEFLATED, compresslevel=9)
    partial.replace(archive)


def main():
    arguments = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    arguments.add_argument("--source", type=pathlib.Path, required=True)
    arguments.add_argument("--windows", type=pathlib.Path, required=True)
    arguments.add_argument("--mac", type=pathlib.Path, required=True)
    arguments.add_argument("archive", type=pathlib.Path)
    given = arguments.parse_args()
    stamp = source_date(given.source)
    given.archive.parent.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory() as folder:
        try:
            files = contents(given.source, given.windows, given.mac, stamp, folder)
        except subprocess.CalledProcessError as failed:
            sys.exit(f"release.py: {failed.cmd[0]} {failed.cmd[1]} failed, no archive made")
    pack(files, stamp, given.archive)
    dated = time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(stamp))
    print(f"{given.archive}: {len(files)} files, dated {dated}")


if __name__ == "__main__":
    main()
