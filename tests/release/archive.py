#!/usr/bin/env python3
"""The release archive that scripts/release.py packs from the built plug-ins.

    archive.py contents|signed SOURCE FMX64 BUNDLE WORK

    contents   every file once, as built, in order, dated and with its mode, and SHA256SUMS that
               sha256sum -c accepts for all the others
    signed     the same with a throwaway certificate made here: the Windows plug-in in the archive
               verifies against it, the unsigned one does not
"""
import os
import pathlib
import shutil
import subprocess
import sys
import time
import zipfile

DATE = 1767225600  # 2026-01-01: even, as a zip entry's time counts in two seconds
MAC = "macOS (unsigned check build)/"


def unpacked(source, fmx, bundle, work, **environment):
    archive, folder = work / "Tessarin.zip", work / "unpacked"
    subprocess.run([sys.executable, f"{source}/scripts/release.py", "--source", source,
                    "--windows", fmx, "--mac", bundle, archive], check=True,
                   env={**{k: v for k, v in os.environ.items() if not k.startswith("TESSARIN_SIGN")},
                        "SOURCE_DATE_EPOCH": str(DATE), **environment})
    with zipfile.ZipFile(archive) as zipped:
        zipped.extractall(folder)
        entries = zipped.infolist()
    summed = [line.split("  ", 1)[1] for line in (folder / "SHA256SUMS").read_text().splitlines()]
    assert summed == [e.filename for e in entries if e.filename != "SHA256SUMS"], summed
    subprocess.run(["sha256sum", "--check", "--strict", "SHA256SUMS"], cwd=folder, check=True)
    return entries, folder


def check_contents(source, fmx, bundle, work):
    built = {"Windows/Tessarin.fmx64": fmx,
             **{name: source / name for name in ("README.md", "LICENSE", "CHANGELOG.md")},
             **{MAC + path.relative_to(bundle.parent).as_posix(): path
                for path in bundle.rglob("*") if path.is_file()}}
    entries, folder = unpacked(source, fmx, bundle, work)
    names = [e.filename for e in entries]
    assert names == sorted([*built, MAC + "UNSIGNED.txt", "SHA256SUMS"]), names
    for entry in entries:
        mode = 0o100755 if "/MacOS/" in entry.filename else 0o100644
        assert (entry.date_time, entry.external_attr >> 16) == (time.gmtime(DATE)[:6], mode), entry
    for name, path in built.items():
        assert (folder / name).read_bytes() == path.read_bytes(), name


def check_signed(source, fmx, bundle, work):
    key, certificate, pfx = work / "key.pem", work / "certificate.pem", work / "signer.pfx"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                    "-subj", "/CN=Tessarin test signer", "-addext", "extendedKeyUsage=codeSigning",
                    "-keyout", key, "-out", certificate], check=True, capture_output=True)
    subprocess.run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", certificate,
                    "-out", pfx, "-passout", "pass:throwaway"], check=True)
    folder = unpacked(source, fmx, bundle, work, TESSARIN_SIGN_PFX=str(pfx),
                      TESSARIN_SIGN_PASSWORD="throwaway")[1]
    for plugin, wanted in ((folder / "Windows/Tessarin.fmx64", 0), (fmx, 1)):
        verified = subprocess.run(["osslsigncode", "verify", "-CAfile", certificate, "-in", plugin],
                                  capture_output=True, text=True)
        assert (verified.returncode != 0) == wanted, (plugin, verified.stdout, verified.stderr)


if __name__ == "__main__":
    check, *paths = sys.argv[1:]
    source, fmx, bundle, work = map(pathlib.Path, paths)
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    {"contents": check_contents, "signed": check_signed}[check](source, fmx, bundle, work)
    print(f"PASSED: {check}")
