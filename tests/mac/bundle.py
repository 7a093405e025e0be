#!/usr/bin/env python3
"""Checks of the macOS plug-in bundle, Tessarin.fmplugin, with llvm-14's Mach-O tools.

    bundle.py CHECK BUNDLE [ARG...]

    architectures BUNDLE        a universal binary of exactly arm64 and x86_64
    exports BUNDLE EXPORTS      for each architecture, exactly the symbols of the exports list
    load_commands BUNDLE        a bundle (MH_BUNDLE) per architecture, loading exactly libSystem,
                                the PCSC framework and FMWrapper by their install names
    minimum_os BUNDLE VERSION   LC_BUILD_VERSION: platform macOS, minimum VERSION
    info_plist BUNDLE VERSION   the Info.plist keys the host reads
    sdk BUNDLE SDK              every _FM_* the bundle imports is exported by SDK's
                                FMWrapper.framework, for each architecture
    release SOURCE BUILD VERSION
                                the release build's CMake code (cmake/TessarinMac.cmake),
                                configured as for macOS with a stand-in SDK folder: bundle
                                layout, Info.plist, exports list and frameworks on the link line

Each check prints what it saw and exits 0 only when it holds.
"""
import pathlib
import plistlib
import re
import shutil
import subprocess
import sys

ARCHITECTURES = {"arm64", "x86_64"}
LIBRARIES = {
    "/usr/lib/libSystem.B.dylib",
    "/System/Library/Frameworks/PCSC.framework/Versions/A/PCSC",
    "@rpath/FMWrapper.framework/Versions/A/FMWrapper",
}
MH_BUNDLE = 8
PLATFORM_MACOS = "macos"


def fail(message):
    sys.exit(f"FAILED: {message}")


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def binary(bundle):
    return pathlib.Path(bundle, "Contents", "MacOS", "Tessarin")


def symbols(path, arch):
    """The global symbols of one architecture of a Mach-O file or text stub: (defined,
    undefined). Read from nm's type letters: upper case is global, U undefined."""
    defined, undefined = set(), set()
    for line in run("llvm-nm-14", f"--arch={arch}", str(path)).splitlines():
        fields = line.split()
        if len(fields) < 2 or len(fields[-2]) != 1:
            continue
        kind, name = fields[-2], fields[-1]
        if kind == "U":
            undefined.add(name)
        elif kind.isupper():
            defined.add(name)
    return defined, undefined


def load_commands(path, arch):
    """The load commands of one architecture, each a dict of its fields."""
    commands = []
    for line in run("llvm-otool-14", "-arch", arch, "-l", str(path)).splitlines():
        line = line.strip()
        if line.startswith("Load command"):
            commands.append({})
        elif commands and " " in line:
            key, value = line.split(None, 1)
            commands[-1].setdefault(key, value)
    return commands


def check_architectures(bundle):
    archs = set(run("llvm-lipo-14", "-archs", str(binary(bundle))).split())
    print(f"architectures: {sorted(archs)}")
    if archs != ARCHITECTURES:
        fail(f"architectures {sorted(archs)}, wanted {sorted(ARCHITECTURES)}")


def check_exports(bundle, exports):
    wanted = set(pathlib.Path(exports).read_text().split())
    if not wanted:
        fail(f"{exports} lists nothing")
    for arch in sorted(ARCHITECTURES):
        exported = symbols(binary(bundle), arch)[0]
        print(f"{arch} exports: {sorted(exported)}")
        if exported != wanted:
            fail(f"{arch} exports {sorted(exported)}, wanted {sorted(wanted)}")


def check_load_commands(bundle):
    for arch in sorted(ARCHITECTURES):
        header = run("llvm-otool-14", "-arch", arch, "-h", str(binary(bundle))).split()
        filetype = int(header[-4])  # magic cputype cpusubtype caps filetype ncmds sizeofcmds flags
        commands = load_commands(binary(bundle), arch)
        loaded = {c["name"].split(" (offset")[0] for c in commands if c["cmd"] == "LC_LOAD_DYLIB"}
        others = sorted(c["cmd"] for c in commands if c["cmd"] in (
            "LC_LOAD_WEAK_DYLIB", "LC_REEXPORT_DYLIB", "LC_LAZY_LOAD_DYLIB", "LC_ID_DYLIB",
            "LC_LOAD_DYLINKER", "LC_RPATH", "LC_MAIN"))
        print(f"{arch}: file type {filetype}, loads {sorted(loaded)}")
        if filetype != MH_BUNDLE:
            fail(f"{arch}: file type {filetype}, not a bundle ({MH_BUNDLE})")
        if loaded != LIBRARIES:
            fail(f"{arch}: loads {sorted(loaded)}, wanted {sorted(LIBRARIES)}")
        if others:
            fail(f"{arch}: unexpected load commands {others}")


def check_minimum_os(bundle, version):
    for arch in sorted(ARCHITECTURES):
        builds = [c for c in load_commands(binary(bundle), arch) if c["cmd"] == "LC_BUILD_VERSION"]
        print(f"{arch}: {builds}")
        if len(builds) != 1:
            fail(f"{arch}: {len(builds)} LC_BUILD_VERSION commands")
        if builds[0].get("platform") != PLATFORM_MACOS or builds[0].get("minos") != version:
            fail(f"{arch}: platform {builds[0].get('platform')}, minimum {builds[0].get('minos')}, "
                 f"wanted {PLATFORM_MACOS} {version}")


def check_plist(plist, version):
    with open(plist, "rb") as f:
        keys = plistlib.load(f)
    wanted = {
        "CFBundleExecutable": "Tessarin",
        "CFBundleIdentifier": "be.tessarin.Tessarin",
        "CFBundleName": "Tessarin",
        "CFBundlePackageType": "FMXT",
        "CFBundleSignature": "TSRN",
        "CFBundleShortVersionString": version,
        "CFBundleVersion": version,
        "CFBundleGetInfoString": f"Tessarin {version}",
    }
    wrong = {k: keys.get(k) for k, v in wanted.items() if keys.get(k) != v}
    print(f"Info.plist: {keys}")
    if wrong:
        fail(f"Info.plist: {wrong}, wanted {wanted}")


def check_info_plist(bundle, version):
    check_plist(pathlib.Path(bundle, "Contents", "Info.plist"), version)
    if not binary(bundle).is_file():
        fail(f"no {binary(bundle)} (CFBundleExecutable)")


def framework_binary(sdk):
    for framework in sorted(pathlib.Path(sdk).glob("Libraries/**/FMWrapper.framework")):
        for candidate in ("Versions/A/FMWrapper", "FMWrapper"):
            if (framework / candidate).is_file():
                return framework / candidate
    fail(f"no FMWrapper.framework binary under {sdk}/Libraries")


def check_sdk(bundle, sdk):
    framework = framework_binary(sdk)
    for arch in sorted(ARCHITECTURES):
        imported = {s for s in symbols(binary(bundle), arch)[1] if s.startswith("_FM_")}
        exported = symbols(framework, arch)[0]
        missing = sorted(imported - exported)
        print(f"{arch}: {len(imported)} SDK functions imported, {len(missing)} missing in {framework}")
        if not imported:
            fail(f"{arch}: imports no SDK function")
        if missing:
            fail(f"{arch}: {framework} does not export {missing}")


def check_release(source, build, version):
    build = pathlib.Path(build)
    shutil.rmtree(build, ignore_errors=True)
    # No macOS compiler here: CMake is told the compiler works, and only generates.
    configured = subprocess.run(
        ["cmake", "-S", source, "-B", str(build), "-G", "Ninja", "-DCMAKE_SYSTEM_NAME=Darwin",
         "-DCMAKE_CXX_COMPILER=clang++", "-DCMAKE_CXX_COMPILER_WORKS=ON",
         f"-DFMX_SDK_DIR={source}/sdk", f"-DTESSARIN_PROJECT_VERSION={version}"],
        capture_output=True, text=True)
    if configured.returncode != 0:
        print(configured.stdout, configured.stderr)
        fail("configuring for macOS")
    check_plist(build / "Tessarin.fmplugin" / "Contents" / "Info.plist", version)
    ninja = (build / "build.ninja").read_text()
    wanted = {
        "the bundle's executable": r"^build Tessarin\.fmplugin/Contents/MacOS/Tessarin: ",
        "the exported symbols list": r"-exported_symbols_list -Xlinker \S*/plugin/mac/exported_symbols\.txt",
        "the SDK's framework folder": rf"LINK_PATH = -F{re.escape(source)}/sdk/Libraries/Mac",
        "the FMWrapper and PCSC frameworks": r"-framework -Xlinker FMWrapper .*-framework PCSC",
    }
    for what, pattern in wanted.items():
        if not re.search(pattern, ninja, re.MULTILINE):
            fail(f"the release build's link misses {what} ({pattern})")
    # What the host looks the plug-in up by, and nothing more: both builds export this list.
    exports = pathlib.Path(__file__).resolve().parents[2] / "plugin" / "mac" / "exported_symbols.txt"
    listed = set(exports.read_text().split())
    if listed != {"_FMExternCallProc", "_gFMX_ExternCallPtr"}:
        fail(f"plugin/mac/exported_symbols.txt lists {sorted(listed)}")
    print("release build: Tessarin.fmplugin bundle, Info.plist, frameworks and exported symbols")


CHECKS = {
    "architectures": check_architectures,
    "exports": check_exports,
    "load_commands": check_load_commands,
    "minimum_os": check_minimum_os,
    "info_plist": check_info_plist,
    "sdk": check_sdk,
    "release": check_release,
}

if __name__ == "__main__":
    if len(sys.argv) < 3 or sys.argv[1] not in CHECKS:
        sys.exit(__doc__)
    CHECKS[sys.argv[1]](*sys.argv[2:])
    print(f"PASSED: {sys.argv[1]}")
